#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Exception.h"

class TZel_QueryParam;

// The handheld's side of the payloads: what a handheld sends, laid out
// field by field, and readers for every reply of the server. Readers check
// lengths and digits and raise EPdaProtocolError on a malformed reply.
namespace Pda {

// A reply that is not what the protocol allows, or a broken connection.
class EPdaProtocolError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EPdaProtocolError"; }
};

constexpr int kKeyLength = 200;
constexpr int kHelloReplySize = 591;

// Who the handheld says it is in "PDALOGIN".
struct TIdentity {
    std::string UserName;
    std::string SerialNumber;
    std::string Model;
    std::string OperatingSystem;
};

// "PDAHELO": software version (30) and name (30).
std::string HelloPayload(const std::string& version, const std::string& software);
// "PDALOGIN": 240 bytes.
std::string LoginPayload(const TIdentity& identity);
// "PDASSEL": 165 bytes.
std::string SessionSelectPayload(int number, const std::string& sessionName, const std::string& plugin,
                                 const std::string& pluginVersion);
// "PDASELECT"/"PDACOUNT" (with the 16-byte row window) and "PDAPOST"/
// "PDADELETE" (without): "SF" items, "OF" items, then one "WK" (entries
// marked IsKey) or "WF" item per where entry, each list in its order.
std::string RequestPayload(const TZel_QueryParam& param, bool rowWindow);

struct THelloReply {
    bool Accepted = false;
    std::string ServerAddress;
    std::string ServerName;
    std::string ServerVersion;
    std::string Message;
    std::string Key; // the last 200 bytes of the payload
};

// "PCLOGIN" and "PCSSEL": a Y/N flag and a text.
struct TStatusReply {
    bool Accepted = false;
    std::string Text;
};

struct TErrorReply {
    std::string Message;
    std::string Context;
};

struct TDataColumn {
    bool IsKey = false;
    int FieldNumber = 0;
    std::string Value;
};

struct TDataRow {
    int RowNumber = 0;
    std::vector<TDataColumn> Columns;
};

THelloReply ParseHelloReply(const std::string& payload);
TStatusReply ParseLoginReply(const std::string& payload);
TStatusReply ParseSessionReply(const std::string& payload);
TErrorReply ParseErrorReply(const std::string& payload);
std::vector<TDataRow> ParseDataReply(const std::string& payload);
int ParseCountReply(const std::string& payload);

} // namespace Pda
