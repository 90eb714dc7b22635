#include "base/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

Platform::MessageHook& MessageHookSlot() {
    static Platform::MessageHook hook;
    return hook;
}

Platform::QuitHook& QuitHookSlot() {
    static Platform::QuitHook hook;
    return hook;
}

std::string ConfigHome() {
    // A relative path is to be ignored: it would move with the current folder.
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (xdg.startsWith('/'))
        return xdg.toStdString();
    return QDir::homePath().toStdString() + "/.config";
}

} // namespace

namespace Platform {

void ShowMessage(const std::string& text) {
    if (MessageHookSlot()) {
        MessageHookSlot()(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void SetMessageHook(MessageHook hook) {
    MessageHookSlot() = std::move(hook);
}

void RequestQuit() {
    if (QuitHookSlot()) {
        QuitHookSlot()();
        return;
    }
    // Queued, so that a request made before the loop runs ends it at its first pass.
    if (QCoreApplication::instance())
        QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(1); });
}

void SetQuitHook(QuitHook hook) {
    QuitHookSlot() = std::move(hook);
}

std::string ExecutablePath() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    path[length] = '\0';
    return QFileInfo(QString::fromLocal8Bit(path)).canonicalFilePath().toStdString();
}

std::string UserConfigDir() {
    return ConfigHome() + "/ZelWireless";
}

std::string AutostartDir() {
    return ConfigHome() + "/autostart";
}

} // namespace Platform
