#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QtTest/QTest>

#include "MainWindowFixture.h"
#include "base/AppPaths.h"
#include "base/IniFile.h"
#include "base/WirelessPrefsMgr.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"
#include "support/TestPrefs.h"
#include "support/TestServer.h"
#include "ui/MessageBox.h"
#include "ui/Zel_ODBCData.h"
#include "ui/Zel_TableModel.h"
#include "ui/frm_FilterPrompt.h"

#include <cstdio>
#include <utility>

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

using Rows = std::vector<std::vector<std::string>>;

// Waits until no viewer has database work under way (its answers delivered).
void Settle() {
    auto idle = [] {
        for (QWidget* widget : QApplication::allWidgets())
            if (auto* viewer = qobject_cast<TfrmODBCData*>(widget); viewer && viewer->IsBusy())
                return false;
        return true;
    };
    EXPECT_TRUE(PumpUntil(idle, 20000));
}

class DataViewerTest : public ::testing::TestWithParam<TestDriver> {
protected:
    void SetUp() override {
        OdbcTestEnv::Get().Prepare(GetParam());
        CreateStock(12);
        m_iniName = OdbcTestEnv::Get().Folder() + "/Viewer.ini";
        std::remove(m_iniName.c_str());
        m_ini = std::make_unique<TIniFile>(m_iniName);
        WriteSession(2, "Stock count");
        TMessageBox::SetAnswerer([this](const TMessageBox::Request& request) {
            m_boxes.push_back(request.text.toStdString());
            return request.buttons.testFlag(QMessageBox::Yes) ? m_answer : QMessageBox::Ok;
        });
    }
    void TearDown() override { TMessageBox::SetAnswerer({}); }

    // Items I001.. with Descr "Item n", Qty n; item 3 has no Qty, item 4 an empty Descr.
    void CreateStock(int rows) {
        std::string insert = "INSERT INTO Stock VALUES ";
        for (int i = 1; i <= rows; ++i) {
            char row[96];
            std::snprintf(row, sizeof row, "%s('I%03d', %s, %s)", i > 1 ? ", " : "", i,
                          i == 4 ? "''" : ("'Item " + std::to_string(i) + "'").c_str(),
                          i == 3 ? "NULL" : std::to_string(i).c_str());
            insert += row;
        }
        Exec({"DROP TABLE IF EXISTS Stock",
              "CREATE TABLE Stock (ItemNo varchar(20) PRIMARY KEY, Descr varchar(40), Qty integer)", insert});
    }
    void Exec(const std::vector<std::string>& statements) {
        OdbcTestEnv::Get().ExecSql(GetParam(), statements);
    }
    Rows Query(const std::string& sql) {
        Settle();
        return OdbcTestEnv::Get().QuerySql(GetParam(), sql);
    }

    void WriteSession(int number, const std::string& name, bool enabled = true) {
        const std::string section = "Session0" + std::to_string(number);
        m_ini->WriteString(section, "SessionName", name);
        m_ini->WriteBool(section, "Enabled", enabled);
        m_ini->WriteString(section, "DSN", OdbcTestEnv::DsnName(GetParam()));
        m_ini->WriteString(section, "Tablename", "Stock");
        m_ini->WriteString(section, "KeyFieldName", "ItemNo");
        m_ini->WriteString(section, "Field01", "Descr");
        m_ini->WriteString(section, "Field02", "Qty");
    }

