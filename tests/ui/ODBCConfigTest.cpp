#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest/QTest>
#include <map>
#include <optional>

#include "base/IniFile.h"
#include "data/SessionDefinition.h"
#include "data/Zel_ODBCSession.h"
#include "data/odbc/OdbcUserDataSources.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/SilentListener.h"
#include "ui/MessageBox.h"
#include "ui/Zel_ODBCConfig.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

const QString kMustBeFixed =
    QStringLiteral("\r\n\r\nThis problem must be fixed or the session disabled in order to continue.");

void SendKey(QWidget* widget, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &release);
}

// Types text one character at a time, as the operator does.
void Type(QWidget* widget, const QString& text) {
    for (QChar c : text)
        SendKey(widget, 0, QString(c));
}

void CreateStockTable(TestDriver driver) {
    OdbcTestEnv::Get().ExecSql(driver, {"DROP TABLE IF EXISTS Stock",
                                        "CREATE TABLE Stock (ItemNo varchar(20), Lot varchar(10), "
                                        "Descr varchar(40), Qty integer, PRIMARY KEY (ItemNo, Lot))"});
}

class ODBCConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        OdbcTestEnv::Get().Prepare(TestDriver::SQLite);
        CreateStockTable(TestDriver::SQLite);
        TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
            m_messages.push_back(request.text);
            m_defaults.push_back(request.defaultButton);
            return request.buttons.testFlag(QMessageBox::Yes) ? m_answer : QMessageBox::Ok;
        });
    }
    void TearDown() override {
        m_form.reset();
        TMessageBox::SetAnswerer({});
    }

    // Waits until the wizard's connects and opens have answered.
    void Settle() const {
        if (m_form) {
            EXPECT_TRUE(PumpUntil([&] { return !m_form->IsBusy(); }, 20000));
        }
    }

    // Opens the wizard as the main window does, with the option pages shown.
    void Open(bool showOptions = true) {
        m_form = std::make_unique<TfrmODBCConfig>();
        m_form->IniFile = &m_ini;
        m_form->ShowUpdateOptions = showOptions;
        m_form->ShowTransferOptions = showOptions;
        m_form->InitializeForm();
        m_form->show();
        Settle();
    }

    template <class T> T* W(const char* name) const {
        T* widget = m_form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void Choose(const char* comboName, const QString& text) {
        Settle();
        auto* box = W<QComboBox>(comboName);
        const int index = box->findText(text);
        ASSERT_GE(index, 0) << text.toStdString() << " not offered by " << comboName;
        box->setCurrentIndex(index);
        emit box->activated(index);
        Settle();
    }

    QStringList Choices(const char* comboName) const {
        Settle();
        QStringList items;
        auto* box = W<QComboBox>(comboName);
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        return items;
    }

    QString Cell(int fieldNumber, int column = 1) const {
        Settle();
        const QTableWidgetItem* item = W<QTableWidget>("gridFields")->item(fieldNumber - 1, column);
        return item ? item->text() : QString();
    }

    void SelectPCCell(int fieldNumber) { W<QTableWidget>("gridFields")->setCurrentCell(fieldNumber - 1, 1); }

    // A valid enabled session on the SQLite table Stock.
    TSessionDefinition ValidSession() const {
        TSessionDefinition definition;
        definition.SessionName = "Stock count";
        definition.Enabled = true;
        definition.DSN = OdbcTestEnv::DsnName(TestDriver::SQLite);
        definition.Tablename = "Stock";
        definition.KeyFieldName = "ItemNo";
        definition.FieldNames = {"ItemNo", "Lot", "Qty"};
        return definition;
    }

    void Edit() { W<QLineEdit>("txtSessionName")->setText(QStringLiteral("Edited")); }

    std::string Value(int session, const char* key) const {
        Settle();
        return m_ini.ReadString(TZel_ODBCSession::SectionNameOf(session), key, "<missing>");
    }

    QTemporaryDir m_dir;
    TIniFile m_ini{m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString()};
    std::unique_ptr<TfrmODBCConfig> m_form;
    std::vector<QString> m_messages;
    std::vector<QMessageBox::StandardButton> m_defaults; // Enter's button of each box
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

TEST_F(ODBCConfigTest, SessionListNamesOnlyRenamedSessions) {
    TSessionDefinition named = ValidSession();
    named.Write(m_ini, 2);
    named.SessionName = "Session03";
    named.Write(m_ini, 3);
    Open();
    auto* sessions = W<QListWidget>("lstSessions");
    ASSERT_EQ(sessions->count(), 32);
    EXPECT_EQ(sessions->item(0)->text(), QStringLiteral("Session 1"));
    EXPECT_EQ(sessions->item(1)->text(), QStringLiteral("Session 2: Stock count"));
    EXPECT_EQ(sessions->item(2)->text(), QStringLiteral("Session 3"));
    EXPECT_EQ(W<QLabel>("lblSession")->text(), QStringLiteral("Session 1"));
    EXPECT_FALSE(W<QPushButton>("btnApply")->isEnabled());

    sessions->setCurrentRow(2);
    EXPECT_EQ(m_form->CurrentSession(), 3);
    EXPECT_EQ(W<QComboBox>("cmbTable")->currentText(), QStringLiteral("Stock"));
    EXPECT_EQ(Cell(2), QStringLiteral("Lot")) << "the saved mapping is shown";
    EXPECT_FALSE(m_form->Modified());
    auto* name = W<QLineEdit>("txtSessionName");
    name->selectAll();
    SendKey(name, Qt::Key_Backspace);
    Type(name, QStringLiteral("Shelf"));
    EXPECT_EQ(sessions->item(2)->text(), QStringLiteral("Session 3: Shelf"));
    EXPECT_TRUE(W<QPushButton>("btnApply")->isEnabled());
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(ODBCConfigTest, TypingADataSourceNameConnectsOnlyWhenTheEditingEnds) {
    Open();
    auto* dsn = W<QComboBox>("cmbDSN")->lineEdit();
    Type(dsn, QString::fromStdString(OdbcTestEnv::DsnName(TestDriver::SQLite)));
    EXPECT_TRUE(m_messages.empty()) << "every prefix of the name would have failed to connect";
    EXPECT_TRUE(Choices("cmbTable").isEmpty());
    EXPECT_TRUE(m_form->Modified());
    SendKey(dsn, Qt::Key_Return);
    Settle();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(Choices("cmbTable").contains(QStringLiteral("Stock")));

    // A name that is no data source: one message, with the driver's reason.
    dsn->clear();
    Type(dsn, QStringLiteral("NoSuchSource"));
    EXPECT_TRUE(m_messages.empty());
    SendKey(dsn, Qt::Key_Return);
    Settle();
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Unable to connect to selected Database\n\n")));
    EXPECT_GT(m_messages[0].size(), 45);
    EXPECT_TRUE(Choices("cmbTable").isEmpty());
    SendKey(dsn, Qt::Key_Return); // finishing again without a change tries nothing
    Settle();
    EXPECT_EQ(m_messages.size(), 1u);

    // Typing a table name opens nothing until its editing ends.
    dsn->clear();
    Type(dsn, QString::fromStdString(OdbcTestEnv::DsnName(TestDriver::SQLite)));
    SendKey(dsn, Qt::Key_Return);
    Settle();
    auto* table = W<QComboBox>("cmbTable")->lineEdit();
    Type(table, QStringLiteral("Sto"));
    EXPECT_EQ(Cell(1), QString());
    Type(table, QStringLiteral("ck"));
    SendKey(table, Qt::Key_Return);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(Cell(1), QStringLiteral("ItemNo"));
}

class ODBCConfigDriverTest : public ODBCConfigTest, public ::testing::WithParamInterface<TestDriver> {};

TEST_P(ODBCConfigDriverTest, DataSourceIsListedConnectedAndMapped) {
    OdbcTestEnv::Get().Prepare(GetParam());
    CreateStockTable(GetParam());
    Open();
    const QStringList sources = Choices("cmbDSN");
    const QString dsn = QString::fromStdString(OdbcTestEnv::DsnName(GetParam()));
    ASSERT_TRUE(sources.contains(dsn));
    QStringList sorted = sources;
    std::sort(sorted.begin(), sorted.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    EXPECT_EQ(sources, sorted);

    Choose("cmbDSN", dsn);
    const QString table =
        GetParam() == TestDriver::PostgreSQL ? QStringLiteral("stock") : QStringLiteral("Stock");
    Choose("cmbTable", table);
    const QStringList columns = Choices("cmbKeyField");
    ASSERT_EQ(columns.size(), 4);
    EXPECT_EQ(columns[0].toLower(), QStringLiteral("itemno"));
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(Cell(n), columns[n - 1]) << "the table's columns in table order";
    EXPECT_EQ(Cell(5), QString());
    EXPECT_EQ(Cell(30, 0), QStringLiteral("Field30"));
    EXPECT_EQ(W<QListWidget>("lstPCFields")->count(), 4);

    // Map Qty to device field 2 through the field chooser.
    auto* grid = W<QTableWidget>("gridFields");
    grid->setFocus();
    SelectPCCell(2);
    auto* chooser = W<QComboBox>("cmbPCFields");
    ASSERT_NE(chooser, nullptr);
    EXPECT_TRUE(chooser->isVisible());
    EXPECT_EQ(chooser->currentText(), columns[1]);
    chooser->setCurrentIndex(chooser->findText(columns[3]));
    QTest::keyClick(chooser->lineEdit(), Qt::Key_Return); // where the operator's keys go
    QCoreApplication::processEvents();                    // the grid commits Enter's choice queued
    EXPECT_EQ(Cell(2), columns[3]);

    Choose("cmbKeyField", columns[0]);
    W<QCheckBox>("chkEnabled")->click();
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty()) << m_messages.front().toStdString();
    EXPECT_FALSE(W<QPushButton>("btnApply")->isEnabled());
    EXPECT_TRUE(m_form->SettingsSaved());
    EXPECT_EQ(Value(1, "DSN"), dsn.toStdString());
    EXPECT_EQ(Value(1, "Tablename"), table.toStdString());
    EXPECT_EQ(Value(1, "Enabled"), "1");
    EXPECT_EQ(Value(1, "Field02"), columns[3].toStdString());
    EXPECT_EQ(Value(1, "Field05"), "");

    // The server reads and opens what was saved.
    TZel_ODBCSession session;
    session.IniFile = &m_ini;
    session.SessionNumber = 1;
    session.ReadINISettings();
    ASSERT_TRUE(session.OpenTable());
    EXPECT_NO_THROW(session.ValidateFields());
}

INSTANTIATE_TEST_SUITE_P(Drivers, ODBCConfigDriverTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

TEST_F(ODBCConfigTest, EachValidationMessageStopsTheSave) {
    struct Case {
        const char* name;
        std::function<void(TSessionDefinition&)> change;
        const char* message; // nullptr: the save passes
    };
    const Case cases[] = {
        {"unreachable source", [](auto& d) { d.DSN = "NoSuchSource"; },
         "Unknown error opening Database or Table!"},
        {"missing table", [](auto& d) { d.Tablename = "NoSuchTable"; },
         "Unknown error opening Database or Table!"},
        {"nothing mapped", [](auto& d) { d.FieldNames.clear(); },
         "At least one field must be mapped between the PC and PDA!"},
        {"update without fields", [](auto& d) { d.UpdateType = 2; },
         "At least one field must be chosen when using the Update Existing data option!"},
        {"update or append without fields", [](auto& d) { d.UpdateType = 3; },
         "At least one field must be chosen when using the Update Existing data option!"},
        {"update with a field",
         [](auto& d) {
             d.UpdateType = 2;
             d.IndexFieldNames = {"ItemNo"};
         },
         nullptr},
        {"append", [](auto& d) { d.UpdateType = 0; }, nullptr},
        {"static filter without value",
         [](auto& d) {
             d.FilterToDevice = {1, "Qty", ">=", ""};
         },
         "Invalid Filter Settings!"},
        {"static filter without operator",
         [](auto& d) {
             d.FilterToDevice = {1, "Qty", "", "5"};
         },
         "Invalid Filter Settings!"},
        {"prompt filter without field",
         [](auto& d) {
             d.FilterToDevice = {2, "", "", ""};
         },
         nullptr},
        {"no key field", [](auto& d) { d.KeyFieldName.clear(); }, "A Key Field must be selected"},
        {"disabled and broken",
         [](auto& d) {
             d.Enabled = false;
             d.DSN = "NoSuchSource";
             d.FieldNames.clear();
             d.KeyFieldName.clear();
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_ini.EraseSection("Session01");
        TSessionDefinition definition = ValidSession();
        c.change(definition);
        definition.Write(m_ini, 1);
        Open();
        m_messages.clear();
        Edit();
        W<QPushButton>("btnApply")->click();
        EXPECT_TRUE(m_form->SettingsSaved());
        if (c.message) {
            ASSERT_EQ(m_messages.size(), 1u);
            EXPECT_EQ(m_messages[0], QString::fromLatin1(c.message) + kMustBeFixed);
            EXPECT_EQ(Value(1, "SessionName"), "Stock count") << "nothing is written";
            EXPECT_TRUE(W<QPushButton>("btnApply")->isEnabled());
        } else {
            EXPECT_TRUE(m_messages.empty()) << m_messages.front().toStdString();
            EXPECT_EQ(Value(1, "SessionName"), "Edited");
            EXPECT_FALSE(W<QPushButton>("btnApply")->isEnabled());
        }
    }
}

TEST_F(ODBCConfigTest, OptionsPagesHiddenStillValidateWhatTheFileHolds) {
    TSessionDefinition definition = ValidSession();
    definition.UpdateType = 3;
    definition.Write(m_ini, 1);
    Open(false);
    auto* pages = W<QTabWidget>("PageControl1");
    EXPECT_TRUE(pages->isTabVisible(0));
    EXPECT_FALSE(pages->isTabVisible(1));
    EXPECT_FALSE(pages->isTabVisible(2));
    EXPECT_EQ(W<QLabel>("lblStep3aInstructions")->text(), QStringLiteral("Make the mapping between the"));
    Edit();
    W<QPushButton>("btnApply")->click();
    ASSERT_EQ(m_messages.size(), 1u);
    m_messages.clear();
    W<QCheckBox>("chkEnabled")->click();
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Value(1, "Enabled"), "0");
    EXPECT_EQ(Value(1, "UpdateType"), "3") << "the options are written back unchanged";
}

TEST_F(ODBCConfigTest, SavedSectionHoldsEveryKeyInOrder) {
    Open();
    W<QListWidget>("lstSessions")->setCurrentRow(3);
    Choose("cmbDSN", QString::fromStdString(OdbcTestEnv::DsnName(TestDriver::SQLite)));
    Choose("cmbTable", QStringLiteral("Stock"));
    Choose("cmbKeyField", QStringLiteral("ItemNo"));
    W<QCheckBox>("chkEnabled")->click();
    W<QLineEdit>("txtSessionName")->clear();
    W<QTabWidget>("PageControl1")->setCurrentIndex(1);
    EXPECT_EQ(W<QLabel>("lblStep3aInstructions")->text(), QStringLiteral("Append to the PC table or update"));
    W<QRadioButton>("rdoUpdateExisting")->click();
    auto* pcFields = W<QListWidget>("lstPCFields");
    ASSERT_TRUE(pcFields->isEnabled());
    for (const QString& name : {QStringLiteral("ItemNo"), QStringLiteral("Lot")}) {
        pcFields->setCurrentItem(pcFields->findItems(name, Qt::MatchExactly).value(0));
        W<QPushButton>("btnAddIndex")->click();
    }
    EXPECT_EQ(W<QLineEdit>("txtIndexString")->text(), QStringLiteral("ItemNo+Lot"));
    EXPECT_EQ(pcFields->count(), 2) << "a column is offered on one side only";
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty()) << m_messages.front().toStdString();

    std::vector<std::string> expected = {"SessionName", "Enabled",  "DSN",         "Tablename",
                                         "Username",    "Password", "KeyFieldName"};
    for (int n = 1; n <= 30; ++n)
        expected.push_back(TSessionDefinition::DeviceFieldKey(n));
    expected.insert(expected.end(),
                    {"UpdateType", "DeleteAfterTransfer", "IndexFieldCount", "Index00", "Index01",
                     "FilterToDevice_Type", "FilterToDevice_Field", "FilterToDevice_Operator",
                     "FilterToDevice_Value", "FilterFromDevice_Type", "FilterFromDevice_Field",
                     "FilterFromDevice_Operator", "FilterFromDevice_Value"});
    TIniFile fresh(m_ini.FileName());
    EXPECT_EQ(fresh.ReadSection("Session04"), expected);
    const std::string content = ReadAll(m_ini.FileName());
    EXPECT_NE(content.find("[Session04]\r\nSessionName=Session04\r\nEnabled=1\r\nDSN=ZelTestSQLite\r\n"
                           "Tablename=Stock\r\nUsername=\r\nPassword=\r\nKeyFieldName=ItemNo\r\n"
                           "Field01=ItemNo\r\nField02=Lot\r\nField03=Descr\r\nField04=Qty\r\nField05=\r\n"),
              std::string::npos)
        << content;
    EXPECT_NE(
        content.find("Field30=\r\nUpdateType=2\r\nDeleteAfterTransfer=0\r\nIndexFieldCount=2\r\n"
                     "Index00=ItemNo\r\nIndex01=Lot\r\nFilterToDevice_Type=0\r\nFilterToDevice_Field=\r\n"),
        std::string::npos)
        << content;
    EXPECT_EQ(W<QListWidget>("lstSessions")->item(3)->text(), QStringLiteral("Session 4"));
    EXPECT_EQ(W<QLineEdit>("txtSessionName")->text(), QStringLiteral("Session04"));
}

TEST_F(ODBCConfigTest, MappingActionsOnFirstMiddleAndLastRow) {
    TSessionDefinition definition = ValidSession();
    definition.FieldNames.clear();
    for (int n = 1; n <= 30; ++n)
        definition.FieldNames.push_back("C" + std::to_string(n));
    definition.Write(m_ini, 1);
    enum Action { Up, Down, Insert, Remove };
    struct Case {
        const char* name;
        Action action;
        int row;
        // Field number -> PC field afterwards. Moves change only the rows
        // listed; inserting and removing shift every row below.
        std::vector<std::pair<int, const char*>> expected;
        int rowAfter;
    };
    const Case cases[] = {
        {"insert on 1", Insert, 1, {{1, ""}, {2, "C1"}, {3, "C2"}, {30, "C29"}}, 1},
        {"insert on 5", Insert, 5, {{4, "C4"}, {5, ""}, {6, "C5"}, {7, "C6"}, {30, "C29"}}, 5},
        {"insert on 30", Insert, 30, {{1, "C1"}, {29, "C29"}, {30, ""}}, 30},
        {"remove on 1", Remove, 1, {{1, "C2"}, {2, "C3"}, {29, "C30"}, {30, ""}}, 1},
        {"remove on 5", Remove, 5, {{4, "C4"}, {5, "C6"}, {6, "C7"}, {29, "C30"}, {30, ""}}, 5},
        {"remove on 30", Remove, 30, {{1, "C1"}, {29, "C29"}, {30, ""}}, 30},
        {"up on 1", Up, 1, {}, 1},
        {"up on 5", Up, 5, {{4, "C5"}, {5, "C4"}}, 4},
        {"up on 30", Up, 30, {{29, "C30"}, {30, "C29"}}, 29},
        {"down on 1", Down, 1, {{1, "C2"}, {2, "C1"}}, 2},
        {"down on 5", Down, 5, {{5, "C6"}, {6, "C5"}}, 6},
        {"down on 30", Down, 30, {}, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open();
        ASSERT_EQ(Cell(30), QStringLiteral("C30"));
        SelectPCCell(c.row);
        const char* actions[] = {"actMoveUp", "actMoveDown", "actInsert", "actRemoveMap"};
        W<QAction>(actions[c.action])->trigger();
        for (int n = 1; n <= 30; ++n) {
            std::optional<QString> want;
            if (c.action == Up || c.action == Down)
                want = QStringLiteral("C%1").arg(n);
            for (const auto& [field, value] : c.expected) {
                if (field == n)
                    want = QString::fromLatin1(value);
            }
            if (want) {
                EXPECT_EQ(Cell(n), *want) << "field " << n;
            }
            EXPECT_EQ(Cell(n, 0), QString::fromStdString(TSessionDefinition::DeviceFieldKey(n)));
        }
        EXPECT_EQ(W<QTableWidget>("gridFields")->currentRow(), c.rowAfter - 1);
        EXPECT_EQ(m_form->Modified(), !c.expected.empty());
    }
    // What the grid shows is what gets written.
    Open();
    SelectPCCell(5);
    W<QAction>("actInsert")->trigger();
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Value(1, "Field05"), "");
    EXPECT_EQ(Value(1, "Field06"), "C5");
    EXPECT_EQ(Value(1, "Field30"), "C29");
}

// The mapping grid shows fewer rows than there are device fields: the
// operator reaches the rest with Tab, the arrows and the wheel, with the
// field chooser open on the current PC cell.
class ODBCConfigGridTest : public ODBCConfigTest {
protected:
    void SetUp() override {
        ODBCConfigTest::SetUp();
        TSessionDefinition definition = ValidSession();
        definition.FieldNames.clear();
        for (int n = 1; n <= 30; ++n)
            definition.FieldNames.push_back("C" + std::to_string(n));
        definition.Write(m_ini, 1);
        Open();
        m_form->resize(700, 520);
        m_form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
        m_grid = W<QTableWidget>("gridFields");
        ASSERT_LT(m_grid->rowAt(m_grid->viewport()->height() - 1), 29) << "every row fits: nothing to scroll";
    }

    void ClickPCCell(int fieldNumber) {
        const QRect cell = m_grid->visualRect(m_grid->model()->index(fieldNumber - 1, 1));
        QTest::mouseClick(m_grid->viewport(), Qt::LeftButton, {}, cell.center());
    }

    // The field chooser open on the grid, or nullptr.
    QComboBox* Editor() const {
        for (auto* box : m_grid->findChildren<QComboBox*>(QStringLiteral("cmbPCFields")))
            if (box->isVisible())
                return box;
        return nullptr;
    }

    void Key(int key) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCoreApplication::processEvents(); // the grid commits Enter's choice queued
    }

    QTableWidget* m_grid = nullptr;
};

TEST_F(ODBCConfigGridTest, TabWalksEveryRowWithTheChooserOnEachPCCell) {
    ClickPCCell(1);
    for (int presses = 0; presses < 120; ++presses) {
        const int row = m_grid->currentRow();
        if (m_grid->currentColumn() == 1) {
            QComboBox* editor = Editor();
            ASSERT_NE(editor, nullptr) << "row " << row + 1;
            EXPECT_TRUE(editor->hasFocus()) << "row " << row + 1;
            EXPECT_EQ(editor->currentText(), QStringLiteral("C%1").arg(row + 1));
            EXPECT_TRUE(m_grid->viewport()->rect().contains(editor->geometry().center()))
                << "the grid scrolled to row " << row + 1;
            if (row == 29)
                break;
        }
        Key(Qt::Key_Tab);
    }
    ASSERT_EQ(m_grid->currentRow(), 29);
    EXPECT_FALSE(m_form->Modified()) << "walking through changes nothing";
    // A choice on the last row commits with Enter, and is what gets written.
    QComboBox* editor = Editor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->count(), 4) << "the table's columns are offered";
    editor->setCurrentIndex(editor->findText(QStringLiteral("Qty")));
    Key(Qt::Key_Return);
    EXPECT_EQ(Cell(30), QStringLiteral("Qty"));
    EXPECT_TRUE(m_form->Modified());
    // Back up with Shift+Tab and the arrows.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    Key(Qt::Key_Up);
    EXPECT_EQ(m_grid->currentRow(), 28);
    // Tab past the last cell leaves the grid (the choice kept); Shift+Tab
    // before the first cell leaves it the other way.
    m_grid->setCurrentCell(29, 1);
    ASSERT_NE(Editor(), nullptr);
    Key(Qt::Key_Tab);
    QWidget* after = QApplication::focusWidget();
    ASSERT_NE(after, nullptr);
    EXPECT_FALSE(after == m_grid || m_grid->isAncestorOf(after)) << after->metaObject()->className();
    EXPECT_EQ(m_grid->currentRow(), 29);
    m_grid->setFocus();
    m_grid->setCurrentCell(0, 0);
    QTest::keyClick(m_grid, Qt::Key_Backtab, Qt::ShiftModifier);
    after = QApplication::focusWidget();
    EXPECT_FALSE(after == m_grid || m_grid->isAncestorOf(after));
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Value(1, "Field30"), "Qty");
    EXPECT_EQ(Value(1, "Field29"), "C29");
}

