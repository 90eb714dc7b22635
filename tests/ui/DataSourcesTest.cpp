#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

#include <odbcinst.h>

#include "data/odbc/OdbcUserDataSources.h"
#include "support/ChildProcess.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/SilentListener.h"
#include "support/TempFolder.h"
#include "support/TestHandheld.h"
#include "ui/MessageBox.h"
#include "ui/frm_DataSources.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

// The data sources dialog on the test's own odbc.ini (ODBCINI and ODBCSYSINI
// point into the test folder), with every message box answered by the test.
class DataSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
            m_asked.push_back(request.text);
            return m_answer;
        });
        m_dialog = std::make_unique<TfrmDataSources>();
    }

    void TearDown() override {
        m_dialog.reset();
        TMessageBox::SetAnswerer({});
        for (const char* name : {"ZelUiLite", "ZelUiLite2", "ZelUiPg"})
            if (TOdbcUserDataSources::Exists(name))
                TOdbcUserDataSources::Remove(name);
    }

    template <class T> T* Find(const char* name) {
        T* widget = m_dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }

    // Runs the connection test as the button does: it returns at once and
    // the answer comes in a box.
    bool TestConnection() {
        m_dialog->TestConnection();
        EXPECT_TRUE(m_dialog->IsTesting());
        EXPECT_TRUE(PumpUntil([&] { return !m_dialog->IsTesting(); }, 20000));
        PumpFor(1);
        return m_dialog->LastTestSucceeded();
    }

    void ChooseDriver(const QString& driver) {
        QComboBox* combo = Find<QComboBox>("cmbDriver");
        const int index = combo->findText(driver);
        ASSERT_GE(index, 0) << driver.toStdString();
        combo->setCurrentIndex(index);
    }

    void FillSqlite(const QString& name, const std::string& file) {
        m_dialog->SelectDataSource(name);
        ChooseDriver(QStringLiteral("SQLite3"));
        Edit("editDatabaseFile")->setText(QString::fromStdString(file));
    }

    void FillPostgres(const QString& name, int port) {
        m_dialog->SelectDataSource(name);
        ChooseDriver(QStringLiteral("PostgreSQL Unicode"));
        Edit("editServer")->setText(QStringLiteral("127.0.0.1"));
        Edit("editPort")->setText(QString::number(port));
        Edit("editDatabase")->setText(QStringLiteral("postgres"));
        Edit("editUserName")->setText(QStringLiteral("zel"));
    }

    // The data sources the command-line tool of unixODBC lists.
    std::string Listed() {
        const std::string output = m_folder.File("odbcinst.out");
        std::filesystem::remove(output); // the child appends
        TChildProcess tool;
        EXPECT_TRUE(tool.Start({"odbcinst", "-q", "-s"}, {}, output));
        EXPECT_EQ(tool.Wait(10000), std::optional<int>(0));
        return ReadAll(output);
    }

    // An empty file is an empty SQLite database.
    std::string SqliteFile(const char* name) {
        const std::string file = m_folder.File(name);
        WriteAll(file, "");
        return file;
    }

    TTempFolder m_folder;
    std::unique_ptr<TfrmDataSources> m_dialog;
    std::vector<QString> m_asked;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

// A new data source starts on the Unicode PostgreSQL driver; the SQLite file
// box takes the row beside a "..." button of its own size.
TEST_F(DataSourcesTest, NewSourceDefaultsAndTheFileBoxWidth) {
    QComboBox* driver = Find<QComboBox>("cmbDriver");
    ASSERT_GE(driver->findText(QStringLiteral("PostgreSQL Unicode")), 0);
    ASSERT_GE(driver->findText(QStringLiteral("PostgreSQL ANSI")), 0) << "both are installed";
    EXPECT_EQ(driver->currentText(), QStringLiteral("PostgreSQL Unicode"));
    m_dialog->show();
    ChooseDriver(QStringLiteral("SQLite3"));
    PumpFor(20);
    QLineEdit* file = Edit("editDatabaseFile");
    QPushButton* browse = Find<QPushButton>("cmdBrowse");
    QLineEdit* name = Edit("editName");
    auto right = [&](QWidget* w) { return w->mapTo(m_dialog.get(), w->rect().topRight()).x(); };
    EXPECT_NEAR(right(browse), right(name), 2) << "the row ends where the other boxes end";
    EXPECT_LE(browse->width(), 2 * browse->height()) << "the button is as wide as its dots need";
    EXPECT_GE(file->width(), name->width() - browse->width() - 24) << "the box takes the rest of the row";
    for (QWidget* input : m_dialog->findChildren<QWidget*>()) {
        if (input->window() != m_dialog.get() || input->objectName().isEmpty() ||
            input->objectName().startsWith(QStringLiteral("qt_")) ||
            !(qobject_cast<QLineEdit*>(input) || qobject_cast<QComboBox*>(input) ||
              qobject_cast<QListWidget*>(input) || qobject_cast<QPushButton*>(input)))
            continue;
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(input)->text(QAccessible::Name).isEmpty())
            << input->objectName().toStdString();
    }
    EXPECT_EQ(Edit("editDatabaseFile")->accessibleName(), QStringLiteral("Database file"));
}

