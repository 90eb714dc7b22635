#include "data/odbc/OdbcUserDataSources.h"

#include "base/Zel_Lib.h"
#include "data/odbc/DatabaseError.h"
#include "data/odbc/OdbcEnvironment.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace {

const char* const kOdbcIni = "odbc.ini";
constexpr int kListSize = 65536;
constexpr int kValueSize = 4096;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

bool OneOf(const std::string& key, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return SameName(key, name); });
}

// The installer reads and writes the user's file while this is alive, and
// the mode it had before (normally both files) comes back afterwards.
class TUserConfigMode {
public:
    TUserConfigMode() {
        if (!SQLGetConfigMode(&m_previous))
            m_previous = ODBC_BOTH_DSN;
        SQLSetConfigMode(ODBC_USER_DSN);
    }
    ~TUserConfigMode() { SQLSetConfigMode(m_previous); }
    TUserConfigMode(const TUserConfigMode&) = delete;
    TUserConfigMode& operator=(const TUserConfigMode&) = delete;

private:
    UWORD m_previous = ODBC_BOTH_DSN;
};

[[noreturn]] void RaiseInstallerError(const std::string& what) {
    DWORD code = 0;
    char message[SQL_MAX_MESSAGE_LENGTH] = {0};
    WORD length = 0;
    std::string text = what;
    if (SQL_SUCCEEDED(SQLInstallerError(1, &code, message, sizeof message, &length)) && message[0])
        text += ": " + std::string(message);
    throw EDatabaseError(text);
}

// A NUL-separated list, as the installer returns section and key names.
std::vector<std::string> SplitList(const char* buffer, int length) {
    std::vector<std::string> items;
    const char* end = buffer + std::max(length, 0);
    for (const char* p = buffer; p < end && *p;) {
        items.emplace_back(p);
        p += items.back().size() + 1;
    }
    return items;
}

std::vector<std::string> ProfileList(const char* section) {
    std::string buffer(kListSize, '\0');
    const int length = SQLGetPrivateProfileString(section, nullptr, "", buffer.data(), kListSize, kOdbcIni);
    return SplitList(buffer.data(), length);
}

std::string ProfileValue(const std::string& section, const std::string& key) {
    char value[kValueSize] = {0};
    SQLGetPrivateProfileString(section.c_str(), key.c_str(), "", value, sizeof value, kOdbcIni);
    return value;
}

void WriteValue(const std::string& section, const std::string& key, const std::string& value) {
    if (!SQLWritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(), kOdbcIni))
        RaiseInstallerError("Unable to write " + key + " of the data source " + section);
}

// Keys this program writes for a kind of driver, with the other names the
// drivers accept for them, so that an edit never leaves two of one value.
bool IsManagedKey(TOdbcDriverKind kind, const std::string& key) {
    if (OneOf(key, {"Driver", "Description", "Database"}))
        return true;
    return kind == TOdbcDriverKind::PostgreSQL &&
           OneOf(key, {"Servername", "Server", "Port", "Username", "UID", "User", "CommLog", "Debug"});
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& attributes,
                    std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        for (const auto& [name, value] : attributes)
            if (SameName(name, key))
                return value;
    return {};
}

TOdbcDriverKind KindOfDriver(const std::string& name, const std::string& library) {
    const std::string file = Lower(library);
    if (file.find("sqlite3odbc") != std::string::npos)
        return TOdbcDriverKind::SQLite;
    if (file.find("psqlodbc") != std::string::npos)
        return TOdbcDriverKind::PostgreSQL;
    if (!file.empty())
        return TOdbcDriverKind::Other;
    const std::string lowerName = Lower(name);
    if (lowerName.rfind("sqlite3", 0) == 0)
        return TOdbcDriverKind::SQLite;
    if (lowerName.rfind("postgresql", 0) == 0)
        return TOdbcDriverKind::PostgreSQL;
    return TOdbcDriverKind::Other;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

} // namespace

std::vector<TOdbcDriverInfo> TOdbcUserDataSources::Drivers() {
    TOdbcEnvironment environment;
    std::vector<TOdbcDriverInfo> drivers;
    SQLCHAR name[512];
    std::string attributes(kValueSize, '\0');
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(environment.Handle(), direction, name, sizeof name, &nameLength,
                                    reinterpret_cast<SQLCHAR*>(attributes.data()),
                                    static_cast<SQLSMALLINT>(attributes.size()), &attributesLength))) {
        direction = SQL_FETCH_NEXT;
        TOdbcDriverInfo driver;
        driver.Name = reinterpret_cast<char*>(name);
        for (const std::string& pair : SplitList(attributes.data(), attributesLength)) {
            const size_t equals = pair.find('=');
            if (equals != std::string::npos && SameName(pair.substr(0, equals), "Driver"))
                driver.Library = pair.substr(equals + 1);
        }
        driver.Kind = KindOfDriver(driver.Name, driver.Library);
        drivers.push_back(driver);
    }
    return drivers;
}

TOdbcDriverKind TOdbcUserDataSources::KindOf(const std::string& driverName) {
    for (const TOdbcDriverInfo& driver : Drivers())
        if (SameName(driver.Name, driverName))
            return driver.Kind;
    return TOdbcDriverKind::Other;
}