    std::unique_ptr<TfrmODBCData> OpenViewer() {
        auto viewer = std::make_unique<TfrmODBCData>();
        viewer->IniFile = m_ini.get();
        viewer->resize(800, 400);
        viewer->show();
        viewer->InitializeForm();
        Settle();
        // The rows in sight, as the operator sees them before acting on them.
        TZel_TableModel* model = viewer->Model();
        EXPECT_TRUE(PumpUntil([&] { return model->rowCount() == 0 || model->IsRowRead(0); }));
        Settle();
        return viewer;
    }
    template <class T> static T* Child(QWidget& parent, const char* name) {
        T* child = parent.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    // A row not yet read is asked for, and read on the viewer's worker.
    static QString Cell(TfrmODBCData& viewer, int row, int column, int role = Qt::DisplayRole) {
        Settle();
        viewer.Model()->data(viewer.Model()->index(row, column), role);
        Settle();
        return viewer.Model()->data(viewer.Model()->index(row, column), role).toString();
    }
    static int RowCount(TfrmODBCData& viewer) {
        Settle();
        return viewer.Model()->rowCount();
    }
    static QString ErrorPane(TfrmODBCData& viewer) {
        Settle();
        PumpFor(1); // errors arrive through the event loop
        QWidget* pane = Child<QWidget>(viewer, "pnlErrorMemoContainer");
        return pane->isVisible() ? Child<QPlainTextEdit>(viewer, "memoError")->toPlainText() : QString();
    }
    // Answers the next filter prompt with a field, an operator and a value (empty field: Cancel).
    static void AnswerPrompt(const QString& field, const QString& op, const QString& value) {
        QTimer::singleShot(0, [=] {
            auto* prompt = qobject_cast<TfrmFilterPrompt*>(QApplication::activeModalWidget());
            ASSERT_NE(prompt, nullptr);
            if (field.isEmpty()) {
                prompt->reject();
                return;
            }
            prompt->findChild<QComboBox*>(QStringLiteral("cmbPCFields"))->setEditText(field);
            prompt->findChild<QComboBox*>(QStringLiteral("cmbOperator"))->setEditText(op);
            prompt->findChild<QLineEdit*>(QStringLiteral("txtValue"))->setText(value);
            prompt->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
        });
    }

    std::string m_iniName;
    std::unique_ptr<TIniFile> m_ini;
    std::vector<std::string> m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

TEST_P(DataViewerTest, ListsEnabledSessionsAndLeavesOutUnreadableOnes) {
    WriteSession(1, "Off", false);
    WriteSession(5, "Five");
    WriteSession(4, "");
    WriteSession(3, "Broken");
    m_ini->WriteInteger("Session03", "UpdateType", 7);
    auto viewer = OpenViewer();
    QComboBox* sessions = Child<QComboBox>(*viewer, "cmbSessions");
    QStringList names;
    for (int i = 0; i < sessions->count(); ++i)
        names << sessions->itemText(i);
    EXPECT_EQ(names, (QStringList{QStringLiteral("Stock count"), QStringLiteral("(not named: Session04"),
                                  QStringLiteral("Five")}));
    EXPECT_EQ(viewer->SessionNumbers(), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(viewer->CurrentSession(), 2);
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel0")->text().toStdString(),
              "Database: " + OdbcTestEnv::DsnName(GetParam()));
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel1")->text(), QStringLiteral("Table: Stock"));
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel2")->text(), QStringLiteral("Row Count: 12"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_P(DataViewerTest, NoEnabledSessionAndAnUnreachableTable) {
    m_ini->WriteBool("Session02", "Enabled", false);
    auto empty = OpenViewer();
    EXPECT_EQ(Child<QComboBox>(*empty, "cmbSessions")->currentText(), QStringLiteral("No sessions enabled"));
    EXPECT_EQ(RowCount(*empty), 0);
    Child<QAction>(*empty, "actDelete")->trigger();
    Child<QAction>(*empty, "actFilter")->trigger();

    m_ini->WriteBool("Session02", "Enabled", true);
    m_ini->WriteString("Session02", "Tablename", "Missing");
    auto viewer = OpenViewer();
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "Error connecting to Database or table: \n\n  DSN: " +
                              OdbcTestEnv::DsnName(GetParam()) + "\nTable: Missing");
    EXPECT_EQ(RowCount(*viewer), 0);
}

TEST_P(DataViewerTest, ModelStaysConsistentThroughFilterSortInsertPostDeleteAndRefresh) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.ApplyFilter("[Qty] > 5");
    Settle();
    EXPECT_EQ(RowCount(*viewer), 7);
    model.sort(2, Qt::DescendingOrder);
    Settle();
    EXPECT_EQ(Cell(*viewer, 0, 0), QStringLiteral("I012"));
    model.InsertRowAt(1);
    EXPECT_EQ(RowCount(*viewer), 8);
    EXPECT_TRUE(model.setData(model.index(1, 0), QStringLiteral("N001")));
    EXPECT_TRUE(model.setData(model.index(1, 2), QStringLiteral("50")));
    EXPECT_TRUE(model.Post());
    Settle();
    EXPECT_EQ(Cell(*viewer, 1, 0), QStringLiteral("N001"));
    model.Refresh();
    Settle();
    EXPECT_EQ(Cell(*viewer, 0, 0), QStringLiteral("N001"));
    model.DeleteRowAt(0);
    Settle();
    EXPECT_EQ(RowCount(*viewer), 7);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'N001'")[0][0], "0");
    Exec({"INSERT INTO Stock VALUES ('N002', 'x', 60)", "INSERT INTO Stock VALUES ('N003', 'y', 70)"});
    model.Refresh();
    Settle();
    EXPECT_EQ(RowCount(*viewer), 9);
    EXPECT_EQ(Cell(*viewer, 0, 0), QStringLiteral("N003"));
    Exec({"DELETE FROM Stock WHERE Qty >= 10"});
    model.Refresh();
    Settle();
    EXPECT_EQ(RowCount(*viewer), 4);
    model.ApplyFilter("");
    Settle();
    model.sort(-1);
    Settle();
    EXPECT_EQ(RowCount(*viewer), 9);
}

TEST_P(DataViewerTest, NullIsShownApartFromEmptyTextAndSurvivesAnEditOfAnotherColumn) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    EXPECT_EQ(Cell(*viewer, 2, 2), QStringLiteral("(NULL)"));
    EXPECT_TRUE(model.data(model.index(2, 2), TZel_TableModel::IsNullRole).toBool());
    EXPECT_EQ(Cell(*viewer, 3, 1), QString());
    EXPECT_FALSE(model.data(model.index(3, 1), TZel_TableModel::IsNullRole).toBool());

    // What a cell editor hands back for the NULL it showed, then a real change.
    EXPECT_TRUE(model.setData(model.index(2, 2), QString()));
    EXPECT_TRUE(model.setData(model.index(2, 1), QStringLiteral("Renamed")));
    Child<QAction>(*viewer, "actPost")->trigger();
    EXPECT_EQ(ErrorPane(*viewer), QString());
    EXPECT_EQ(Query("SELECT Descr, Qty FROM Stock WHERE ItemNo = 'I003'"), (Rows{{"Renamed", "<null>"}}));
    EXPECT_EQ(Cell(*viewer, 2, 2), QStringLiteral("(NULL)"));
}

TEST_P(DataViewerTest, AnUnchangedEditWritesNothing) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    ASSERT_EQ(Cell(*viewer, 4, 1), QStringLiteral("Item 5"));
    // Another user changes the row after the grid read it: a write would overwrite that.
    Exec({"UPDATE Stock SET Qty = 99 WHERE ItemNo = 'I005'"});
    EXPECT_TRUE(model.setData(model.index(4, 1), QStringLiteral("Item 5")));
    EXPECT_TRUE(model.setData(model.index(4, 2), QStringLiteral("5")));
    EXPECT_FALSE(model.HasChanges());
    EXPECT_FALSE(model.Post());
    EXPECT_EQ(ErrorPane(*viewer), QString());
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'I005'")[0][0], "99");
}

TEST_P(DataViewerTest, TheCellEditorEnterAndLeavingTheRowPostIt) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    grid->setCurrentIndex(model.index(1, 1));
    Child<QAction>(*viewer, "actEdit")->trigger();
    EXPECT_EQ(model.State(), TZel_TableModel::Editing);
    auto* editor = grid->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("Typed"));
    QTest::keyClick(editor, Qt::Key_Return);
    PumpFor(20); // the editor hands its text over once the key is handled
    Settle();
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'I002'")[0][0], "Typed");

    // Enter on the grid itself posts the row being edited.
    model.setData(model.index(4, 2), QStringLiteral("44"));
    QTest::keyClick(grid, Qt::Key_Return);
    PumpFor(20);
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'I005'")[0][0], "44");

    // So does moving to another row.
    model.setData(model.index(5, 2), QStringLiteral("55"));
    grid->setCurrentIndex(model.index(6, 2));
    Settle();
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'I006'")[0][0], "55");
}