TEST_F(DataSourcesTest, ListsTheInstalledDriversAndOffersOnlyTheSupportedOnes) {
    QListWidget* drivers = Find<QListWidget>("lstDrivers");
    QStringList listed;
    for (int i = 0; i < drivers->count(); ++i)
        listed << drivers->item(i)->text();
    EXPECT_TRUE(listed.contains(QStringLiteral("SQLite3"))) << listed.join(u',').toStdString();
    EXPECT_TRUE(listed.contains(QStringLiteral("PostgreSQL Unicode")));
    QComboBox* combo = Find<QComboBox>("cmbDriver");
    EXPECT_GE(combo->findText(QStringLiteral("SQLite3")), 0);
    EXPECT_LT(combo->findText(QStringLiteral("SQLite")), 0) << "the SQLite 2 driver cannot be chosen";
}

TEST_F(DataSourcesTest, SqliteDataSourceIsCreatedListedAndConnects) {
    const std::string file = SqliteFile("lite.db");
    QStringList saved;
    QObject::connect(m_dialog.get(), &TfrmDataSources::DataSourceSaved,
                     [&saved](const QString& name) { saved << name; });
    FillSqlite(QStringLiteral("ZelUiLite"), file);
    ASSERT_TRUE(m_dialog->Save()) << (m_asked.empty() ? "" : m_asked.back().toStdString());
    EXPECT_TRUE(m_asked.empty());
    EXPECT_EQ(saved, QStringList{QStringLiteral("ZelUiLite")});
    EXPECT_EQ(m_dialog->SavedDataSource(), QStringLiteral("ZelUiLite"));

    EXPECT_NE(Listed().find("[ZelUiLite]"), std::string::npos);
    OdbcTestConnection connection("ZelUiLite");
    connection.Exec("CREATE TABLE Probe (a INTEGER)");
    EXPECT_EQ(connection.Scalar("SELECT COUNT(*) FROM Probe"), "0");

    ASSERT_TRUE(TestConnection());
    EXPECT_TRUE(m_asked.back().startsWith(QStringLiteral("Connection successful.\n\nSQLite")))
        << m_asked.back().toStdString();
}

TEST_F(DataSourcesTest, PostgresDataSourceIsCreatedWithoutDriverLogsAndConnects) {
    OdbcTestEnv::Get().Prepare(TestDriver::PostgreSQL);
    FillPostgres(QStringLiteral("ZelUiPg"), OdbcTestEnv::Get().PostgresPort());
    ASSERT_TRUE(m_dialog->Save()) << (m_asked.empty() ? "" : m_asked.back().toStdString());

    EXPECT_NE(Listed().find("[ZelUiPg]"), std::string::npos);
    const auto attributes = TOdbcUserDataSources::Attributes("ZelUiPg");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Driver", "PostgreSQL Unicode"},
        {"Servername", "127.0.0.1"},
        {"Port", std::to_string(OdbcTestEnv::Get().PostgresPort())},
        {"Database", "postgres"},
        {"Username", "zel"},
        {"CommLog", "0"},
        {"Debug", "0"}};
    EXPECT_EQ(attributes, expected);
    EXPECT_EQ(OdbcTestConnection("ZelUiPg").Scalar("SELECT 40 + 2"), "42");

    ASSERT_TRUE(TestConnection());
    EXPECT_TRUE(m_asked.back().startsWith(QStringLiteral("Connection successful.\n\nPostgreSQL")))
        << m_asked.back().toStdString();
}