TEST_F(ODBCConfigGridTest, WheelOverTheOpenChooserScrollsTheGrid) {
    ClickPCCell(2);
    QComboBox* editor = Editor();
    ASSERT_NE(editor, nullptr);
    QScrollBar* bar = m_grid->verticalScrollBar();
    ASSERT_EQ(bar->value(), 0);
    // The chooser passes a wheel turn on (the application hands an ignored
    // turn to the viewport under it), and the viewport scrolls with it open.
    for (int turn = 0; turn < 10; ++turn) {
        for (QWidget* target : {static_cast<QWidget*>(Editor()), m_grid->viewport()}) {
            if (!target)
                continue;
            const QPointF at = QPointF(target->rect().center());
            QWheelEvent wheel(at, target->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(target, &wheel);
            if (target != m_grid->viewport()) {
                EXPECT_FALSE(wheel.isAccepted()) << "the chooser passes the turn on";
            }
        }
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(bar->value(), bar->maximum()) << "ten turns scroll to the end";
    EXPECT_EQ(Cell(2), QStringLiteral("C2")) << "the wheel does not change the choice";
    EXPECT_EQ(m_grid->currentRow(), 1);
    EXPECT_FALSE(m_form->Modified());
    // The rows that came into view take a choice as any other.
    ClickPCCell(25);
    ASSERT_NE(Editor(), nullptr);
    Editor()->setCurrentIndex(Editor()->findText(QStringLiteral("Lot")));
    Key(Qt::Key_Tab);
    EXPECT_EQ(Cell(25), QStringLiteral("Lot"));
}

TEST_F(ODBCConfigGridTest, EscapeCancelsTypedTextAndApplyTakesWhatIsTyped) {
    ClickPCCell(3);
    ASSERT_NE(Editor(), nullptr);
    Editor()->lineEdit()->selectAll();
    QTest::keyClicks(Editor()->lineEdit(), QStringLiteral("Other"));
    Key(Qt::Key_Escape);
    EXPECT_EQ(Editor(), nullptr);
    EXPECT_EQ(Cell(3), QStringLiteral("C3"));
    EXPECT_TRUE(m_grid->hasFocus());

    // Typed text that is not a column is kept, and Apply takes it without Enter.
    ClickPCCell(4);
    ASSERT_NE(Editor(), nullptr);
    Editor()->lineEdit()->selectAll();
    QTest::keyClicks(Editor()->lineEdit(), QStringLiteral("Typed"));
    EXPECT_TRUE(m_form->Modified()) << "Apply is offered as soon as something is typed";
    W<QPushButton>("btnApply")->click();
    EXPECT_EQ(Value(1, "Field04"), "Typed");

    // Insert opens the chooser on the emptied cell.
    W<QAction>("actInsert")->trigger();
    ASSERT_NE(Editor(), nullptr);
    EXPECT_EQ(Editor()->currentText(), QString());
    EXPECT_EQ(Cell(5), QStringLiteral("Typed"));
}

// The inputs an operator reaches with the keyboard or a screen reader.
std::vector<QWidget*> Inputs(QWidget* root) {
    std::vector<QWidget*> inputs;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        // Qt's own parts of a control (a combo box's text box and list, a grid's headers) go with it.
        if (w->window() != root->window() || w->objectName().startsWith(QStringLiteral("qt_")) ||
            qobject_cast<QComboBox*>(w->parentWidget()) ||
            qobject_cast<QAbstractItemView*>(w->parentWidget()) || qobject_cast<QHeaderView*>(w))
            continue;
        if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractButton*>(w) ||
            qobject_cast<QAbstractItemView*>(w))
            inputs.push_back(w);
    }
    return inputs;
}

