#include "data/SessionDefinition.h"

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Zel_Lib.h"
#include "data/Zel_ODBCSession.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Indexed by TSessionKey.
constexpr std::array<const char*, 18> kKeyNames = {
    "SessionName",
    "Enabled",
    "DSN",
    "Tablename",
    "Username",
    "Password",
    "KeyFieldName",
    "UpdateType",
    "DeleteAfterTransfer",
    "IndexFieldCount",
    "FilterToDevice_Type",
    "FilterToDevice_Field",
    "FilterToDevice_Operator",
    "FilterToDevice_Value",
    "FilterFromDevice_Type",
    "FilterFromDevice_Field",
    "FilterFromDevice_Operator",
    "FilterFromDevice_Value",
};
static_assert(kKeyNames.size() == size_t(TSessionKey::FilterFromDeviceValue) + 1);

std::string Format2(const char* pattern, int number) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, number);
    return text;
}

using K = TSessionKey;
const char* Key(TSessionKey key) {
    return kKeyNames[size_t(key)];
}

} // namespace

const char* TSessionDefinition::KeyName(TSessionKey key) {
    return Key(key);
}

std::string TSessionDefinition::DeviceFieldKey(int fieldNumber) {
    return Format2("Field%.2d", fieldNumber);
}

std::string TSessionDefinition::IndexFieldKey(int position) {
    return Format2("Index%.2d", position);
}

std::string TSessionDefinition::ReadSessionName(const TIniFile& ini, int32_t sessionNumber) {
    const std::string section = TZel_ODBCSession::SectionNameOf(sessionNumber);
    return ini.ReadString(section, Key(K::SessionName), section);
}

void TSessionDefinition::ReadStrict(TZel_ODBCSession& session) {
    if (!session.IniFile)
        throw Exception("TZelODBCSession.ReadINISettings: No IniFile handler assigned, cannot continue");
    const std::string section = session.SectionName();
    try {
        const TIniFile& ini = *session.IniFile;
        const auto text = [&](TSessionKey key) { return ini.ReadString(section, Key(key), ""); };
        session.SessionName = ini.ReadString(section, Key(K::SessionName), section);
        session.DSN = text(K::DSN);
        session.Tablename = text(K::Tablename);
        session.Username = text(K::Username);
        session.Password = text(K::Password);
        session.KeyFieldName = text(K::KeyFieldName);
        session.Enabled = ini.ReadBool(section, Key(K::Enabled), false);
        session.SetUpdateType(ini.ReadInteger(section, Key(K::UpdateType), 0));
        session.DeleteAfterTransfer = ini.ReadBool(section, Key(K::DeleteAfterTransfer), false);
        session.SetFilterToDeviceType(ini.ReadInteger(section, Key(K::FilterToDeviceType), 0));
        session.SetFilterFromDeviceType(ini.ReadInteger(section, Key(K::FilterFromDeviceType), 0));
        session.FilterToDevice.Field = text(K::FilterToDeviceField);
        session.FilterToDevice.Operator = text(K::FilterToDeviceOperator);
        session.FilterToDevice.Value = text(K::FilterToDeviceValue);
        session.FilterFromDevice.Field = text(K::FilterFromDeviceField);
        session.FilterFromDevice.Operator = text(K::FilterFromDeviceOperator);
        session.FilterFromDevice.Value = text(K::FilterFromDeviceValue);
        session.FieldNames[0] = session.KeyFieldName;
        for (int n = 1; n <= ZEL_MAX_DEVICE_FIELDS; ++n)
            session.FieldNames[size_t(n)] = ini.ReadString(section, DeviceFieldKey(n), "");
        // The record holds 30 index fields; entries beyond them are not read.
        const int count = ini.ReadInteger(section, Key(K::IndexFieldCount), 0);
        session.IndexFieldCount = std::clamp(count, 0, ZEL_MAX_INDEX_FIELDS);
        for (int j = 0; j < session.IndexFieldCount; ++j)
            session.IndexFieldNames[size_t(j)] = ini.ReadString(section, IndexFieldKey(j), "");
    } catch (const std::exception& e) {
        session.Enabled = false;
        throw Exception("Failed reading .ini file in section [" + section + "]: " + ExceptionText(e));
    }
}