TEST_F(DataSourcesTest, EditKeepsForeignValuesRenameMovesAndRemoveDeletes) {
    const std::string first = SqliteFile("first.db");
    const std::string second = SqliteFile("second.db");
    FillSqlite(QStringLiteral("ZelUiLite"), first);
    ASSERT_TRUE(m_dialog->Save());
    // A value the dialog does not manage, added by another tool.
    SQLSetConfigMode(ODBC_USER_DSN);
    ASSERT_TRUE(SQLWritePrivateProfileString("ZelUiLite", "Timeout", "1000", "odbc.ini"));
    SQLSetConfigMode(ODBC_BOTH_DSN);

    m_dialog = std::make_unique<TfrmDataSources>();
    m_dialog->SelectDataSource(QStringLiteral("zeluilite")); // names are case-insensitive
    EXPECT_EQ(Edit("editName")->text(), QStringLiteral("ZelUiLite"));
    EXPECT_EQ(Edit("editDatabaseFile")->text(), QString::fromStdString(first));
    Edit("editDatabaseFile")->setText(QString::fromStdString(second));
    Edit("editName")->setText(QStringLiteral("ZelUiLite2"));
    ASSERT_TRUE(m_dialog->Save());
    EXPECT_FALSE(TOdbcUserDataSources::Exists("ZelUiLite"));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Driver", "SQLite3"}, {"Database", second}, {"Timeout", "1000"}};
    EXPECT_EQ(TOdbcUserDataSources::Attributes("ZelUiLite2"), expected);
    const std::string listed = Listed();
    EXPECT_EQ(listed.find("[ZelUiLite]"), std::string::npos);
    EXPECT_NE(listed.find("[ZelUiLite2]"), std::string::npos);
    OdbcTestConnection("ZelUiLite2").Exec("CREATE TABLE Moved (a INTEGER)");

    m_answer = QMessageBox::No;
    EXPECT_FALSE(m_dialog->RemoveCurrent());
    EXPECT_TRUE(TOdbcUserDataSources::Exists("ZelUiLite2"));
    m_answer = QMessageBox::Yes;
    EXPECT_TRUE(m_dialog->RemoveCurrent());
    EXPECT_EQ(m_asked.back(), QStringLiteral("Remove the data source \"ZelUiLite2\"?"));
    EXPECT_EQ(Listed().find("[ZelUiLite2]"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(second)) << "the database itself stays";
}

TEST_F(DataSourcesTest, SwitchingAwayFromUnsavedEditsAsks) {
    FillSqlite(QStringLiteral("ZelUiLite"), SqliteFile("lite.db"));
    ASSERT_TRUE(m_dialog->Save());
    Edit("editDescription")->setText(QStringLiteral("Stock"));
    m_answer = QMessageBox::Cancel;
    Find<QPushButton>("cmdNew")->click();
    EXPECT_EQ(Edit("editName")->text(), QStringLiteral("ZelUiLite")) << "cancel stays";
    m_answer = QMessageBox::Yes;
    Find<QPushButton>("cmdNew")->click();
    EXPECT_TRUE(Edit("editName")->text().isEmpty());
    EXPECT_EQ(TOdbcUserDataSources::Read("ZelUiLite").Description, "Stock");
}

TEST_F(DataSourcesTest, BrowseTakesTheChosenFileAndClosingAsksAboutUnsavedEdits) {
    m_dialog->SelectDataSource(QStringLiteral("ZelUiLite"));
    ChooseDriver(QStringLiteral("SQLite3"));
    const QString chosen = QString::fromStdString(SqliteFile("chosen.db"));
    TFileDialog::SetNextFileName(chosen);
    Find<QPushButton>("cmdBrowse")->click();
    EXPECT_EQ(Edit("editDatabaseFile")->text(), chosen);
    TFileDialog::SetNextFileName(QString());
    Find<QPushButton>("cmdBrowse")->click();
    EXPECT_EQ(Edit("editDatabaseFile")->text(), chosen);

    m_dialog->show();
    m_answer = QMessageBox::Cancel;
    Find<QPushButton>("cmdClose")->click();
    EXPECT_TRUE(m_dialog->isVisible());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0], QStringLiteral("Save the changes to ZelUiLite?"));
    m_answer = QMessageBox::Yes;
    Find<QPushButton>("cmdClose")->click();
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(TOdbcUserDataSources::Read("ZelUiLite").Database, chosen.toStdString());
    EXPECT_EQ(m_dialog->SavedDataSource(), QStringLiteral("ZelUiLite"));
}

