// zel-pda: the reference handheld on the command line.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "base/Zel_Lib.h"
#include "protocol/Zel_ODBCQuery.h"
#include "zel-pda/HandheldClient.h"
#include "zel-pda/PdaCommandLine.h"
#include "zel-pda/PdaTable.h"

using namespace Pda;

namespace {

enum ExitCode { kOk = 0, kServerError = 1, kUsage = 2, kNotSelected = 3, kFailure = 4 };

const char* const kProgram = "zel-pda";

// A refused login or session selection.
class ENotSelected : public Exception {
public:
    using Exception::Exception;
};

TOptions Defaults() {
    TOptions options;
    const char* user = std::getenv("USER");
    if (user && *user)
        options.UserName = user;
    else if (const passwd* entry = ::getpwuid(::getuid()))
        options.UserName = entry->pw_name;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0)
        options.SerialNumber = host;
    utsname system{};
    if (::uname(&system) == 0)
        options.OperatingSystem = std::string(system.sysname) + " " + system.release;
    return options;
}

// Every window up to the last row asked for: a reply holds only the rows that
// fit into one frame, so the next request starts after its last row.
std::vector<TDataRow> RunSelect(THandheldClient& client, const TCommand& command) {
    std::vector<TDataRow> rows;
    TCommand window = command;
    for (;;) {
        TZel_QueryParam param;
        FillQueryParam(window, param);
        std::vector<TDataRow> part = client.Select(param);
        if (part.empty())
            break;
        const int last = part.back().RowNumber;
        rows.insert(rows.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
        if (command.Once || (command.EndRow > 0 && last >= command.EndRow) || last < window.StartRow)
            break;
        window.StartRow = last + 1;
    }
    return rows;
}

std::string Rows(int count, const char* done) {
    return std::to_string(count) + (count == 1 ? " row " : " rows ") + done;
}

void RunCommand(THandheldClient& client, const TCommand& command) {
    TZel_QueryParam param;
    FillQueryParam(command, param);
    switch (command.Kind) {
    case TCommandKind::Select: {
        const std::vector<TDataRow> rows = RunSelect(client, command);
        std::cout << (rows.empty() ? std::string("(no rows)\n") : FormatTable(rows));
        break;
    }
    case TCommandKind::Count:
        std::cout << client.Count(param) << "\n";
        break;
    case TCommandKind::Post:
        std::cout << Rows(client.Post(param), "written") << "\n";
        break;
    case TCommandKind::Delete:
        std::cout << Rows(client.Delete(param), "deleted") << "\n";
        break;
    }
    std::cout.flush();
}

void OpenSession(THandheldClient& client, const TOptions& options) {
    client.Connect(options.Host, options.Port, options.TimeoutMs, options.BindAddress);
    const THelloReply hello = client.Hello(ZEL_VERSION_STRING, kProgram);
    if (!hello.Accepted)
        throw ENotSelected("greeting refused: " + hello.Message);
    const TStatusReply login =
        client.Login({options.UserName, options.SerialNumber, options.Model, options.OperatingSystem});
    if (!login.Accepted)
        throw ENotSelected("login refused: " + login.Text);
    const TStatusReply session =
        client.SelectSession(options.Session, kProgram, kProgram, ZEL_VERSION_STRING);
    if (!session.Accepted)
        throw ENotSelected("session " + std::to_string(options.Session) + ": " + session.Text);
}

int Run(const TOptions& options) {
    THandheldClient client;
    if (options.Verbose)
        client.OnTrace = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    std::string step = "connect";
    try {
        OpenSession(client, options);
        for (const TCommand& command : options.Commands) {
            step = CommandName(command.Kind);
            RunCommand(client, command);
        }
        client.Bye();
        return kOk;
    } catch (const EPdaServerError& e) {
        // The context ("caller: Processing Message") shows in the --verbose dump.
        std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, step.c_str(), e.Reply.Message.c_str());
        if (client.IsConnected()) {
            try {
                client.Bye();
            } catch (const Exception&) {
                // The server may already have closed the connection.
            }
        }
        return kServerError;
    } catch (const ENotSelected& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kNotSelected;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, step.c_str(), e.what());
        return kFailure;
    }
}

} // namespace

int main(int argc, char* argv[]) {
    TOptions options;
    try {
        options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), Defaults());
    } catch (const EPdaUsage& e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, e.what(), kProgram);
        return kUsage;
    }
    if (options.Help) {
        std::cout << UsageText();
        return kOk;
    }
    if (options.Version) {
        std::cout << kProgram << " " << ZEL_VERSION_STRING << "\n";
        return kOk;
    }
    if (options.Commands.empty()) {
        std::fprintf(stderr, "%s: no command given (select, count, post or delete)\nTry '%s --help'.\n",
                     kProgram, kProgram);
        return kUsage;
    }
    return Run(options);
}
