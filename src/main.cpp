#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "app/HeadlessHost.h"
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
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[]) {
    InstallEpollEventDispatcher();
    QCoreApplication app(argc, argv);
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
    parser.addOption(headlessOption);
    parser.addOption(configOption);
    parser.process(app);

    TSingleInstance instance(GetInstanceMutexName(parser.value(configOption).toStdString()));
    if (!instance.Acquire())
        return 0;

    if (!parser.isSet(headlessOption))
        std::fprintf(stderr, "%s\n",
                     HasDisplay() ? "This build has no operator window: running headless."
                                  : "No display available: running headless.");

    const TAppPaths paths =
        MakeAppPaths(Platform::ExecutablePath(), parser.value(configOption).toStdString());
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

    zel->EnableServer();
    if (!zel->Server()->IsEnabled()) {
        std::fprintf(stderr, "Could not listen on %s:%d: %s\n", zel->Server()->IPAddress.c_str(),
                     zel->Server()->Port, zel->Server()->ListenSocket->LastErrorText.c_str());
        zel->Terminate();
        return 1;
    }
    NotifyService("READY=1\nSTATUS=" + zel->StatusText());

    return app.exec();
}