TEST_F(DataSourcesTest, WrongValuesAreRefusedAndNothingIsWritten) {
    struct Case {
        const char* name;
        const char* driver;
        const char* file;
        const char* port;
        const char* message;
    };
    const Case cases[] = {
        {"", "SQLite3", "/tmp/x.db", "", "Enter a name"},
        {"Bad[Name]", "SQLite3", "/tmp/x.db", "", "cannot be used for a data source"},
        {"ZelUiLite", "SQLite3", "", "", "Enter the database file"},
        {"ZelUiPg", "PostgreSQL Unicode", "", "70000", "is not valid"},
        {"ZelUiPg", "PostgreSQL Unicode", "", "54x", "is not valid"},
    };
    const std::string before = ReadAll(OdbcTestEnv::Get().Folder() + "/odbc.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        m_asked.clear();
        m_dialog->SelectDataSource(QString::fromLatin1(c.name));
        ChooseDriver(QString::fromLatin1(c.driver));
        Edit("editDatabaseFile")->setText(QString::fromLatin1(c.file));
        Edit("editServer")->setText(QStringLiteral("127.0.0.1"));
        Edit("editDatabase")->setText(QStringLiteral("postgres"));
        Edit("editPort")->setText(QString::fromLatin1(c.port));
        EXPECT_FALSE(m_dialog->Save());
        ASSERT_EQ(m_asked.size(), 1u);
        EXPECT_TRUE(m_asked[0].contains(QString::fromLatin1(c.message))) << m_asked[0].toStdString();
        EXPECT_EQ(ReadAll(OdbcTestEnv::Get().Folder() + "/odbc.ini"), before);
    }
    m_answer = QMessageBox::No; // leave the last edits unsaved
}

TEST_F(DataSourcesTest, FailedTestShowsTheDatabasesMessageAndCreatesNothing) {
    const std::string missing = m_folder.File("missing.db");
    FillSqlite(QStringLiteral("ZelUiLite"), missing);
    EXPECT_FALSE(TestConnection());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0], QStringLiteral("Unable to connect:\n\nThe database file \"%1\" does not exist.")
                              .arg(QString::fromStdString(missing)));
    EXPECT_FALSE(std::filesystem::exists(missing));

    // Nothing listens on this port: the driver's own words, within the login timeout.
    m_asked.clear();
    FillPostgres(QStringLiteral("ZelUiPg"), FreeLoopbackPort());
    EXPECT_FALSE(TestConnection());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(m_asked[0].contains(QStringLiteral("Connection refused"))) << m_asked[0].toStdString();
    EXPECT_FALSE(m_asked[0].contains(QLatin1Char('\t'))) << "PostgreSQL's hint reads on the same line";
    m_answer = QMessageBox::No;
}

TEST_F(DataSourcesTest, ATestOfAServerThatDoesNotAnswerKeepsTheDialogLiveAndCanBeCancelled) {
    // Takes connections and never says a word: the driver waits for its login timeout.
    TSilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    FillPostgres(QStringLiteral("ZelUiPg"), silent.Port());
    m_dialog->show();

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    m_dialog->TestConnection();
    EXPECT_TRUE(m_dialog->IsTesting());
    EXPECT_FALSE(Find<QPushButton>("cmdTest")->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return Find<QLabel>("lblTesting")->isVisible(); }, 3000));
    // A blocked GUI thread would not serve its timer at all; a slow one (a
    // checked build) serves it late.
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 3000));
    EXPECT_TRUE(m_dialog->IsTesting());
    Find<QPushButton>("cmdCancelTest")->click();
    EXPECT_FALSE(m_dialog->IsTesting());
    EXPECT_FALSE(Find<QLabel>("lblTesting")->isVisible());
    EXPECT_TRUE(Find<QPushButton>("cmdTest")->isEnabled());

    // The next test does not wait for the abandoned one, whose answer never comes.
    FillPostgres(QStringLiteral("ZelUiPg"), FreeLoopbackPort());
    EXPECT_FALSE(TestConnection());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(m_asked[0].contains(QStringLiteral("Connection refused"))) << m_asked[0].toStdString();
    EXPECT_FALSE(m_asked[0].contains(QLatin1Char('\t'))) << "PostgreSQL's hint reads on the same line";

    // Not cancelled, the silent server's test ends with the driver's own words.
    m_asked.clear();
    FillPostgres(QStringLiteral("ZelUiPg"), silent.Port());
    EXPECT_FALSE(TestConnection());
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_TRUE(m_asked[0].startsWith(QStringLiteral("Unable to connect:\n\n"))) << m_asked[0].toStdString();
    silent.Close();
    m_answer = QMessageBox::No;
}

} // namespace
