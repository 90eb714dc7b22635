#include "data/SessionDefinition.h"
#include "base/IniFile.h"
#include "data/Zel_ODBCSession.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

#include "support/Files.h"

namespace {

class SessionDefinitionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    // Key names of a section, in file order.
    std::vector<std::string> KeysOf(const std::string& section) const { return m_ini.ReadSection(section); }

    QTemporaryDir m_dir;
    std::string m_fileName = m_dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString();
    TIniFile m_ini{m_fileName};
};

std::vector<std::string> ExpectedKeyOrder(int fields, int indexFields) {
    std::vector<std::string> keys = {"SessionName", "Enabled",  "DSN",         "Tablename",
                                     "Username",    "Password", "KeyFieldName"};
    char name[16];
    for (int n = 1; n <= fields; ++n) {
        std::snprintf(name, sizeof name, "Field%.2d", n);
        keys.push_back(name);
    }
    keys.insert(keys.end(), {"UpdateType", "DeleteAfterTransfer", "IndexFieldCount"});
    for (int j = 0; j < indexFields; ++j) {
        std::snprintf(name, sizeof name, "Index%.2d", j);
        keys.push_back(name);
    }
    keys.insert(keys.end(), {"FilterToDevice_Type", "FilterToDevice_Field", "FilterToDevice_Operator",
                             "FilterToDevice_Value", "FilterFromDevice_Type", "FilterFromDevice_Field",
                             "FilterFromDevice_Operator", "FilterFromDevice_Value"});
    return keys;
}

TEST_F(SessionDefinitionTest, WriteGivesEveryKeyInOrderAndTheServerReadsItBack) {
    TSessionDefinition definition;
    definition.SessionName = "Stock count";
    definition.Enabled = true;
    definition.DSN = "Warehouse";
    definition.Tablename = "Stock";
    definition.KeyFieldName = "ItemNo";
    definition.FieldNames.assign(30, "");
    definition.FieldNames[0] = "ItemNo";
    definition.FieldNames[1] = "Descr";
    definition.FieldNames[29] = "Lot";
    definition.UpdateType = utUpdateExisting;
    definition.IndexFieldNames = {"ItemNo", "Lot"};
    definition.FilterToDevice = {fltStatic, "Qty", ">=", "5"};
    definition.Write(m_ini, 2);

    EXPECT_EQ(KeysOf("Session02"), ExpectedKeyOrder(30, 2));
    const std::string content = ReadAll(m_fileName);
    EXPECT_NE(content.find("Enabled=1\r\nDSN=Warehouse\r\n"), std::string::npos);
    EXPECT_NE(content.find("Username=\r\nPassword=\r\n"), std::string::npos) << "empty texts are written";
    EXPECT_NE(content.find("IndexFieldCount=2\r\nIndex00=ItemNo\r\nIndex01=Lot\r\n"), std::string::npos);

    TZel_ODBCSession session;
    session.IniFile = &m_ini;
    session.SessionNumber = 2;
    session.ReadINISettings();
    EXPECT_EQ(session.SessionName, "Stock count");
    EXPECT_TRUE(session.Enabled);
    EXPECT_EQ(session.FieldNames[0], "ItemNo");
    EXPECT_EQ(session.FieldNames[2], "Descr");
    EXPECT_EQ(session.FieldNames[30], "Lot");
    EXPECT_EQ(session.UpdateType, utUpdateExisting);
    ASSERT_EQ(session.IndexFieldCount, 2);
    EXPECT_EQ(session.IndexFieldNames[1], "Lot");
    EXPECT_EQ(session.FilterToDevice.Type, fltStatic);
    EXPECT_EQ(session.FilterToDevice.Value, "5");
}

TEST_F(SessionDefinitionTest, FewerIndexFieldsLeaveStaleKeysThatAreNotRead) {
    TSessionDefinition definition;
    definition.IndexFieldNames = {"A", "B", "C"};
    definition.Write(m_ini, 1);
    definition.IndexFieldNames = {"X"};
    definition.Write(m_ini, 1);
    EXPECT_EQ(m_ini.ReadString("Session01", "Index02", ""), "C");
    EXPECT_EQ(TSessionDefinition::ReadLenient(m_ini, 1, 30).IndexFieldNames, std::vector<std::string>{"X"});
}

TEST_F(SessionDefinitionTest, LenientReadRaisesNothingAndKeepsWhatItCan) {
    std::ofstream(m_fileName) << "[Session03]\nEnabled=1\nDSN=Warehouse\nKeyFieldName=ItemNo\nField01=A\n"
                                 "Field05=E\nUpdateType=7\nFilterToDevice_Type=5\nFilterFromDevice_Type=-2\n"
                                 "IndexFieldCount=-4\n";
    const TSessionDefinition definition = TSessionDefinition::ReadLenient(m_ini, 3, 4);
    EXPECT_EQ(definition.SessionName, "Session03");
    EXPECT_TRUE(definition.Enabled);
    EXPECT_EQ(definition.UpdateType, 0);
    EXPECT_EQ(definition.FilterToDevice.Type, 5);
    EXPECT_EQ(definition.FilterFromDevice.Type, -2);
    EXPECT_EQ(definition.FieldNames, (std::vector<std::string>{"A", "", "", ""}));
    EXPECT_TRUE(definition.IndexFieldNames.empty());

    // The same section fails the server's read.
    TZel_ODBCSession session;
    session.IniFile = &m_ini;
    session.SessionNumber = 3;
    EXPECT_THROW(session.ReadINISettings(), std::exception);
    EXPECT_FALSE(session.Enabled);
}

TEST_F(SessionDefinitionTest, UnknownUpdateTypeIsWrittenAsAppend) {
    TSessionDefinition definition;
    definition.UpdateType = 9;
    definition.Write(m_ini, 4);
    EXPECT_EQ(m_ini.ReadString("Session04", "UpdateType", ""), "0");
    EXPECT_EQ(TSessionDefinition::ReadSessionName(m_ini, 5), "Session05");
}

} // namespace
