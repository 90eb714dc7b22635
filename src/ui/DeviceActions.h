#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;
class TDeviceRegistry;
class TServerControl;

// The operator's decisions about one device, shared by the Devices view and
// the monitor's context menu. The registry is safe to use from any thread;
// its decisions are small file writes, never the server's loop or a database.
namespace TDeviceActions {
enum class TAction { Allow, AllowReadOnly, Sessions, Refuse, Forget };

// The server's registry, asked once of the server's thread; null before the server exists.
std::shared_ptr<TDeviceRegistry> Registry(TServerControl& app);

// Asks for the sessions a device may use ("1,3", empty for every one);
// nullopt when the operator cancels. Tests replace it.
extern std::function<std::optional<QString>(QWidget* parent, const QString& current)> AskSessions;

// Takes the decision, logs it and refreshes the server's snapshot (a refused
// or forgotten device is disconnected at its next request); errors go to a
// message box. False when nothing was decided.
bool Decide(QWidget* parent, TServerControl& app, TDeviceRegistry& registry, const std::string& key,
            TAction action);

// Opens the window for new devices for minutes from now, and logs it.
void AcceptNewFor(TDeviceRegistry& registry, int minutes);
} // namespace TDeviceActions
