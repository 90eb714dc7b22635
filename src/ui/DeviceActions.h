#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;
class TDeviceRegistry;
class TServerControl;
class TZel_JobRunner;

// The operator's decisions about one device, shared by the Devices view and
// the monitor's context menu. The registry's writes wait for its lock file
// (the command line may hold it), so they run on the caller's worker; the
// window asks its questions first and shows the outcome when it comes back.
namespace TDeviceActions {
enum class TAction { Allow, AllowReadOnly, Sessions, Refuse, Forget };

// The actions in the order both places show them: the object name's ending
// ("btnAllow", "mniDeviceAllow") and the label.
struct TActionItem {
    TAction Action;
    const char* Name;
    const char* Label;
};
inline constexpr TActionItem kActions[] = {{TAction::Allow, "Allow", "&Allow"},
                                           {TAction::AllowReadOnly, "AllowReadOnly", "Allow &read-only"},
                                           {TAction::Sessions, "Sessions", "&Sessions..."},
                                           {TAction::Refuse, "Refuse", "Re&fuse"},
                                           {TAction::Forget, "Forget", "For&get"}};

// Asks for the sessions a device may use ("1,3", empty for every one);
// nullopt when the operator cancels. Tests replace it.
extern std::function<std::optional<QString>(QWidget* parent, const QString& current)> AskSessions;

// Asks what the action needs (sessions, or whether to forget), then takes the
// decision on jobs' thread, logs it and refreshes the server's snapshot (a
// refused or forgotten device is disconnected at its next request). decided
// runs on the window's thread once it is written; errors go to a message box.
void Decide(QWidget* parent, TServerControl& app, TZel_JobRunner& jobs,
            std::shared_ptr<TDeviceRegistry> registry, const std::string& key, TAction action,
            std::function<void()> decided = {});

// Opens the window for new devices for minutes from now (closes it for 0) on
// jobs' thread, and logs it; done runs on the window's thread afterwards.
void AcceptNewFor(QWidget* parent, TZel_JobRunner& jobs, std::shared_ptr<TDeviceRegistry> registry,
                  int minutes, std::function<void()> done = {});
} // namespace TDeviceActions
