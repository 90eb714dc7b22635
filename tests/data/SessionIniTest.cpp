#include "base/Exception.h"
#include "base/IniFile.h"
#include "data/Zel_ODBCSession.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace {

class SessionIniTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_fileName = m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString();
        m_ini = std::make_unique<TIniFile>(m_fileName);
        m_session.IniFile = m_ini.get();
    }
    void WriteFile(const std::string& content) { std::ofstream(m_fileName) << content; }
    std::string ReadFailure() {
        try {
            m_session.ReadINISettings();
        } catch (const Exception& e) {
            return e.what();
        }
        return "no failure";
    }

    QTemporaryDir m_dir;
    std::string m_fileName;
    std::unique_ptr<TIniFile> m_ini;
    TZel_ODBCSession m_session;
};

TEST_F(SessionIniTest, MissingSectionReadsAsDisabledSessionWithDefaults) {
    WriteFile("[Session01]\nSessionName=Other\n");
    m_session.SessionNumber = 5;
    m_session.ReadINISettings();
    EXPECT_EQ(m_session.SessionName, "Session05");
    EXPECT_FALSE(m_session.Enabled);
    EXPECT_FALSE(m_session.IsEnabled());
    EXPECT_EQ(m_session.DSN, "");
    EXPECT_EQ(m_session.UpdateType, utAppendToExisting);
    EXPECT_EQ(m_session.FilterToDevice.Type, fltNone);
    EXPECT_EQ(m_session.IndexFieldCount, 0);
    for (const auto& name : m_session.FieldNames)
        EXPECT_EQ(name, "");
}

TEST_F(SessionIniTest, ReadsEveryKeyOfTheSection) {
    WriteFile("[Session02]\nSessionName=Stock count\nEnabled=1\nDSN=Warehouse\nTablename=Stock\nUsername=u\n"
              "Password=p\nKeyFieldName=ItemNo\nField01=ItemNo\nField02=Descr\nField30=Last\nUpdateType=3\n"
              "DeleteAfterTransfer=1\nIndexFieldCount=2\nIndex00=A\nIndex01=B\nIndex02=Stale\n"
              "FilterToDevice_Type=1\nFilterToDevice_Field=Qty\nFilterToDevice_Operator=>=\n"
              "FilterToDevice_Value=5\nFilterFromDevice_Type=2\nFilterFromDevice_Field=Field03\n"
              "FilterFromDevice_Operator=NOT\nFilterFromDevice_Value=x\n");
    m_session.SessionNumber = 2;
    m_session.ReadINISettings();
    EXPECT_EQ(m_session.SessionName, "Stock count");
    EXPECT_TRUE(m_session.Enabled);
    EXPECT_EQ(m_session.DSN, "Warehouse");
    EXPECT_EQ(m_session.Tablename, "Stock");
    EXPECT_EQ(m_session.Username, "u");
    EXPECT_EQ(m_session.Password, "p");
    EXPECT_EQ(m_session.FieldNames[0], "ItemNo");
    EXPECT_EQ(m_session.FieldNames[1], "ItemNo");
    EXPECT_EQ(m_session.FieldNames[2], "Descr");
    EXPECT_EQ(m_session.FieldNames[3], "");
    EXPECT_EQ(m_session.FieldNames[30], "Last");
    EXPECT_EQ(m_session.UpdateType, utUpdateExistingAppendIfNotFound);
    EXPECT_TRUE(m_session.DeleteAfterTransfer);
    ASSERT_EQ(m_session.IndexFieldCount, 2);
    EXPECT_EQ(m_session.IndexFieldNames[0], "A");
    EXPECT_EQ(m_session.IndexFieldNames[1], "B");
    EXPECT_EQ(m_session.IndexFieldNames[2], "");
    EXPECT_EQ(m_session.FilterToDevice.Type, fltStatic);
    EXPECT_EQ(m_session.FilterToDevice.Operator, ">=");
    EXPECT_EQ(m_session.FilterFromDevice.Type, fltPrompt);
    EXPECT_EQ(m_session.FilterFromDevice.Field, "Field03");
}