std::vector<std::string> TOdbcUserDataSources::Names() {
    std::vector<std::string> names;
    {
        TUserConfigMode mode;
        names = ProfileList(nullptr);
    }
    // The [ODBC] section holds the driver manager's own options.
    std::erase_if(names, [](const std::string& name) { return SameName(name, "ODBC"); });
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    return names;
}

bool TOdbcUserDataSources::Exists(const std::string& name) {
    const std::vector<std::string> names = Names();
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

std::vector<std::pair<std::string, std::string>> TOdbcUserDataSources::Attributes(const std::string& name) {
    TUserConfigMode mode;
    std::vector<std::pair<std::string, std::string>> attributes;
    for (const std::string& key : ProfileList(name.c_str()))
        attributes.emplace_back(key, ProfileValue(name, key));
    return attributes;
}

TOdbcDataSourceDef TOdbcUserDataSources::Read(const std::string& name) {
    if (!Exists(name))
        throw EDatabaseError("There is no user data source named \"" + name + "\"");
    const auto attributes = Attributes(name);
    TOdbcDataSourceDef definition;
    definition.Name = name;
    definition.Driver = ValueOf(attributes, {"Driver"});
    definition.Description = ValueOf(attributes, {"Description"});
    definition.Database = ValueOf(attributes, {"Database"});
    definition.Server = ValueOf(attributes, {"Servername", "Server"});
    definition.Port = ValueOf(attributes, {"Port"});
    definition.UserName = ValueOf(attributes, {"Username", "UID", "User"});
    return definition;
}

std::string TOdbcUserDataSources::Problem(const TOdbcDataSourceDef& definition) {
    const std::string& name = definition.Name;
    if (name.empty())
        return "Enter a name for the data source.";
    if (name.size() > SQL_MAX_DSN_LENGTH || !SQLValidDSN(name.c_str()) || HasLineBreak(name))
        return "The name \"" + name + "\" cannot be used for a data source: it may have up to " +
               std::to_string(SQL_MAX_DSN_LENGTH) + " characters and none of [ ] { } ( ) , ; ? * = ! @ \\";
    for (const std::string* value : {&definition.Driver, &definition.Description, &definition.Database,
                                     &definition.Server, &definition.Port, &definition.UserName})
        if (HasLineBreak(*value))
            return "The values of a data source cannot contain line breaks.";
    if (definition.Driver.empty())
        return "Choose the driver of the data source.";
    switch (KindOf(definition.Driver)) {
    case TOdbcDriverKind::SQLite:
        if (definition.Database.empty())
            return "Enter the database file of the data source.";
        return {};
    case TOdbcDriverKind::PostgreSQL: {
        if (definition.Server.empty())
            return "Enter the host of the PostgreSQL server.";
        int port = 0;
        if (!definition.Port.empty() && (!TryTextToInt(definition.Port, port) || port < 1 || port > 65535))
            return "The port \"" + definition.Port + "\" is not valid: enter a whole number from 1 to 65535.";
        if (definition.Database.empty())
            return "Enter the name of the PostgreSQL database.";
        return {};
    }
    case TOdbcDriverKind::Other:
        break;
    }
    return "Data sources of the driver \"" + definition.Driver + "\" cannot be defined here.";
}

void TOdbcUserDataSources::Write(const TOdbcDataSourceDef& definition, const std::string& previousName) {
    const std::string problem = Problem(definition);
    if (!problem.empty())
        throw EDatabaseError(problem);
    const TOdbcDriverKind kind = KindOf(definition.Driver);
    const std::string& name = definition.Name;

    // What the operator or another tool added to the one being edited stays.
    std::vector<std::pair<std::string, std::string>> kept;
    if (!previousName.empty() && Exists(previousName)) {
        const auto previous = Attributes(previousName);
        if (KindOf(ValueOf(previous, {"Driver"})) == kind)
            for (const auto& attribute : previous)
                if (!IsManagedKey(kind, attribute.first))
                    kept.push_back(attribute);
    }

    TUserConfigMode mode;
    // Replaces a data source of this name with one that has only the driver.
    if (!SQLWriteDSNToIni(name.c_str(), definition.Driver.c_str()))
        RaiseInstallerError("Unable to write the data source " + name);
    if (!definition.Description.empty())
        WriteValue(name, "Description", definition.Description);
    if (kind == TOdbcDriverKind::PostgreSQL) {
        WriteValue(name, "Servername", definition.Server);
        WriteValue(name, "Port", definition.Port.empty() ? std::string("5432") : definition.Port);
        WriteValue(name, "Database", definition.Database);
        if (!definition.UserName.empty())
            WriteValue(name, "Username", definition.UserName);
        WriteValue(name, "CommLog", "0");
        WriteValue(name, "Debug", "0");
    } else {
        WriteValue(name, "Database", definition.Database);
    }
    for (const auto& [key, value] : kept)
        WriteValue(name, key, value);
    if (!previousName.empty() && !SameName(previousName, name) && !SQLRemoveDSNFromIni(previousName.c_str()))
        RaiseInstallerError("Unable to remove the data source " + previousName);
}

void TOdbcUserDataSources::Remove(const std::string& name) {
    if (!Exists(name))
        throw EDatabaseError("There is no user data source named \"" + name + "\"");
    TUserConfigMode mode;
    if (!SQLRemoveDSNFromIni(name.c_str()))
        RaiseInstallerError("Unable to remove the data source " + name);
}
