#include <gtest/gtest.h>

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnectionProbe.h"
#include "data/odbc/OdbcError.h"
#include "data/odbc/OdbcUserDataSources.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"
#include "support/TestHandheld.h"

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

TOdbcDataSourceDef Postgres(const std::string& name) {
    TOdbcDataSourceDef definition;
    definition.Name = name;
    definition.Driver = "PostgreSQL Unicode";
    definition.Server = "db.example";
    definition.Database = "stock";
    return definition;
}

TEST(UserDataSources, DriverKindsFollowTheDriverLibrary) {
    EXPECT_EQ(TOdbcUserDataSources::KindOf("SQLite3"), TOdbcDriverKind::SQLite);
    EXPECT_EQ(TOdbcUserDataSources::KindOf("sqlite3"), TOdbcDriverKind::SQLite);
    EXPECT_EQ(TOdbcUserDataSources::KindOf("PostgreSQL Unicode"), TOdbcDriverKind::PostgreSQL);
    EXPECT_EQ(TOdbcUserDataSources::KindOf("PostgreSQL ANSI"), TOdbcDriverKind::PostgreSQL);
    EXPECT_EQ(TOdbcUserDataSources::KindOf("SQLite"), TOdbcDriverKind::Other) << "the SQLite 2 driver";
    EXPECT_EQ(TOdbcUserDataSources::KindOf("No Such Driver"), TOdbcDriverKind::Other);
}

// A line break would let a value start a section or key of its own in the
// file, so it is refused before anything is written.
TEST(UserDataSources, ValuesThatWouldBreakTheFileAreRefused) {
    const std::string file = OdbcTestEnv::Get().Folder() + "/odbc.ini";
    const std::string before = ReadAll(file);
    TOdbcDataSourceDef injected = Postgres("ZelInjected");
    injected.Database = "stock\n[Evil]\nDriver=/tmp/evil.so";
    EXPECT_THROW(TOdbcUserDataSources::Write(injected), EDatabaseError);
    TOdbcDataSourceDef badName = Postgres("Zel]Bad");
    EXPECT_THROW(TOdbcUserDataSources::Write(badName), EDatabaseError);
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_FALSE(TOdbcUserDataSources::Exists("Evil"));
}

TEST(UserDataSources, ConnectionStringKeepsSeparatorsInsideValues) {
    TOdbcDataSourceDef definition = Postgres("x");
    definition.Database = "a;b";
    definition.UserName = "clerk";
    definition.Port = "5433";
    EXPECT_EQ(TOdbcConnectionProbe::ConnectionString(definition, "p}w;d"),
              "Driver={PostgreSQL Unicode};Servername=db.example;Port=5433;Database={a;b};Username=clerk;"
              "Password={p}}w;d};CommLog=0;Debug=0;");
}

// PostgreSQL indents the hint under its message with a tab on a line of its own.
TEST(UserDataSources, DriverMessagesReadOnOneLineWithoutTabs) {
    TOdbcDataSourceDef refused = Postgres("ZelRefused");
    refused.Server = "127.0.0.1";
    refused.Port = std::to_string(FreeLoopbackPort());
    refused.UserName = "zel";
    try {
        TOdbcConnectionProbe::Test(refused, "");
        FAIL() << "nothing listens there";
    } catch (const EDatabaseError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("Connection refused Is the server running"), std::string::npos) << text;
        EXPECT_EQ(text.find_first_of("\t\r\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("  "), std::string::npos) << text;
    }
    struct Case {
        const char* raw;
        const char* clean;
    };
    for (const Case& c : {
             Case{"[unixODBC][Driver]message;\n", "message"},
             Case{"first line\n\tsecond\t\tpart\r\n", "first line second part"},
             Case{"[unterminated origin", "[unterminated origin"},
             Case{"\t", ""},
         })
        EXPECT_EQ(CleanDiagnosticText(c.raw), c.clean) << c.raw;
}

TEST(UserDataSources, MissingDefinitionIsAnError) {
    EXPECT_THROW(TOdbcUserDataSources::Read("ZelNoSuchSource"), EDatabaseError);
    EXPECT_THROW(TOdbcUserDataSources::Remove("ZelNoSuchSource"), EDatabaseError);
}

} // namespace