TEST_P(DataViewerTest, AFailedPostStaysInTheGridWithTheDatabaseMessage) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    grid->setCurrentIndex(model.index(0, 0));
    Child<QAction>(*viewer, "actInsert")->trigger();
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel2")->text(), QStringLiteral("Row Count: 12"));
    ASSERT_EQ(model.State(), TZel_TableModel::Inserting);
    model.setData(model.index(0, 0), QStringLiteral("I001")); // the key of an existing row
    model.setData(model.index(0, 1), QStringLiteral("Duplicate"));
    Child<QAction>(*viewer, "actPost")->trigger();
    const QString error = ErrorPane(*viewer);
    EXPECT_TRUE(error.startsWith(QStringLiteral("EDatabaseError: "))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("SQLSTATE"))) << error.toStdString();
    EXPECT_EQ(model.State(), TZel_TableModel::Inserting);
    EXPECT_EQ(RowCount(*viewer), 13);
    EXPECT_EQ(Cell(*viewer, 0, 1), QStringLiteral("Duplicate"));
    EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'I001'")[0][0], "Item 1");

    // Corrected, the same row posts.
    model.setData(model.index(0, 0), QStringLiteral("I000"));
    Child<QAction>(*viewer, "actPost")->trigger();
    Settle();
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'I000'")[0][0], "Duplicate");
    Child<QPushButton>(*viewer, "cmdCloseErrorDisplay")->click();
    EXPECT_EQ(ErrorPane(*viewer), QString());

    // A refused delete leaves the row where it was.
    if (GetParam() == TestDriver::SQLite)
        Exec({"CREATE TRIGGER KeepI002 BEFORE DELETE ON Stock WHEN old.ItemNo = 'I002' "
              "BEGIN SELECT RAISE(ABORT, 'I002 is kept'); END"});
    else
        Exec({"DROP TABLE IF EXISTS StockLog",
              "CREATE TABLE StockLog (ItemNo varchar(20) REFERENCES Stock(ItemNo))",
              "INSERT INTO StockLog VALUES ('I002')"});
    grid->setCurrentIndex(model.index(2, 0));
    ASSERT_EQ(Cell(*viewer, 2, 0), QStringLiteral("I002"));
    Child<QAction>(*viewer, "actDelete")->trigger();
    EXPECT_TRUE(ErrorPane(*viewer).startsWith(QStringLiteral("EDatabaseError: ")));
    EXPECT_EQ(Cell(*viewer, 2, 0), QStringLiteral("I002"));
    EXPECT_EQ(RowCount(*viewer), 13);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "13");
    if (GetParam() == TestDriver::PostgreSQL)
        Exec({"DROP TABLE StockLog"});
}

TEST_P(DataViewerTest, AHandheldPostAppearsAfterTheRefreshWithTheScrollPositionKept) {
    CreateStock(400);
    const std::string folder = OdbcTestEnv::Get().Folder();
    TAppPaths paths{m_iniName, folder + "/ViewerLog.txt", folder + "/diag.dll"};
    auto prefs = std::make_unique<TZel_WirelessPrefsMgr>(paths);
    prefs->IniFilename = m_iniName;
    g_PrefsMgr = prefs.get();
    {
        TTestServer server;
        auto viewer = OpenViewer();
        QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
        TZel_TableModel& model = *viewer->Model();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        grid->setCurrentIndex(model.index(200, 1));
        grid->scrollTo(model.index(200, 1), QAbstractItemView::PositionAtTop);
        PumpFor(20);
        const int scrolled = grid->verticalScrollBar()->value();
        ASSERT_GT(scrolled, 100);
        Settle();
        model.setData(model.index(200, 1), QStringLiteral("being edited"));

        TTestHandheld handheld;
        ASSERT_NE(server.Connect(handheld), nullptr);
        THandheldFrame reply;
        ASSERT_TRUE(RunPumping([&] {
            handheld.Hello();
            handheld.Login("op", "SN-VIEW");
            handheld.SelectSession(2);
            const std::string key = "ZZZ", descr = "From handheld";
            char items[128];
            std::snprintf(items, sizeof items, "WK000%08zu%sWF001%08zu%s", key.size(), key.c_str(),
                          descr.size(), descr.c_str());
            handheld.SendFrame("PDAPOST", items);
            reply = handheld.ReadFrame();
        }));
        ASSERT_EQ(reply.Type, "PCCOUNT") << reply.Payload;
        ASSERT_TRUE(PumpUntil([&] { return server.Owner.Count > 0; }));
        viewer->WirelessChange();

        EXPECT_EQ(RowCount(*viewer), 401);
        EXPECT_EQ(Cell(*viewer, 400, 0), QStringLiteral("ZZZ"));
        EXPECT_EQ(Cell(*viewer, 400, 1), QStringLiteral("From handheld"));
        EXPECT_EQ(grid->verticalScrollBar()->value(), scrolled);
        EXPECT_EQ(grid->currentIndex(), model.index(200, 1));
        EXPECT_EQ(model.PendingRow(), 200);
        EXPECT_EQ(Cell(*viewer, 200, 1), QStringLiteral("being edited"));
        EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel2")->text(), QStringLiteral("Row Count: 401"));
        handheld.Close();
    }
    g_PrefsMgr = nullptr;
}

TEST_P(DataViewerTest, ChangeNotificationsRefreshAtMostTwicePerSecondAndTheLastOneAlwaysRuns) {
    auto viewer = OpenViewer();
    viewer->WirelessChange();
    EXPECT_EQ(viewer->RefreshCount(), 1);
    Exec({"INSERT INTO Stock VALUES ('Z01', 'late', 1)"});
    for (int i = 0; i < 20; ++i)
        viewer->WirelessChange();
    EXPECT_EQ(viewer->RefreshCount(), 1);
    EXPECT_TRUE(PumpUntil([&] { return viewer->RefreshCount() == 2; }, 2000));
    PumpFor(TfrmODBCData::RefreshIntervalMs + 100);
    EXPECT_EQ(viewer->RefreshCount(), 2);
    EXPECT_EQ(RowCount(*viewer), 13);
}