TEST_F(SessionIniTest, EmptySessionNameStaysEmptyAndSessionHundredReadsItsSection) {
    WriteFile("[Session100]\nSessionName=\nEnabled=0x1\n");
    m_session.SessionNumber = 100;
    m_session.ReadINISettings();
    EXPECT_EQ(m_session.SessionName, "");
    EXPECT_TRUE(m_session.Enabled);
}

TEST_F(SessionIniTest, EnabledReadsAsInteger) {
    struct Case {
        const char* value;
        bool enabled;
    } cases[] = {{"1", true}, {"2", true}, {"0x1", true}, {"0", false}, {"yes", false}, {"", false}};
    m_session.SessionNumber = 1;
    for (const Case& c : cases) {
        WriteFile(std::string("[Session01]\nEnabled=") + c.value + "\n");
        m_session.ReadINISettings();
        EXPECT_EQ(m_session.Enabled, c.enabled) << c.value;
    }
}

TEST_F(SessionIniTest, OutOfRangeTypesFailTheReadAndDisableTheSession) {
    struct Case {
        const char* lines;
        const char* message;
    } cases[] = {
        {"UpdateType=7\n", "Failed reading .ini file in section [Session03]: Invalid Update type during set"},
        {"UpdateType=-1\n",
         "Failed reading .ini file in section [Session03]: Invalid Update type during set"},
        {"FilterToDevice_Type=3\n",
         "Failed reading .ini file in section [Session03]: Invalid Filter type during set. Setting to NONE."},
        {"FilterFromDevice_Type=9\n",
         "Failed reading .ini file in section [Session03]: Invalid Filter type during set. Setting to NONE."},
    };
    m_session.SessionNumber = 3;
    for (const Case& c : cases) {
        WriteFile(std::string("[Session03]\nEnabled=1\nDSN=Before\nField01=Col\n") + c.lines);
        m_session.FieldNames[1] = "Old";
        m_session.FilterToDevice.Type = fltPrompt;
        EXPECT_EQ(ReadFailure(), c.message);
        EXPECT_FALSE(m_session.Enabled);
        EXPECT_EQ(m_session.DSN, "Before");        // read before the failure
        EXPECT_EQ(m_session.FieldNames[1], "Old"); // after it: unchanged
    }
    EXPECT_EQ(m_session.FilterFromDevice.Type, fltNone);
}

TEST_F(SessionIniTest, ReadWithoutIniFileChangesNothing) {
    TZel_ODBCSession session;
    session.DSN = "Keep";
    try {
        session.ReadINISettings();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "TZelODBCSession.ReadINISettings: No IniFile handler assigned, cannot continue");
    }
    EXPECT_EQ(session.DSN, "Keep");
}

TEST_F(SessionIniTest, IsEnabledRereadsOnlyWhileDisabled) {
    WriteFile("[Session04]\nEnabled=1\n");
    m_session.SessionNumber = 4;
    EXPECT_TRUE(m_session.IsEnabled()); // before ReadINISettings
    WriteFile("[Session04]\nEnabled=0\n");
    EXPECT_TRUE(m_session.IsEnabled()); // already true: not re-read
}

TEST_F(SessionIniTest, SettersKeepOrResetOnBadValues) {
    m_session.SetUpdateType(2);
    EXPECT_THROW(m_session.SetUpdateType(4), Exception);
    EXPECT_EQ(m_session.UpdateType, utUpdateExisting);
    m_session.SetFilterToDeviceType(2);
    EXPECT_THROW(m_session.SetFilterToDeviceType(-1), Exception);
    EXPECT_EQ(m_session.FilterToDevice.Type, fltNone);
}

TEST_F(SessionIniTest, IndexFieldsBeyondThirtyAreNotRead) {
    std::string content = "[Session06]\nIndexFieldCount=40\n";
    for (int i = 0; i < 40; ++i)
        content +=
            "Index" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "=I" + std::to_string(i) + "\n";
    WriteFile(content);
    m_session.SessionNumber = 6;
    m_session.ReadINISettings();
    EXPECT_EQ(m_session.IndexFieldCount, 30);
    EXPECT_EQ(m_session.IndexFieldNames[29], "I29");
}

} // namespace
