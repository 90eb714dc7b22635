#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/DeviceCommand.h"
#include "app/HeadlessHost.h"
#include "app/StallProbe.h"
#include "app/ZelApplication.h"
#include "base/AppPaths.h"
#include "base/LogFileSink.h"
#include "base/Platform.h"
#include "base/SignalWatcher.h"
#include "base/SingleInstance.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "base/Zel_Lib.h"
#include "net/EpollEventDispatcher.h"
#include "net/Zel_Socket.h"
#include "server/WirelessServer.h"
#include "ui/OperatorProgram.h"

#ifdef ZEL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

void NotifyService([[maybe_unused]] const std::string& state) {
#ifdef ZEL_HAVE_SYSTEMD
    sd_notify(0, state.c_str());
#endif
}

bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

bool HasArgument(int argc, char* argv[], const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], name) == 0)
            return true;
    }
    return false;
}

int RunHeadless(const QString& configFile, const QString& stallProbeFile);
int Run(bool withWindows);

} // namespace

// The mode is chosen before the application object exists: windows need a
// QApplication, on Qt's own dispatcher (the server gets a thread of its own);
// headless, the server's loop is the main thread's, on the epoll dispatcher.
int main(int argc, char* argv[]) {
    // The device command never opens a window.
    const bool withWindows =
        !HasArgument(argc, argv, "--headless") && !HasArgument(argc, argv, "--devices") && HasDisplay();
    if (withWindows) {
        QApplication app(argc, argv);
        return Run(true);
    }
    InstallEpollEventDispatcher();
    QCoreApplication app(argc, argv);
    return Run(false);
}

namespace {

int Run(bool withWindows) {
    QCoreApplication::setApplicationName(QStringLiteral("Zel Wireless Server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves handheld data-collection terminals over TCP (port 4402 unless configured)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"), QStringLiteral("Run without windows; log to the log file and stderr."));
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QStringLiteral(
            "Use FILE as the configuration file (the log file and diag.dll are then taken beside it)."),
        QStringLiteral("FILE"));
    // For benchmarks: how long the event loop is kept from serving (headless only).
    QCommandLineOption stallProbeOption(
        QStringLiteral("stall-probe"),
        QStringLiteral("Append the event loop's longest delay each second to FILE."), QStringLiteral("FILE"));
    stallProbeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption devicesOption(
        QStringLiteral("devices"),
        QStringLiteral("Change or list the device registry beside the configuration file and exit: "
                       "list | allow SERIAL [--read-only] [--sessions 1,3] | refuse SERIAL | forget SERIAL | "
                       "accept-new MINUTES. Works while the server runs; it sees the change at once."),
        QStringLiteral("ACTION"));
    const QCommandLineOption readOnlyOption(
        QStringLiteral("read-only"), QStringLiteral("With --devices allow: the device may only read."));
    const QCommandLineOption sessionsOption(
        QStringLiteral("sessions"),
        QStringLiteral("With --devices allow: the session numbers the device may use (default: all)."),
        QStringLiteral("LIST"));
    parser.addOption(headlessOption);
    parser.addOption(configOption);
    parser.addOption(devicesOption);
    parser.addOption(readOnlyOption);
    parser.addOption(sessionsOption);
    parser.addOption(stallProbeOption);
    parser.addPositionalArgument(
        QStringLiteral("SERIAL|MINUTES"),
        QStringLiteral("The argument of --devices allow, refuse, forget or accept-new."));
    parser.process(*QCoreApplication::instance());

    if (parser.isSet(devicesOption)) {
        TDeviceCommand command;
        command.ConfigFile =
            MakeAppPaths(Platform::ExecutablePath(), parser.value(configOption).toStdString()).ConfigFile;
        command.Action = parser.value(devicesOption).toStdString();
        for (const QString& argument : parser.positionalArguments())
            command.Arguments.push_back(argument.toStdString());
        command.ReadOnly = parser.isSet(readOnlyOption);
        command.SessionsGiven = parser.isSet(sessionsOption);
        command.Sessions = parser.value(sessionsOption).toStdString();
        return RunDeviceCommand(command, stdout, stderr);
    }
    if (parser.isSet(readOnlyOption) || parser.isSet(sessionsOption)) {
        std::fprintf(stderr, "ZelWireless: --read-only and --sessions go with --devices allow\n");
        return 2;
    }

    TSingleInstance instance(GetInstanceMutexName(parser.value(configOption).toStdString()));
    if (!instance.Acquire())
        return 0;

    if (withWindows) {
        g_PrefsMgr = new TZel_WirelessPrefsMgr(
            MakeAppPaths(Platform::ExecutablePath(), parser.value(configOption).toStdString()));
        return RunOperatorProgram();
    }
    if (!parser.isSet(headlessOption))
        std::fprintf(stderr, "No display available: running headless.\n");
    return RunHeadless(parser.value(configOption), parser.value(stallProbeOption));
}

int RunHeadless(const QString& configFile, const QString& stallProbeFile) {
    const TAppPaths paths = MakeAppPaths(Platform::ExecutablePath(), configFile.toStdString());
    g_PrefsMgr = new TZel_WirelessPrefsMgr(paths);

    std::unique_ptr<TZelApplication> zel;
    THeadlessHost host([&zel] {
        if (zel)
            zel->CleanupClosedClients();
    });
    zel = std::make_unique<TZelApplication>(&host, g_PrefsMgr);
    zel->OnStatusChange = [&zel] { NotifyService("STATUS=" + zel->StatusText()); };
    try {
        zel->Create(MakeLogFileSink([] { return g_PrefsMgr->LogFilename; }, true));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Start-up failed: %s\n", ExceptionText(e).c_str());
        return 1;
    }
    // What the client monitor does when it opens at start-up.
    ResetLogFile(g_PrefsMgr->LogFilename);

    // Before the server announces itself: a stop request that follows the
    // announcement must find the handler that writes the settings.
    TSignalWatcher signalWatcher([&](int) {
        NotifyService("STOPPING=1");
        LogInfo("Server stopping");
        zel->Terminate();
        QCoreApplication::exit(0);
    });

    std::unique_ptr<TStallProbe> stallProbe;
    if (!stallProbeFile.isEmpty()) {
        try {
            stallProbe = std::make_unique<TStallProbe>(stallProbeFile.toStdString());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            zel->Terminate();
            return 1;
        }
    }
    zel->EnableServer();
    if (!zel->Server()->IsEnabled()) {
        std::fprintf(stderr, "Could not listen on %s:%d: %s\n", zel->Server()->IPAddress.c_str(),
                     zel->Server()->Port, zel->Server()->ListenSocket->LastErrorText.c_str());
        zel->Terminate();
        return 1;
    }
    NotifyService("READY=1\nSTATUS=" + zel->StatusText());

    return QCoreApplication::exec();
}

} // namespace