TEST_F(ODBCConfigTest, EveryInputIsNamedAndEveryLabelLeadsToOne) {
    Open(true);
    for (QWidget* input : Inputs(m_form.get())) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(input);
        ASSERT_NE(accessible, nullptr);
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
            << input->metaObject()->className() << " " << input->objectName().toStdString() << " in "
            << input->parentWidget()->objectName().toStdString();
    }
    EXPECT_EQ(W<QLineEdit>("txtUsername")->accessibleName(), QStringLiteral("Database Username"));
    EXPECT_EQ(W<QComboBox>("cmbDSN")->accessibleName(), QStringLiteral("DSN"))
        << "the label, not the instruction";
    EXPECT_EQ(W<QLineEdit>("txtSessionName")->accessibleName(), QStringLiteral("Name"));
    // Each label leads to its input, and no two mnemonics of a page clash.
    std::map<QChar, QString> mnemonics;
    for (QLabel* label : m_form->findChildren<QLabel*>()) {
        if (label->objectName() == QStringLiteral("lblBusy"))
            continue;
        EXPECT_NE(label->buddy(), nullptr) << label->objectName().toStdString();
    }
    for (QWidget* w : m_form->findChildren<QWidget*>()) {
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w))
            text = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            text = button->text();
        const int amp = text.indexOf(QLatin1Char('&'));
        if (amp < 0 || !w->isVisible())
            continue;
        const QChar key = text.at(amp + 1).toLower();
        EXPECT_FALSE(mnemonics.count(key)) << "Alt+" << QString(key).toStdString() << ": "
                                           << mnemonics[key].toStdString() << " and " << text.toStdString();
        mnemonics[key] = text;
    }
    EXPECT_GE(mnemonics.size(), 8u);
}

