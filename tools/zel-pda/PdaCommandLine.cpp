#include "zel-pda/PdaCommandLine.h"

#include <algorithm>
#include <climits>

#include "protocol/Zel_ODBCQuery.h"

namespace Pda {

namespace {

constexpr int kMaxFieldNumber = 999; // three digits on the wire
constexpr int kMaxRow = 99999999;    // eight digits on the wire
constexpr int kMaxSession = 99999;   // five digits on the wire

bool IsDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int ParseNumber(const std::string& text, const std::string& what, int minimum, int maximum) {
    if (!IsDigits(text) || std::stoi(text) < minimum || std::stoi(text) > maximum)
        throw EPdaUsage(what + " must be a number from " + std::to_string(minimum) + " to " +
                        std::to_string(maximum) + ", got [" + text + "]");
    return std::stoi(text);
}

int ParseFieldNumber(const std::string& text) {
    return ParseNumber(text, "a field number", 0, kMaxFieldNumber);
}

// "1,2,3" or ranges such as "1-5", or both: "0,3-5".
std::vector<int> ParseFieldList(const std::string& text) {
    std::vector<int> fields;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string part = text.substr(start, comma - start);
        const size_t dash = part.find('-');
        if (dash == std::string::npos) {
            fields.push_back(ParseFieldNumber(part));
        } else {
            const int first = ParseFieldNumber(part.substr(0, dash));
            const int last = ParseFieldNumber(part.substr(dash + 1));
            if (last < first)
                throw EPdaUsage("field range [" + part + "] runs backwards");
            for (int field = first; field <= last; ++field)
                fields.push_back(field);
        }
        start = comma + 1;
    }
    return fields;
}

// "FIRST-LAST", "FIRST-" or "FIRST": the last row 0 means to the end.
void ParseRows(const std::string& text, TCommand& command) {
    const size_t dash = text.find('-');
    command.StartRow = ParseNumber(text.substr(0, dash), "the first row", 0, kMaxRow);
    command.EndRow = 0;
    if (dash != std::string::npos && dash + 1 < text.size()) {
        command.EndRow = ParseNumber(text.substr(dash + 1), "the last row", 0, kMaxRow);
        if (command.EndRow < command.StartRow)
            throw EPdaUsage("rows [" + text + "]: the last row comes before the first");
    }
}

std::pair<int, std::string> ParseItem(const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos)
        throw EPdaUsage("expected FIELD=VALUE, got [" + text + "]");
    return {ParseFieldNumber(text.substr(0, equals)), text.substr(equals + 1)};
}

bool IsCommandWord(const std::string& word, TCommandKind& kind) {
    static const std::pair<const char*, TCommandKind> words[] = {{"select", TCommandKind::Select},
                                                                 {"count", TCommandKind::Count},
                                                                 {"post", TCommandKind::Post},
                                                                 {"delete", TCommandKind::Delete}};
    for (const auto& [name, value] : words)
        if (word == name) {
            kind = value;
            return true;
        }
    return false;
}

class TParser {
public:
    TParser(const std::vector<std::string>& args, TOptions& options) : m_args(args), m_options(options) {}

    void Run() {
        for (m_index = 0; m_index < m_args.size(); ++m_index) {
            const std::string& arg = m_args[m_index];
            TCommandKind kind;
            if (arg.size() > 1 && arg[0] == '-')
                Option(arg);
            else if (IsCommandWord(arg, kind))
                m_options.Commands.emplace_back().Kind = kind;
            else if (m_options.Commands.empty())
                throw EPdaUsage("unknown command [" + arg + "]");
            else
                Current("FIELD=VALUE").Items.push_back(ParseItem(arg));
        }
        for (const TCommand& command : m_options.Commands)
            CheckCommand(command);
    }

private:
    static void CheckCommand(const TCommand& command) {
        if (command.Kind == TCommandKind::Post && command.Items.empty())
            throw EPdaUsage("post needs at least one FIELD=VALUE");
        // An empty delete request removes every row of the table.
        if (command.Kind == TCommandKind::Delete && command.Items.empty() && !command.All)
            throw EPdaUsage("delete without a condition removes every row: add --all to mean it");
        if (command.Kind == TCommandKind::Delete && !command.Items.empty() && command.All)
            throw EPdaUsage("delete --all takes no condition");
    }

    void Option(const std::string& arg) {
        const size_t equals = arg.find('=');
        m_name = arg.substr(0, equals);
        m_inline = equals == std::string::npos ? std::string() : arg.substr(equals + 1);
        m_hasInline = equals != std::string::npos;
        const std::string& name = m_name;
        if (name == "-h" || name == "--help")
            m_options.Help = true;
        else if (name == "--version")
            m_options.Version = true;
        else if (name == "-v" || name == "--verbose")
            m_options.Verbose = true;
        else if (name == "--host")
            m_options.Host = Value();
        else if (name == "--port")
            m_options.Port = ParseNumber(Value(), "--port", 1, 65535);
        else if (name == "--bind")
            m_options.BindAddress = Value();
        else if (name == "--session")
            m_options.Session = ParseNumber(Value(), "--session", 0, kMaxSession);
        else if (name == "--user")
            m_options.UserName = Value();
        else if (name == "--serial")
            m_options.SerialNumber = Value();
        else if (name == "--model")
            m_options.Model = Value();
        else if (name == "--os")
            m_options.OperatingSystem = Value();
        else if (name == "--timeout")
            m_options.TimeoutMs = ParseNumber(Value(), "--timeout", 1, 3600) * 1000;
        else if (name == "--rows")
            ParseRows(Value(), Current(name, {TCommandKind::Select}));
        else if (name == "--fields")
            Current(name, {TCommandKind::Select}).SelectFields = ParseFieldList(Value());
        else if (name == "--order")
            Current(name, {TCommandKind::Select}).OrderFields = ParseFieldList(Value());
        else if (name == "--once")
            Current(name, {TCommandKind::Select}).Once = true;
        else if (name == "--all")
            Current(name, {TCommandKind::Delete}).All = true;
        else if (name == "--where") {
            TCommand& command =
                Current(name, {TCommandKind::Select, TCommandKind::Count, TCommandKind::Delete});
            command.Items.push_back(ParseItem(Value()));
        } else
            throw EPdaUsage("unknown option [" + name + "]");
    }