TEST_P(DataViewerTest, ColumnWidthsAndFontSizeStayInBoundsAndAreKept) {
    struct Case {
        int width;
        int widened;
        int shrunk;
    };
    const Case cases[] = {{64, 77, 51}, {19, 23, 15}, {18, 22, 18}, {15, 18, 15}, {100, 120, 80}};
    for (const Case& c : cases) {
        EXPECT_EQ(TfrmODBCData::WidenedWidth(c.width), c.widened) << c.width;
        EXPECT_EQ(TfrmODBCData::ShrunkWidth(c.width), c.shrunk) << c.width;
    }
    m_ini->WriteInteger("DataGridSettings", "Column1", 19);
    m_ini->WriteInteger("DataGridSettings", "FontSize", 47);
    {
        auto viewer = OpenViewer();
        QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
        // A minimum section size the style derived from a 40-pixel font would be
        // far wider than the narrowest column the rules give, whatever font this
        // machine renders it with; the rules must hold all the same.
        QFont large = grid->horizontalHeader()->font();
        large.setPixelSize(40);
        grid->horizontalHeader()->setFont(large);
        EXPECT_LE(grid->horizontalHeader()->minimumSectionSize(), TfrmODBCData::ShrunkWidth(15));
        EXPECT_EQ(grid->horizontalHeader()->sectionSize(0), 64);
        Child<QAction>(*viewer, "widencols")->trigger();
        EXPECT_EQ(grid->horizontalHeader()->sectionSize(0), 77);
        Child<QAction>(*viewer, "shrinkcols")->trigger();
        EXPECT_EQ(grid->horizontalHeader()->sectionSize(1), 18);
        Child<QAction>(*viewer, "shrinkcols")->trigger();
        EXPECT_EQ(grid->horizontalHeader()->sectionSize(1), 18);
        for (int i = 0; i < 3; ++i)
            Child<QAction>(*viewer, "actEnlarge")->trigger();
        EXPECT_EQ(grid->font().pointSize(), 48);
        EXPECT_EQ(grid->horizontalHeader()->font().pointSize(), 48);
        for (int i = 0; i < 50; ++i)
            Child<QAction>(*viewer, "actShrink")->trigger();
        EXPECT_EQ(grid->font().pointSize(), 2);
        viewer->close();
    }
    EXPECT_EQ(m_ini->ReadInteger("DataGridSettings", "FontSize", 0), 2);
    EXPECT_EQ(m_ini->ReadInteger("DataGridSettings", "Column0", 0), 50);
    EXPECT_EQ(m_ini->ReadInteger("DataGridSettings", "Column1", 0), 18);
    auto again = OpenViewer();
    EXPECT_EQ(Child<QTableView>(*again, "grdTableData")->horizontalHeader()->sectionSize(0), 50);
    EXPECT_EQ(Child<QTableView>(*again, "grdTableData")->font().pointSize(), 2);
}

TEST_P(DataViewerTest, PromptedFilterIsAppliedStoredPerSessionAndRemoved) {
    Exec({"UPDATE Stock SET Descr = 'O''Hara' WHERE ItemNo = 'I007'"});
    WriteSession(5, "Five");
    auto viewer = OpenViewer();
    AnswerPrompt(QStringLiteral("Descr"), QStringLiteral("="), QStringLiteral("O'Hara"));
    Child<QAction>(*viewer, "actFilter")->trigger();
    Settle();
    EXPECT_EQ(viewer->CurrentFilter(), QStringLiteral("[Descr] ='O''Hara'"));
    EXPECT_TRUE(Child<QAction>(*viewer, "actFilter")->isChecked());
    EXPECT_TRUE(Child<QWidget>(*viewer, "pnlFilterStatus")->isVisible());
    EXPECT_EQ(RowCount(*viewer), 1);
    EXPECT_EQ(Cell(*viewer, 0, 0), QStringLiteral("I007"));
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel2")->text(),
              QStringLiteral("Row Count: 1 -- [Filter On: [Descr] ='O''Hara']"));
    EXPECT_EQ(m_ini->ReadString("DataViewFilter", "Recent0", ""), "[Descr] ='O''Hara'");

    // Switching stores the filter under the old session's number.
    Child<QComboBox>(*viewer, "cmbSessions")->setCurrentIndex(1);
    emit Child<QComboBox>(*viewer, "cmbSessions")->activated(1);
    Settle();
    EXPECT_EQ(m_ini->ReadString("DataGridSettings", "Filter2", ""), "[Descr] ='O''Hara'");
    EXPECT_EQ(viewer->CurrentSession(), 5);
    EXPECT_EQ(RowCount(*viewer), 12);
    EXPECT_FALSE(Child<QAction>(*viewer, "actFilter")->isChecked());
    Child<QComboBox>(*viewer, "cmbSessions")->setCurrentIndex(0);
    emit Child<QComboBox>(*viewer, "cmbSessions")->activated(0);
    Settle();
    EXPECT_EQ(RowCount(*viewer), 1);

    // A filter the table refuses is shown in the error pane; nothing changes.
    AnswerPrompt(QStringLiteral("Descr"), QStringLiteral("(none)"), QStringLiteral("1"));
    Child<QPushButton>(*viewer, "btnEditFilter")->click();
    Settle();
    EXPECT_TRUE(ErrorPane(*viewer).startsWith(QStringLiteral("EDatabaseError: Invalid filter")));
    EXPECT_EQ(RowCount(*viewer), 1);

    Child<QPushButton>(*viewer, "btnRemoveFilter")->click();
    Settle();

    EXPECT_EQ(RowCount(*viewer), 12);
    EXPECT_FALSE(Child<QWidget>(*viewer, "pnlFilterStatus")->isVisible());
    EXPECT_EQ(m_ini->ReadString("DataGridSettings", "Filter2", "?"), "");

    AnswerPrompt(QString(), QString(), QString());
    Child<QAction>(*viewer, "actFilter")->trigger();
    Settle();
    EXPECT_FALSE(Child<QAction>(*viewer, "actFilter")->isChecked());
    EXPECT_EQ(RowCount(*viewer), 12);
}

TEST_P(DataViewerTest, AStoredFilterTheTableNoLongerTakesIsClearedWithItsError) {
    m_ini->WriteString("DataGridSettings", "Filter2", "[Gone] ='1'");
    auto viewer = OpenViewer();
    const QString error = ErrorPane(*viewer);
    EXPECT_TRUE(error.startsWith(QStringLiteral("EDatabaseError: "))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("Gone"))) << error.toStdString();
    EXPECT_EQ(m_ini->ReadString("DataGridSettings", "Filter2", "?"), "");
    EXPECT_FALSE(Child<QWidget>(*viewer, "pnlFilterStatus")->isVisible());
    EXPECT_EQ(RowCount(*viewer), 12);
    Child<QAction>(*viewer, "actRefresh")->trigger();
    EXPECT_EQ(RowCount(*viewer), 12);
}

