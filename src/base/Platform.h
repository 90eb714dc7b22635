#pragma once

#include <functional>
#include <string>

// What the core must show to the operator or ask of the desktop goes through
// these hooks: the GUI fills them with widgets, headless mode leaves the
// defaults (stderr, leaving the event loop).
namespace Platform {

using MessageHook = std::function<void(const std::string& text)>;
using QuitHook = std::function<void()>;

// Shows a modal OK message to the operator (default: a line on stderr).
void ShowMessage(const std::string& text);
void SetMessageHook(MessageHook hook);

// Asks the application to end (default: QCoreApplication::exit(1) once the loop runs).
void RequestQuit();
void SetQuitHook(QuitHook hook);

// Canonical full path of the running executable.
std::string ExecutablePath();
// $XDG_CONFIG_HOME/ZelWireless (or ~/.config/ZelWireless).
std::string UserConfigDir();
// ~/.config/autostart (honouring $XDG_CONFIG_HOME).
std::string AutostartDir();

} // namespace Platform