// As the main window opens it (option pages hidden): every control keeps its
// size, Apply stays in view, and what does not fit is reached by scrolling.
TEST_F(ODBCConfigTest, FitsASmallViewAndScrollsWhatDoesNotFit) {
    TSessionDefinition definition = ValidSession();
    definition.Write(m_ini, 1);
    Open(false);
    auto* pages = W<QTabWidget>("PageControl1");
    EXPECT_LT(pages->minimumSizeHint().height(), pages->widget(1)->minimumSizeHint().height())
        << "a hidden page counts toward the page control's height";
    auto* scroll = W<QScrollArea>("scrSession");
    ASSERT_NE(scroll, nullptr);
    // The view at 1024x768 (and at scale 2 on twice the pixels), and far smaller.
    for (const QSize size : {QSize(860, 690), QSize(616, 519), QSize(420, 300)}) {
        SCOPED_TRACE(size.width());
        m_form->resize(size);
        PumpFor(50);
        ASSERT_LE(m_form->minimumSizeHint().height(), size.height()) << "the view would be cut off";
        auto* apply = W<QPushButton>("btnApply");
        EXPECT_TRUE(m_form->rect().contains(QRect(apply->mapTo(m_form.get(), QPoint()), apply->size())));
        QWidget* content = scroll->widget();
        const QSize viewport = scroll->viewport()->size();
        // What scrolling can bring into view.
        const QRect reachable(0, 0, viewport.width() + scroll->horizontalScrollBar()->maximum(),
                              viewport.height() + scroll->verticalScrollBar()->maximum());
        for (QWidget* input : Inputs(content)) {
            if (!input->isVisibleTo(m_form.get()))
                continue;
            const std::string name = input->objectName().toStdString();
            const QRect at(input->mapTo(content, QPoint()), input->size());
            EXPECT_TRUE(reachable.contains(at)) << name;
            EXPECT_GE(input->height(), input->minimumSizeHint().height()) << name << " is squeezed";
            if (!qobject_cast<QAbstractItemView*>(input)) {
                EXPECT_LE(input->width(), viewport.width()) << name;
            }
        }
        auto* grid = W<QTableWidget>("gridFields");
        EXPECT_GE(grid->viewport()->height(), 4 * grid->rowHeight(0))
            << "a few mapping rows are always in view";
        if (size.width() >= 616) {
            EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << "nothing to scroll sideways";
        }
    }
}