// Another program holds the table: on SQLite the file's exclusive lock, on
// PostgreSQL an exclusive lock on the table, each in an open transaction.
class TableLock {
public:
    explicit TableLock(TestDriver driver) : m_connection(OdbcTestEnv::DsnName(driver)) {
        if (driver == TestDriver::SQLite) {
            m_connection.Exec("BEGIN EXCLUSIVE");
        } else {
            m_connection.SetAutocommit(false);
            m_connection.Exec("LOCK TABLE Stock IN ACCESS EXCLUSIVE MODE");
        }
        m_driver = driver;
    }
    ~TableLock() { Release(); }
    void Release() {
        if (std::exchange(m_held, false)) {
            if (m_driver == TestDriver::SQLite)
                m_connection.Exec("ROLLBACK");
            else
                m_connection.Rollback();
        }
    }

private:
    OdbcTestConnection m_connection;
    TestDriver m_driver = TestDriver::SQLite;
    bool m_held = true;
};

TEST_P(DataViewerTest, ARefreshOnALockedTableKeepsTheWindowLiveShowsItIsBusyAndCanBeCancelled) {
    auto viewer = OpenViewer();
    ASSERT_EQ(Cell(*viewer, 0, 0), QStringLiteral("I001"));
    QWidget* busy = Child<QWidget>(*viewer, "pnlBusy");
    EXPECT_FALSE(busy->isVisible());
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);

    TableLock lock(GetParam());
    Child<QAction>(*viewer, "actRefresh")->trigger();
    EXPECT_TRUE(viewer->IsBusy());
    // The GUI thread goes on while the database waits for the lock.
    ASSERT_TRUE(PumpUntil([&] { return busy->isVisible(); }, 4000));
    EXPECT_TRUE(viewer->IsBusy());
    // A blocked GUI thread would not serve its timer at all; a slow one (a
    // checked build) serves it late.
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 3000));
    EXPECT_EQ(Child<QLabel>(*viewer, "lblBusy")->text(), QStringLiteral("Loading..."));
    EXPECT_EQ(viewer->cursor().shape(), Qt::BusyCursor);
    // The view stays usable meanwhile: the rows read are still there.
    EXPECT_EQ(viewer->Model()->data(viewer->Model()->index(0, 0)).toString(), QStringLiteral("I001"));

    Child<QPushButton>(*viewer, "btnCancelWork")->click();
    EXPECT_FALSE(viewer->IsBusy());
    EXPECT_FALSE(busy->isVisible());
    EXPECT_NE(viewer->cursor().shape(), Qt::BusyCursor);
    EXPECT_TRUE(ErrorPane(*viewer).contains(QStringLiteral("cancelled"))) << ErrorPane(*viewer).toStdString();
    EXPECT_EQ(RowCount(*viewer), 12);

    lock.Release();
    Exec({"INSERT INTO Stock VALUES ('I100', 'after the lock', 100)"});
    Child<QAction>(*viewer, "actRefresh")->trigger();
    EXPECT_EQ(RowCount(*viewer), 13);
    EXPECT_EQ(Cell(*viewer, 12, 0), QStringLiteral("I100"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_P(DataViewerTest, AViewClosedWhileItsWorkRunsDropsTheResult) {
    TableLock lock(GetParam());
    // Opening waits for the lock (the count); the view goes meanwhile.
    auto viewer = std::make_unique<TfrmODBCData>();
    viewer->IniFile = m_ini.get();
    viewer->show();
    viewer->InitializeForm();
    EXPECT_TRUE(viewer->IsBusy());
    PumpFor(50);
    viewer.reset();
    lock.Release();
    PumpFor(300);
    // A view opened afterwards on the same table works as ever.
    auto again = OpenViewer();
    EXPECT_EQ(RowCount(*again), 12);
    EXPECT_EQ(Cell(*again, 11, 0), QStringLiteral("I012"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_P(DataViewerTest, RowsArriveInWindowsAndScrollingToTheEndReadsTheRest) {
    const int rows = 2 * TZel_TableModel::ChunkRows + 50;
    CreateStock(rows);
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    // The count is known at once; the grid shows the first rows as they come,
    // and only those in sight are read.
    EXPECT_EQ(RowCount(*viewer), rows);
    EXPECT_TRUE(PumpUntil([&] { return model.IsRowRead(0); }));
    Settle();
    EXPECT_FALSE(model.IsRowRead(rows - 1));
    EXPECT_FALSE(model.data(model.index(rows - 1, 0)).isValid());

    grid->scrollToBottom();
    // The grid paints the last rows blank, asks for them, and shows them when they come.
    EXPECT_TRUE(PumpUntil([&] { return model.IsRowRead(rows - 1); }));
    char last[16];
    std::snprintf(last, sizeof last, "I%03d", rows);
    EXPECT_EQ(model.data(model.index(rows - 1, 0)).toString(), QString::fromLatin1(last));
    EXPECT_EQ(Child<QLabel>(*viewer, "StatusPanel2")->text(), QStringLiteral("Row Count: %1").arg(rows));
}

TEST_P(DataViewerTest, LeavingTheViewWhileItWritesAsksToWaitOrCancelAndAReadIsDropped) {
    const std::string question = "The data viewer is still waiting for the database.\n\n"
                                 "Wait for it (Yes) or cancel it (No)?";
    for (const QMessageBox::StandardButton answer : {QMessageBox::Yes, QMessageBox::No}) {
        SCOPED_TRACE(answer == QMessageBox::Yes ? "wait" : "cancel");
        auto viewer = OpenViewer();
        TZel_TableModel& model = *viewer->Model();
        m_boxes.clear();
        m_answer = answer;
        // A change posted while the table is held: its write waits for the lock.
        auto lock = std::make_unique<TableLock>(GetParam());
        model.setData(model.index(0, 1), QStringLiteral("kept"));
        Child<QAction>(*viewer, "actPost")->trigger();
        ASSERT_TRUE(viewer->IsBusy());
        QTimer::singleShot(300, [&] { lock.reset(); });
        viewer->close();
        EXPECT_EQ(m_boxes, (std::vector<std::string>{question}));
        EXPECT_FALSE(viewer->IsBusy());
        PumpUntil([&] { return !lock; });
        if (answer == QMessageBox::Yes) {
            EXPECT_EQ(model.State(), TZel_TableModel::Browse);
            EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo = 'I001'")[0][0], "kept");
        } else {
            // The change was not written, or not known to be: the row keeps it.
            EXPECT_EQ(model.State(), TZel_TableModel::Editing);
            EXPECT_EQ(model.data(model.index(0, 1)).toString(), QStringLiteral("kept"));
        }
        Exec({"UPDATE Stock SET Descr = 'Item 1' WHERE ItemNo = 'I001'"});
    }
    // Only reading (a refresh): nothing to lose, so it is dropped without a question.
    auto viewer = OpenViewer();
    m_boxes.clear();
    TableLock lock(GetParam());
    Child<QAction>(*viewer, "actRefresh")->trigger();
    ASSERT_TRUE(viewer->IsBusy());
    viewer->close();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(viewer->IsBusy());
}

// Types text into a cell through its editor, as the operator does, and
// leaves the editor with key (Return posts the row, Escape drops the text).
void TypeIntoCell(TfrmODBCData& viewer, int row, int column, const QString& text,
                  Qt::Key key = Qt::Key_Return) {
    auto* grid = viewer.findChild<QTableView*>(QStringLiteral("grdTableData"));
    const QModelIndex cell = viewer.Model()->index(row, column);
    grid->setCurrentIndex(cell);
    grid->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(grid->isAncestorOf(editor));
    editor->setText(text);
    QTest::keyClick(editor, key);
    PumpFor(20); // the editor hands its text over once the key is handled
    Settle();
}

TEST_P(DataViewerTest, ARefusedValueStaysMarkedInItsCellAndThePostWaitsUntilItIsPutRight) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    QLabel* count = Child<QLabel>(*viewer, "StatusPanel2");
    auto marked = [&](int row, int column) {
        return model.data(model.index(row, column), Qt::BackgroundRole).isValid() &&
               model.data(model.index(row, column), Qt::ToolTipRole)
                   .toString()
                   .contains(QStringLiteral("Invalid"));
    };
    grid->setFocus();
    grid->setCurrentIndex(model.index(0, 0));
    Child<QAction>(*viewer, "actInsert")->trigger();
    ASSERT_EQ(model.State(), TZel_TableModel::Inserting);
    model.setData(model.index(0, 0), QStringLiteral("N01"));
    TypeIntoCell(*viewer, 0, 2, QStringLiteral("abc"));
    // (PostgreSQL names the column in lower case)
    EXPECT_TRUE(ErrorPane(*viewer).contains(QStringLiteral("Invalid value [abc] for field [Qty]"),
                                            Qt::CaseInsensitive));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'N01'")[0][0], "0");
    EXPECT_EQ(model.State(), TZel_TableModel::Inserting);
    EXPECT_EQ(Cell(*viewer, 0, 2), QStringLiteral("abc"));
    EXPECT_TRUE(marked(0, 2));
    // Leaving the row neither posts it: the operator is taken back to the cell.
    grid->setCurrentIndex(model.index(5, 1));
    PumpFor(20);
    Settle();
    EXPECT_EQ(grid->currentIndex(), model.index(0, 2));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock WHERE ItemNo = 'N01'")[0][0], "0");

    TypeIntoCell(*viewer, 0, 2, QStringLiteral("5"));
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'N01'"), (Rows{{"5"}}));
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_FALSE(marked(0, 2));
    EXPECT_EQ(count->text(), QStringLiteral("Row Count: 13"));
    grid->setCurrentIndex(model.index(0, 0));
    Child<QAction>(*viewer, "actDelete")->trigger();
    Settle();
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "12");
    EXPECT_EQ(count->text(), QStringLiteral("Row Count: 12"));

    // An edit of a row already written: refused, then put right.
    TypeIntoCell(*viewer, 4, 2, QStringLiteral("x1"));
    EXPECT_TRUE(ErrorPane(*viewer).contains(QStringLiteral("Invalid value [x1] for field [Qty]"),
                                            Qt::CaseInsensitive));
    EXPECT_EQ(model.State(), TZel_TableModel::Editing);
    EXPECT_EQ(Cell(*viewer, 4, 2), QStringLiteral("x1"));
    EXPECT_TRUE(marked(4, 2));
    Child<QAction>(*viewer, "actPost")->trigger();
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'I005'"), (Rows{{"5"}}));
    // Nor does a filter read other rows over it.
    bool prompted = false;
    QTimer::singleShot(0, [&] {
        if (auto* prompt = qobject_cast<TfrmFilterPrompt*>(QApplication::activeModalWidget())) {
            prompted = true;
            prompt->reject();
        }
    });
    Child<QAction>(*viewer, "actFilter")->trigger();
    PumpFor(20);
    EXPECT_FALSE(prompted);
    EXPECT_FALSE(Child<QAction>(*viewer, "actFilter")->isChecked());
    EXPECT_EQ(Cell(*viewer, 4, 2), QStringLiteral("x1"));
    TypeIntoCell(*viewer, 4, 2, QStringLiteral("7"));
    EXPECT_EQ(Query("SELECT Qty FROM Stock WHERE ItemNo = 'I005'"), (Rows{{"7"}}));
    EXPECT_EQ(count->text(), QStringLiteral("Row Count: 12"));

    // Escape in the cell's editor gives the refused text up; Escape on the grid the edit.
    TypeIntoCell(*viewer, 5, 2, QStringLiteral("y"));
    TypeIntoCell(*viewer, 5, 2, QStringLiteral("ignored"), Qt::Key_Escape);
    EXPECT_EQ(Cell(*viewer, 5, 2), QStringLiteral("6"));
    EXPECT_EQ(model.State(), TZel_TableModel::Editing);
    TypeIntoCell(*viewer, 5, 2, QStringLiteral("z"));
    QTest::keyClick(grid, Qt::Key_Escape);
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_EQ(Cell(*viewer, 5, 2), QStringLiteral("6"));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Stock")[0][0], "12");
}

TEST_P(DataViewerTest, NoOtherRowIsStartedWhileThePendingOneIsOnItsWay) {
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(Cell(*viewer, 5, 1), QStringLiteral("Item 6"));
    model.InsertRowAt(0);
    model.setData(model.index(0, 0), QStringLiteral("N01"));
    model.setData(model.index(0, 1), QStringLiteral("first"));
    // Ins and an edit of another row at once, before the database has answered.
    model.InsertRowAt(2);
    model.setData(model.index(6, 1), QStringLiteral("other"));
    Settle();
    EXPECT_EQ(model.State(), TZel_TableModel::Browse);
    EXPECT_EQ(RowCount(*viewer), 13);
    EXPECT_EQ(Cell(*viewer, 0, 1), QStringLiteral("first"));
    EXPECT_EQ(Query("SELECT Descr FROM Stock WHERE ItemNo IN ('N01', 'I006') ORDER BY ItemNo"),
              (Rows{{"Item 6"}, {"first"}}));
}

TEST_P(DataViewerTest, RowsAreNumberedWithTheEditAndInsertMarksInAHeaderWideEnoughForThem) {
    CreateStock(400);
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    QHeaderView* rows = grid->verticalHeader();
    auto header = [&](int row) { return model.headerData(row, Qt::Vertical).toString(); };
    auto fits = [&](const QString& text) {
        return rows->width() > QFontMetrics(rows->font()).horizontalAdvance(text);
    };
    EXPECT_EQ(header(0), QStringLiteral("1"));
    EXPECT_EQ(header(399), QStringLiteral("400"));
    EXPECT_TRUE(fits(QStringLiteral("400")));

    ASSERT_EQ(Cell(*viewer, 398, 1), QStringLiteral("Item 399"));
    model.setData(model.index(398, 1), QStringLiteral("edited"));
    EXPECT_EQ(header(398), QStringLiteral("I 399"));
    EXPECT_TRUE(fits(header(398)));
    Child<QAction>(*viewer, "actPost")->trigger();
    Settle();
    EXPECT_EQ(header(398), QStringLiteral("399"));

    grid->setCurrentIndex(model.index(2, 0));
    Child<QAction>(*viewer, "actInsert")->trigger();
    EXPECT_EQ(header(1), QStringLiteral("2"));
    EXPECT_EQ(header(2), QStringLiteral("*"));
    EXPECT_EQ(header(3), QStringLiteral("3"));
    EXPECT_EQ(header(400), QStringLiteral("400"));
    QTest::keyClick(grid, Qt::Key_Escape);
    EXPECT_EQ(header(2), QStringLiteral("3"));
}

TEST_P(DataViewerTest, AFilterStartsTheGridAtItsFirstRowAndKeepsTheColumnWidths) {
    CreateStock(400);
    auto viewer = OpenViewer();
    TZel_TableModel& model = *viewer->Model();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    grid->horizontalHeader()->resizeSection(1, 150);
    grid->setCurrentIndex(model.index(300, 1));
    grid->scrollTo(model.index(300, 1), QAbstractItemView::PositionAtTop);
    ASSERT_GT(grid->verticalScrollBar()->value(), 100);

    // Ctrl+F prompts for a filter; with one on, for another.
    grid->setFocus();
    AnswerPrompt(QStringLiteral("Qty"), QStringLiteral(">"), QStringLiteral("5"));
    QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(viewer->CurrentFilter(), QStringLiteral("[Qty] >'5'"));
    EXPECT_EQ(RowCount(*viewer), 395);
    EXPECT_EQ(grid->verticalScrollBar()->value(), 0);
    EXPECT_EQ(grid->currentIndex().row(), 0);
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(1), 150);

    grid->setCurrentIndex(model.index(300, 1));
    grid->scrollTo(model.index(300, 1), QAbstractItemView::PositionAtTop);
    viewer->activateWindow(); // back from the prompt
    ASSERT_TRUE(QTest::qWaitForWindowActive(viewer.get()));
    grid->setFocus();
    AnswerPrompt(QStringLiteral("Qty"), QStringLiteral(">"), QStringLiteral("9"));
    QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
    Settle();
    EXPECT_EQ(viewer->CurrentFilter(), QStringLiteral("[Qty] >'9'"));
    EXPECT_EQ(grid->verticalScrollBar()->value(), 0);
    EXPECT_EQ(grid->currentIndex().row(), 0);
    EXPECT_EQ(grid->horizontalHeader()->sectionSize(1), 150);

    // Assistive technology toggles the tool button itself: the same as a click.
    auto* button = qobject_cast<QAbstractButton*>(
        Child<QToolBar>(*viewer, "ActionToolBar1")->widgetForAction(Child<QAction>(*viewer, "actFilter")));
    ASSERT_NE(button, nullptr);
    button->toggle();
    Settle();
    EXPECT_EQ(viewer->CurrentFilter(), QString());
    EXPECT_FALSE(button->isChecked());
    EXPECT_EQ(RowCount(*viewer), 400);
    AnswerPrompt(QStringLiteral("Qty"), QStringLiteral("<"), QStringLiteral("3"));
    button->toggle();
    Settle();
    EXPECT_EQ(viewer->CurrentFilter(), QStringLiteral("[Qty] <'3'"));
    EXPECT_TRUE(button->isChecked());
    EXPECT_EQ(RowCount(*viewer), 2);
    viewer->close();
    EXPECT_EQ(m_ini->ReadInteger("DataGridSettings", "Column1", 0), 150);
}

TEST_P(DataViewerTest, ADoubleClickOnAColumnBorderFitsTheColumnToItsContents) {
    auto viewer = OpenViewer();
    QTableView* grid = Child<QTableView>(*viewer, "grdTableData");
    QHeaderView* columns = grid->horizontalHeader();
    columns->resizeSection(1, 20);
    const int border = columns->sectionViewportPosition(1) + columns->sectionSize(1) - 1;
    QTest::mouseDClick(columns->viewport(), Qt::LeftButton, {}, QPoint(border, columns->height() / 2));
    EXPECT_GT(columns->sectionSize(1),
              QFontMetrics(grid->font()).horizontalAdvance(QStringLiteral("Item 12")));
}

INSTANTIATE_TEST_SUITE_P(Drivers, DataViewerTest,
                         ::testing::Values(TestDriver::SQLite, TestDriver::PostgreSQL),
                         [](const auto& info) { return TestDriverName(info.param); });

} // namespace

// The view as the main window shows it, in the frame of its view.
class DataViewerFrameTest : public MainWindowFixture {};

TEST_F(DataViewerFrameTest, ASecondSwitchWhileLeavingAWaitingViewerIsIgnoredAndTheFirstCompletes) {
    OdbcTestEnv::Get().Prepare(TestDriver::SQLite);
    CreateStockTable(TestDriver::SQLite);
    AppendToConfig(StockSession(1, "Stock count", OdbcTestEnv::DsnName(TestDriver::SQLite)));
    ShowWindow();
    Trigger("actData");
    auto* viewer = qobject_cast<TfrmODBCData*>(Window->CurrentViewWindow());
    ASSERT_NE(viewer, nullptr);
    TZel_TableModel& model = *viewer->Model();
    ASSERT_TRUE(PumpUntil([&] { return !viewer->IsBusy() && model.rowCount() == 1 && model.IsRowRead(0); }));
    // A change posted while another program holds the table: its write waits.
    auto lock = std::make_unique<TableLock>(TestDriver::SQLite);
    model.setData(model.index(0, 1), QStringLiteral("kept"));
    viewer->findChild<QAction*>(QStringLiteral("actPost"))->trigger();
    ASSERT_TRUE(viewer->IsBusy());
    // The operator waits for the viewer, picks another view meanwhile (the
    // window stays live), and then the table is free. The second pick must
    // not free the viewer under the first one's close.
    Answers.push_back(QMessageBox::Yes);
    QTimer::singleShot(200, [&] { Trigger("actDevices"); });
    QTimer::singleShot(400, [&] { lock.reset(); });
    Trigger("actAppSettings");
    EXPECT_EQ(Window->CurrentView(), TfrmMainContainer::vwAppSettings);
    EXPECT_EQ(Boxes.size(), 1u);
    PumpFor(100);
    EXPECT_TRUE(Action("actAppSettings")->isChecked());
    EXPECT_FALSE(Action("actDevices")->isChecked());
    EXPECT_FALSE(Action("actData")->isChecked());
}

TEST_F(DataViewerFrameTest, TheViewFitsItsFrameAtAnyWindowSizeAndReportsItselfShowing) {
    ShowWindow();
    Trigger("actData");
    auto* viewer = qobject_cast<TfrmODBCData*>(Window->CurrentViewWindow());
    ASSERT_NE(viewer, nullptr);
    auto* frame = qobject_cast<QMdiSubWindow*>(viewer->parentWidget());
    ASSERT_NE(frame, nullptr);
    // The smallest the window gets, and a 1024 x 768 screen.
    for (const QSize size : {QSize(1, 1), QSize(1024, 768)}) {
        Window->resize(size);
        PumpFor(50);
        SCOPED_TRACE(
            QStringLiteral("window %1 x %2").arg(Window->width()).arg(Window->height()).toStdString());
        EXPECT_TRUE(frame->parentWidget()->contentsRect().contains(frame->geometry()));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(frame);
        ASSERT_NE(accessible, nullptr);
        EXPECT_FALSE(accessible->state().offscreen);
        EXPECT_FALSE(accessible->state().invisible);
        EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Data Viewer"));
        // Each control is in sight, or in contents that scroll and are not cut off.
        for (QWidget* control : viewer->findChildren<QWidget*>()) {
            const bool input = qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control) ||
                               qobject_cast<QLineEdit*>(control) ||
                               qobject_cast<QAbstractItemView*>(control) ||
                               qobject_cast<QPlainTextEdit*>(control);
            if (!input || !control->isVisible() || qobject_cast<QAbstractItemView*>(control->parentWidget()))
                continue;
            QWidget* room = frame;
            for (QWidget* up = control->parentWidget(); up != viewer; up = up->parentWidget()) {
                auto* area = qobject_cast<QScrollArea*>(up);
                if (area && area->widget() && area->widget()->isAncestorOf(control)) {
                    room = area->widget();
                    EXPECT_GE(room->width(), room->minimumSizeHint().width());
                    EXPECT_GE(room->height(), room->minimumSizeHint().height());
                    break;
                }
            }
            const QRect at(control->mapTo(room, QPoint(0, 0)), control->size());
            EXPECT_TRUE(room->rect().contains(at)) << control->objectName().toStdString();
        }
        auto* bar = viewer->findChild<QToolBar*>(QStringLiteral("ActionToolBar1"));
        for (QAction* action : bar->actions()) {
            if (!action->isSeparator()) {
                EXPECT_TRUE(bar->widgetForAction(action)->isVisible()) << action->text().toStdString();
            }
        }
    }
}