    std::string Value() {
        if (m_hasInline)
            return m_inline;
        if (m_index + 1 >= m_args.size())
            throw EPdaUsage(m_name + " needs a value");
        return m_args[++m_index];
    }

    // The command an option or item belongs to: the last one given.
    TCommand& Current(const std::string& what, std::initializer_list<TCommandKind> kinds = {}) {
        if (m_options.Commands.empty())
            throw EPdaUsage(what + " must follow a command (select, count, post or delete)");
        TCommand& command = m_options.Commands.back();
        if (kinds.size() > 0 && std::find(kinds.begin(), kinds.end(), command.Kind) == kinds.end())
            throw EPdaUsage(what + " does not apply to " + CommandName(command.Kind));
        return command;
    }

    const std::vector<std::string>& m_args;
    TOptions& m_options;
    size_t m_index = 0;
    std::string m_name;
    std::string m_inline;
    bool m_hasInline = false;
};

} // namespace

TOptions ParseCommandLine(const std::vector<std::string>& args, TOptions defaults) {
    TParser(args, defaults).Run();
    return defaults;
}

void FillQueryParam(const TCommand& command, TZel_QueryParam& param) {
    param.StartRow = command.StartRow;
    param.EndRow = command.EndRow;
    for (int field : command.SelectFields)
        param.SelectFields.AddNumber(field);
    for (int field : command.OrderFields)
        param.OrderFields.AddNumber(field);
    for (const auto& [field, value] : command.Items) {
        TZel_QueryField* entry = param.WhereFields.AddNumber(field);
        entry->Value = value;
        entry->IsKey = field == 0;
    }
}

std::string CommandName(TCommandKind kind) {
    switch (kind) {
    case TCommandKind::Select:
        return "select";
    case TCommandKind::Count:
        return "count";
    case TCommandKind::Post:
        return "post";
    case TCommandKind::Delete:
        break;
    }
    return "delete";
}

std::string UsageText() {
    return R"(Usage: zel-pda [OPTIONS] COMMAND [ARGS] [COMMAND [ARGS]...]

A handheld terminal on the command line: connects to a Zel Wireless Server,
greets it, logs in, selects a session and runs the commands in order over one
connection. Fields are the session's device field numbers: 0 is the key
field, 1 to 30 the mapped fields.

Commands:
  select [--rows FIRST-LAST] [--fields LIST] [--order LIST] [--where F=V]... [--once]
          Prints the matching rows as a table: the row number, the key
          (column 0*) and the fields of LIST (numbers, commas, ranges: 1,3-5).
          --rows 20-39 asks for rows 20 to 39 (counted from 0 in the sort
          order of --order); FIRST- or FIRST alone runs to the last row (the
          default is every row). A window too large for one reply is fetched
          with further requests from the next row number; --once sends
          exactly one request.
  count [--where F=V]...
          Prints the number of matching rows.
  post F=V [F=V]...
          Writes one row: with a key value (0=...) the row with that key is
          updated, or inserted when there is none; without one a row is
          inserted. Prints the number of rows written.
  delete [--where F=V]... | delete --all
          Deletes every matching row and prints their number. Without a
          condition it refuses; --all deletes every row of the table.
  Conditions F=V may also be given without --where. A value containing %
  matches text fields as a LIKE pattern (% is any run of characters);
  otherwise fields must equal the value.

Options:
  --host HOST        server address (default 127.0.0.1)
  --port PORT        server port (default 4402)
  --bind ADDRESS     connect from this local address (e.g. 127.0.0.2)
  --session N        session number (default 1)
  --user NAME        user name to log in with (default $USER)
  --serial TEXT      device serial number (default the host name)
  --model TEXT       device model (default zel-pda)
  --os TEXT          device operating system (default this system's)
  --timeout SECONDS  limit for connecting and for every reply (default 30)
  -v, --verbose      dump every frame (header and payload, in the clear) to stderr
  -h, --help         show this help
  --version          show the version

Exit status: 0 success; 1 the server answered a request with an error
("PCERR"); 2 bad command line; 3 login refused or session not selected
("PCSSEL N"); 4 network or protocol failure (cannot connect, timeout,
connection lost, malformed reply).

Examples:
  zel-pda select --rows 0-20 --fields 1,2,3 --order 2 --where 1=Hex%
  zel-pda count --where 1=Hex%
  zel-pda post 0=B0001 1="Hex bolt M8 zinc" 2=250
  zel-pda delete 0=B0001
  zel-pda --host 192.168.1.20 --session 2 select --where 0=A00001 count --where 1=Hinge%
)";
}

} // namespace Pda