TEST_F(ODBCConfigTest, LeavingOrClosingAModifiedSession) {
    TSessionDefinition broken = ValidSession();
    broken.FieldNames.clear();
    broken.Write(m_ini, 1);
    Open();
    Edit();
    // Leaving it: the save fails, the operator stays on the session.
    W<QListWidget>("lstSessions")->setCurrentRow(1);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_form->CurrentSession(), 1);
    EXPECT_EQ(W<QListWidget>("lstSessions")->currentRow(), 0);

    // Closing with Yes: the save fails again and the window stays.
    m_answer = QMessageBox::Yes;
    EXPECT_FALSE(m_form->close());
    EXPECT_FALSE(m_form->CloseAllowed());
    EXPECT_TRUE(m_form->SettingsSaved());
    EXPECT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(m_messages[1], QStringLiteral("Save Settings"));
    EXPECT_EQ(m_defaults[1], QMessageBox::Yes) << "Enter keeps the edits";

    // Closing with No drops the edits.
    m_answer = QMessageBox::No;
    EXPECT_TRUE(m_form->close());
    EXPECT_TRUE(m_form->CloseAllowed());
    EXPECT_EQ(Value(1, "SessionName"), "Stock count");

    // Unmodified: no question at all.
    Open();
    m_messages.clear();
    EXPECT_TRUE(m_form->close());
    EXPECT_TRUE(m_messages.empty());
    EXPECT_FALSE(m_form->SettingsSaved());
}