// What a screen reader says for each input, and where each label's mnemonic leads.
TEST(DataViewerAccessibilityTest, EveryInputIsNamedAndEveryLabelLeadsToItsInput) {
    TfrmODBCData viewer;
    TfrmFilterPrompt prompt;
    for (QWidget* form : {static_cast<QWidget*>(&viewer), static_cast<QWidget*>(&prompt)}) {
        for (QWidget* widget : form->findChildren<QWidget*>()) {
            // A combo box's own editor and list, and an item view's parts, speak through their owner.
            bool part = false;
            for (QWidget* up = widget->parentWidget(); up && up != form; up = up->parentWidget())
                part = part || qobject_cast<QComboBox*>(up) || qobject_cast<QAbstractItemView*>(up);
            const bool input = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
                               qobject_cast<QLineEdit*>(widget) || qobject_cast<QAbstractItemView*>(widget) ||
                               qobject_cast<QPlainTextEdit*>(widget);
            if (input && !part) {
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
                ASSERT_NE(accessible, nullptr);
                EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
                    << form->objectName().toStdString() << "/" << widget->objectName().toStdString();
            }
        }
    }
    struct Label {
        QWidget* form;
        const char* label;
        const char* input;
        bool mnemonic;
    };
    for (const Label& c :
         {Label{&viewer, "Label2", "cmbSessions", true}, Label{&viewer, "Label1", "txtFilterString", false},
          Label{&prompt, "Label2", "cmbCurrentFilter", true}, Label{&prompt, "Label3", "cmbPCFields", true},
          Label{&prompt, "Label1", "txtValue", true}}) {
        auto* label = c.form->findChild<QLabel*>(QString::fromLatin1(c.label));
        ASSERT_NE(label, nullptr) << c.label;
        EXPECT_EQ(label->buddy(), c.form->findChild<QWidget*>(QString::fromLatin1(c.input))) << c.label;
        EXPECT_EQ(label->text().contains(QLatin1Char('&')), c.mnemonic) << c.label;
    }
}
