#include <gtest/gtest.h>

#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcConnectionProbe.h"
#include "data/odbc/OdbcUserDataSources.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"

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

TEST(UserDataSources, MissingDefinitionIsAnError) {
    EXPECT_THROW(TOdbcUserDataSources::Read("ZelNoSuchSource"), EDatabaseError);
    EXPECT_THROW(TOdbcUserDataSources::Remove("ZelNoSuchSource"), EDatabaseError);
}

} // namespace