TEST_F(ODBCConfigTest, ASectionTheServerRefusesStillLoadsAndIsRepairedBySaving) {
    TSessionDefinition definition = ValidSession();
    definition.UpdateType = 7;
    definition.FilterToDevice.Type = 5;
    definition.Write(m_ini, 1);
    m_ini.WriteString("Session01", "UpdateType", "7");
    Open();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(Choices("cmbTable").contains(QStringLiteral("Stock"))) << "the data source was connected";
    EXPECT_EQ(W<QListWidget>("lstPCFields")->count(), 4);
    EXPECT_TRUE(W<QRadioButton>("rdoAppendToExisting")->isChecked());
    for (const char* name : {"rdoToPDANoFilter", "rdoToPDAStaticFilter", "rdoToPDAPromptFilter"})
        EXPECT_FALSE(W<QRadioButton>(name)->isChecked()) << name;
    EXPECT_FALSE(m_form->Modified());
    Edit();
    W<QPushButton>("btnApply")->click();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Value(1, "UpdateType"), "0");
    EXPECT_EQ(Value(1, "FilterToDevice_Type"), "5") << "a type no button stands for is kept";
}

TEST_F(ODBCConfigTest, AFileThatCannotBeWrittenIsReportedAndKeepsTheEdits) {
    TIniFile missing(m_dir.filePath(QStringLiteral("missing/ZelWireless.ini")).toStdString());
    m_form = std::make_unique<TfrmODBCConfig>();
    m_form->IniFile = &missing;
    m_form->InitializeForm();
    Edit();
    W<QPushButton>("btnApply")->click();
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_TRUE(m_messages[0].contains(QStringLiteral("cannot write file"))) << m_messages[0].toStdString();
    EXPECT_TRUE(m_form->Modified());
    EXPECT_TRUE(W<QPushButton>("btnApply")->isEnabled());
}

