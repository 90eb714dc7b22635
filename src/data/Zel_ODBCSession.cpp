#include "data/Zel_ODBCSession.h"

#include "data/Zel_ConnectionPool.h"
#include "data/Zel_DataSource.h"
#include "data/Zel_ODBCTable.h"
#include "data/odbc/OdbcConnection.h"
#include "protocol/Exception.h"

#include <cstdio>

namespace {
[[noreturn]] void NotImplemented() {
    throw Exception("not implemented");
}
} // namespace

TZel_ODBCTable::TZel_ODBCTable() = default;
TZel_ODBCTable::~TZel_ODBCTable() = default;
TZel_ConnectionPool::TZel_ConnectionPool() = default;
TZel_ConnectionPool::~TZel_ConnectionPool() = default;
TOdbcConnection::TOdbcConnection() = default;
TOdbcConnection::~TOdbcConnection() = default;

TZel_ODBCSession::TZel_ODBCSession() = default;
TZel_ODBCSession::~TZel_ODBCSession() = default;

std::string TZel_ODBCSession::SectionNameOf(int32_t sessionNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "Session%.2d", static_cast<int>(sessionNumber));
    return name;
}

void TZel_ODBCSession::ReadINISettings() {
    NotImplemented();
}
bool TZel_ODBCSession::IsEnabled() {
    NotImplemented();
}
void TZel_ODBCSession::SetUpdateType(int32_t) {
    NotImplemented();
}
void TZel_ODBCSession::SetFilterToDeviceType(int32_t) {
    NotImplemented();
}
void TZel_ODBCSession::SetFilterFromDeviceType(int32_t) {
    NotImplemented();
}
bool TZel_ODBCSession::IsConnected() const {
    return false;
}
bool TZel_ODBCSession::Connect() {
    NotImplemented();
}
bool TZel_ODBCSession::OpenTable() {
    NotImplemented();
}
void TZel_ODBCSession::ValidateFields() {
    NotImplemented();
}
void TZel_ODBCSession::GetTableNames(std::vector<std::string>&) {
    NotImplemented();
}
const std::vector<std::string>& TZel_ODBCSession::GetFieldNames() {
    NotImplemented();
}
bool TZel_ODBCSession::IsValidFieldIndex(int32_t) const {
    NotImplemented();
}
void TZel_ODBCSession::CheckQueryFields(TZel_Query&, bool) {
    NotImplemented();
}
std::string TZel_ODBCSession::BuildFilterTerm(const TZel_QueryField&) {
    NotImplemented();
}
std::string TZel_ODBCSession::BuildFilter(const TZel_Query&) {
    NotImplemented();
}
void TZel_ODBCSession::QuerySelect(TZel_Query&, bool) {
    NotImplemented();
}
void TZel_ODBCSession::QueryCount(TZel_Query&) {
    NotImplemented();
}
void TZel_ODBCSession::QueryPost(TZel_Query&) {
    NotImplemented();
}
void TZel_ODBCSession::AssignFieldValues(const TZel_Query&) {
    NotImplemented();
}
void TZel_ODBCSession::QueryDelete(TZel_Query&) {
    NotImplemented();
}
void TZel_ODBCSession::ReleaseConnection() {}
const std::string& TZel_ODBCSession::FieldNameOf(int32_t) const {
    NotImplemented();
}