TSessionDefinition TSessionDefinition::ReadLenient(const TIniFile& ini, int32_t sessionNumber,
                                                   int numberOfFields) {
    const std::string section = TZel_ODBCSession::SectionNameOf(sessionNumber);
    const auto text = [&](TSessionKey key) { return ini.ReadString(section, Key(key), ""); };
    const auto filter = [&](TSessionKey type, TSessionKey field, TSessionKey op, TSessionKey value) {
        return TFilter{ini.ReadInteger(section, Key(type), 0), text(field), text(op), text(value)};
    };
    TSessionDefinition definition;
    definition.SessionName = ini.ReadString(section, Key(K::SessionName), section);
    definition.Enabled = ini.ReadBool(section, Key(K::Enabled), false);
    definition.DSN = text(K::DSN);
    definition.Tablename = text(K::Tablename);
    definition.Username = text(K::Username);
    definition.Password = text(K::Password);
    definition.KeyFieldName = text(K::KeyFieldName);
    for (int n = 1; n <= std::min(numberOfFields, ZEL_MAX_DEVICE_FIELDS); ++n)
        definition.FieldNames.push_back(ini.ReadString(section, DeviceFieldKey(n), ""));
    const int updateType = ini.ReadInteger(section, Key(K::UpdateType), 0);
    definition.UpdateType = updateType >= utAppendToExisting && updateType <= utUpdateExistingAppendIfNotFound
                                ? updateType
                                : utAppendToExisting;
    definition.DeleteAfterTransfer = ini.ReadBool(section, Key(K::DeleteAfterTransfer), false);
    const int count =
        std::clamp(ini.ReadInteger(section, Key(K::IndexFieldCount), 0), 0, ZEL_MAX_INDEX_FIELDS);
    for (int j = 0; j < count; ++j)
        definition.IndexFieldNames.push_back(ini.ReadString(section, IndexFieldKey(j), ""));
    definition.FilterToDevice = filter(K::FilterToDeviceType, K::FilterToDeviceField,
                                       K::FilterToDeviceOperator, K::FilterToDeviceValue);
    definition.FilterFromDevice = filter(K::FilterFromDeviceType, K::FilterFromDeviceField,
                                         K::FilterFromDeviceOperator, K::FilterFromDeviceValue);
    return definition;
}

void TSessionDefinition::Write(TIniFile& ini, int32_t sessionNumber) const {
    const std::string section = TZel_ODBCSession::SectionNameOf(sessionNumber);
    TIniFile::TBatch batch;
    const auto text = [&](TSessionKey key, const std::string& value) {
        batch.WriteString(section, Key(key), value);
    };
    text(K::SessionName, SessionName);
    batch.WriteBool(section, Key(K::Enabled), Enabled);
    text(K::DSN, DSN);
    text(K::Tablename, Tablename);
    text(K::Username, Username);
    text(K::Password, Password);
    text(K::KeyFieldName, KeyFieldName);
    for (size_t n = 0; n < FieldNames.size(); ++n)
        batch.WriteString(section, DeviceFieldKey(int(n) + 1), FieldNames[n]);
    const bool knownType = UpdateType >= utAppendToExisting && UpdateType <= utUpdateExistingAppendIfNotFound;
    batch.WriteInteger(section, Key(K::UpdateType), knownType ? UpdateType : utAppendToExisting);
    batch.WriteBool(section, Key(K::DeleteAfterTransfer), DeleteAfterTransfer);
    batch.WriteInteger(section, Key(K::IndexFieldCount), int(IndexFieldNames.size()));
    for (size_t j = 0; j < IndexFieldNames.size(); ++j)
        batch.WriteString(section, IndexFieldKey(int(j)), IndexFieldNames[j]);
    const auto filter = [&](const TFilter& f, TSessionKey type, TSessionKey field, TSessionKey op,
                            TSessionKey value) {
        batch.WriteInteger(section, Key(type), f.Type);
        text(field, f.Field);
        text(op, f.Operator);
        text(value, f.Value);
    };
    filter(FilterToDevice, K::FilterToDeviceType, K::FilterToDeviceField, K::FilterToDeviceOperator,
           K::FilterToDeviceValue);
    filter(FilterFromDevice, K::FilterFromDeviceType, K::FilterFromDeviceField, K::FilterFromDeviceOperator,
           K::FilterFromDeviceValue);
    ini.WriteBatch(batch);
}