TEST_F(ODBCConfigTest, ChoosingADataSourceThatDoesNotAnswerKeepsTheWizardLive) {
    // A PostgreSQL data source whose server takes connections and never says
    // a word: the connect waits for its login timeout.
    TSilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    TOdbcDataSourceDef definition;
    definition.Name = "ZelUiSilent";
    definition.Driver = "PostgreSQL Unicode";
    definition.Server = "127.0.0.1";
    definition.Port = std::to_string(silent.Port());
    definition.Database = "postgres";
    definition.UserName = "zel";
    TOdbcUserDataSources::Write(definition);

    Open();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    auto* dsn = W<QComboBox>("cmbDSN")->lineEdit();
    dsn->setText(QStringLiteral("ZelUiSilent"));
    SendKey(dsn, Qt::Key_Return);
    EXPECT_TRUE(m_form->IsBusy());
    ASSERT_TRUE(PumpUntil([&] { return W<QWidget>("pnlBusy")->isVisible(); }, 3000));
    // A blocked GUI thread would not serve its timer at all; a slow one (a
    // checked build) serves it late.
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 3000));
    EXPECT_EQ(W<QLabel>("lblBusy")->text(), QStringLiteral("Connecting..."));
    // Cancel gives the wizard back at once; the attempt ends unseen.
    W<QPushButton>("btnCancelWork")->click();
    EXPECT_FALSE(m_form->IsBusy());
    EXPECT_FALSE(W<QWidget>("pnlBusy")->isVisible());
    EXPECT_TRUE(m_messages.empty());

    // Chosen again and left to answer: the driver's reason, under the wizard's headline.
    Choose("cmbDSN", QStringLiteral("ZelUiSilent"));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_TRUE(m_messages[0].startsWith(QStringLiteral("Unable to connect to selected Database\n\n")))
        << m_messages[0].toStdString();
    EXPECT_GT(m_messages[0].size(), 45);
    EXPECT_TRUE(Choices("cmbTable").isEmpty());
    silent.Close();
    TOdbcUserDataSources::Remove("ZelUiSilent");
}

} // namespace
