#include "app/DeviceCommand.h"

#include <QDateTime>
#include <algorithm>
#include <charconv>
#include <filesystem>

#include "base/DeviceRegistry.h"
#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Zel_Lib.h"

namespace {

// Longest accept window: a week; anything longer is a mistake or a wish for NewDevices=allow.
constexpr int kMaxAcceptMinutes = 7 * 24 * 60;

class TUsageError : public Exception {
public:
    using Exception::Exception;
};

std::string LocalTime(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString()
                          : std::string("-");
}

// The server's log file, as its configuration names it; the command only reads the configuration.
std::string LogFileOf(const std::string& configFile) {
    const std::string fallback = std::filesystem::path(configFile).replace_extension().string() + "Log.txt";
    try {
        const std::string name = TIniFile(configFile).ReadString("Settings", "Logfilename", "");
        return name.empty() ? fallback : name;
    } catch (const std::exception&) {
        return fallback;
    }
}

void Audit(const TDeviceCommand& command, const std::string& text) {
    // Only a log the server has made: one made here (perhaps by root) could
    // keep the service from writing its own.
    const std::string logFile = LogFileOf(command.ConfigFile);
    std::error_code error;
    if (!std::filesystem::exists(logFile, error))
        return;
    try {
        AppendToFile(logFile, text, true);
    } catch (const std::exception&) {
        // The registry holds the decision all the same; the log is a copy.
    }
}

const std::string& OneArgument(const TDeviceCommand& command, const char* what) {
    if (command.Arguments.size() != 1)
        throw TUsageError("--devices " + command.Action + " takes one argument: " + what);
    return command.Arguments[0];
}

void List(TDeviceRegistry& registry, FILE* out) {
    std::vector<TDeviceRecord> devices = registry.List();
    std::sort(devices.begin(), devices.end(),
              [](const TDeviceRecord& a, const TDeviceRecord& b) { return a.LastSeen > b.LastSeen; });
    std::fprintf(out, "%-24s %-36s %-12s %-14s %-19s %-15s %s\n", "DEVICE", "ACCESS", "USER", "MODEL",
                 "LAST SEEN", "LAST ADDRESS", "LAST DECISION");
    int waiting = 0;
    for (const TDeviceRecord& device : devices) {
        waiting += device.State == TDeviceState::Waiting;
        std::string decision = device.Decision.empty() ? std::string("-")
                                                       : device.Decision + " by " + device.DecisionBy + ", " +
                                                             LocalTime(device.DecisionTime);
        std::fprintf(out, "%-24s %-36s %-12s %-14s %-19s %-15s %s\n", device.Key.c_str(),
                     device.AccessText().c_str(), device.UserName.c_str(), device.Model.c_str(),
                     LocalTime(device.LastSeen).c_str(), device.LastAddress.c_str(), decision.c_str());
    }
    std::fprintf(out, "%zu device(s), %d waiting for approval\n", devices.size(), waiting);
    const QDateTime until = registry.AcceptNewUntil();
    if (registry.AcceptingNew(QDateTime::currentDateTimeUtc()))
        std::fprintf(out, "New devices are accepted until %s\n", LocalTime(until).c_str());
}

int Run(const TDeviceCommand& command, FILE* out) {
    const std::string& action = command.Action;
    const bool allow = action == "allow";
    if ((command.ReadOnly || command.SessionsGiven) && !allow)
        throw TUsageError("--read-only and --sessions go with --devices allow");
    std::vector<int> sessions;
    if (command.SessionsGiven) {
        try {
            sessions = ParseSessionList(command.Sessions);
        } catch (const std::exception& e) {
            throw TUsageError(std::string("--sessions: ") + e.what());
        }
    }
    if (action != "list" && action != "allow" && action != "refuse" && action != "forget" &&
        action != "accept-new")
        throw TUsageError("unknown --devices action [" + action +
                          "]: use list, allow SERIAL, refuse SERIAL, forget SERIAL or accept-new MINUTES");
    if (action == "list" && !command.Arguments.empty())
        throw TUsageError("--devices list takes no argument");
    int minutes = 0;
    if (action == "accept-new") {
        const std::string& text = OneArgument(command, "MINUTES");
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || minutes < 0 ||
            minutes > kMaxAcceptMinutes)
            throw TUsageError("--devices accept-new: MINUTES must be a number from 0 to " +
                              std::to_string(kMaxAcceptMinutes) + " (0 stops accepting), not [" + text + "]");
    }

    TDeviceRegistry registry(TDeviceRegistry::FileNameFor(command.ConfigFile));
    if (action == "list") {
        List(registry, out);
        return 0;
    }
    if (action == "accept-new") {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QDateTime until = minutes == 0 ? now : now.addSecs(qint64(minutes) * 60);
        registry.SetAcceptNewUntil(until);
        const std::string text = minutes == 0 ? std::string("New devices are no longer accepted")
                                              : "New devices are accepted until " + LocalTime(until);
        Audit(command, text + ", by command line");
        std::fprintf(out, "%s\n", text.c_str());
        return 0;
    }
    const std::string& key = OneArgument(command, "SERIAL (as --devices list shows it)");
    const TDeviceRecord record =
        allow                ? registry.Allow(key, command.ReadOnly, sessions, TDecisionSource::CommandLine)
        : action == "refuse" ? registry.Refuse(key, TDecisionSource::CommandLine)
                             : registry.Forget(key, TDecisionSource::CommandLine);
    const std::string text = DecisionLogText(record);
    Audit(command, text);
    std::fprintf(out, "%s\n", text.c_str());
    return 0;
}

} // namespace

int RunDeviceCommand(const TDeviceCommand& command, FILE* out, FILE* err) {
    try {
        return Run(command, out);
    } catch (const TUsageError& e) {
        std::fprintf(err, "ZelWireless: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(err, "ZelWireless: %s\n", ExceptionText(e).c_str());
        return 1;
    }
}
