#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/Exception.h"

class TZel_QueryParam;

// The command line of zel-pda: connection options, then one or more commands
// that run in order over one connection.
namespace Pda {

// A command line that cannot be understood; the text says why.
class EPdaUsage : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EPdaUsage"; }
};

enum class TCommandKind { Select, Count, Post, Delete };

struct TCommand {
    TCommandKind Kind = TCommandKind::Select;
    int StartRow = 0;
    int EndRow = 0;    // 0: to the last row
    bool Once = false; // select: one request, no follow-up windows
    bool All = false;  // delete: no condition, every row (never by accident)
    std::vector<int> SelectFields;
    std::vector<int> OrderFields;
    // Where items (select, count, delete) or values to write (post).
    std::vector<std::pair<int, std::string>> Items;
};

struct TOptions {
    std::string Host = "127.0.0.1";
    int Port = 4402;
    std::string BindAddress; // the local address to connect from; empty: the system's choice
    int Session = 1;
    std::string UserName;
    std::string SerialNumber;
    std::string Model = "zel-pda";
    std::string OperatingSystem;
    int TimeoutMs = 30000;
    bool Verbose = false;
    bool Help = false;
    bool Version = false;
    std::vector<TCommand> Commands;
};

// Parses the arguments after the program name over the defaults given;
// raises EPdaUsage. Options may stand before, between or after commands.
TOptions ParseCommandLine(const std::vector<std::string>& args, TOptions defaults = TOptions());

// The request of a command: the row window, the field lists, and the items,
// field 0 marked as the key ("WK").
void FillQueryParam(const TCommand& command, TZel_QueryParam& param);

std::string CommandName(TCommandKind kind);
std::string UsageText();

} // namespace Pda
