#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;
class TZel_ODBCSession;

// The keys of a session section, in the order a save writes them. The device
// field keys (Field01..) follow KeyFieldName, the index field keys (Index00..)
// follow IndexFieldCount.
enum class TSessionKey {
    SessionName,
    Enabled,
    DSN,
    Tablename,
    Username,
    Password,
    KeyFieldName,
    UpdateType,
    DeleteAfterTransfer,
    IndexFieldCount,
    FilterToDeviceType,
    FilterToDeviceField,
    FilterToDeviceOperator,
    FilterToDeviceValue,
    FilterFromDeviceType,
    FilterFromDeviceField,
    FilterFromDeviceOperator,
    FilterFromDeviceValue,
};

// One session section of the configuration file: its key names, the server's
// strict read into a session object, and the editor's lenient read and its
// write of the section as a plain record.
class TSessionDefinition {
public:
    struct TFilter {
        int32_t Type = 0; // as stored: the editor keeps numbers it does not know
        std::string Field;
        std::string Operator;
        std::string Value;
    };

    std::string SessionName;
    bool Enabled = false;
    std::string DSN;
    std::string Tablename;
    std::string Username;
    std::string Password;
    std::string KeyFieldName;
    std::vector<std::string> FieldNames; // device fields 1..n, Field01 first; empty = unmapped
    int32_t UpdateType = 0;
    bool DeleteAfterTransfer = false;
    std::vector<std::string> IndexFieldNames; // in order
    TFilter FilterToDevice;
    TFilter FilterFromDevice;

    static const char* KeyName(TSessionKey key);
    static std::string DeviceFieldKey(int fieldNumber); // "Field%.2d"
    static std::string IndexFieldKey(int position);     // "Index%.2d"

    // The name shown for a session: its "SessionName", the section name when missing.
    static std::string ReadSessionName(const TIniFile& ini, int32_t sessionNumber);

    // The server's read of session.SessionNumber's section into the session
    // object. Raises when the object has no configuration file, and when a type
    // is out of range; then the session is disabled, keys read before the bad
    // one keep their new values and later ones their old values.
    static void ReadStrict(TZel_ODBCSession& session);

    // The editor's read: raises nothing. An update type outside 0..3 reads as
    // 0, filter types are taken as stored, device fields 1..numberOfFields are read.
    static TSessionDefinition ReadLenient(const TIniFile& ini, int32_t sessionNumber, int numberOfFields);

    // Writes every key of the section in the order of TSessionKey with one
    // replace of the file: FieldNames.size() device fields, IndexFieldCount and
    // that many index fields. An update type outside 0..3 is written as 0.
    void Write(TIniFile& ini, int32_t sessionNumber) const;
};
