#include "ui/OperatorProgram.h"

#include <QApplication>
#include <QSessionManager>
#include <QTimer>

#include "base/Platform.h"
#include "base/SignalWatcher.h"
#include "base/WirelessPrefsMgr.h"
#include "base/Zel_EventLogger.h"
#include "ui/DrawnImages.h"
#include "ui/GuardedCall.h"
#include "ui/MessageBox.h"
#include "ui/ThemeIcons.h"
#include "ui/frm_MainContainer.h"
#include "ui/frm_SplashScreen.h"

namespace {

constexpr int kQuitPollMs = 200;

// A request to end (the configuration file could not be made) waits until
// the operator has read the messages that explain it.
void QuitAfterMessages() {
    if (TMessageBox::PendingPosts() > 0) {
        QTimer::singleShot(kQuitPollMs, &QuitAfterMessages);
        return;
    }
    QCoreApplication::exit(1);
}

} // namespace

void ConfigureOperatorApplication() {
    QApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setDesktopFileName(QStringLiteral("zel-wireless-server"));
    QApplication::setWindowIcon(DrawApplicationIcon());
    UseFallbackIconTheme();
    // The core calls these on whatever thread it runs (the server's, mostly):
    // boxes and the quit belong to the GUI thread.
    Platform::SetMessageHook([](const std::string& text) {
        QMetaObject::invokeMethod(
            qApp, [box = QString::fromStdString(text)] { TMessageBox::Post(box); }, Qt::QueuedConnection);
    });
    Platform::SetQuitHook([] { QMetaObject::invokeMethod(qApp, &QuitAfterMessages, Qt::QueuedConnection); });
}

int RunOperatorProgram() {
    ConfigureOperatorApplication();
    TfrmMainContainer window(g_PrefsMgr);
    QObject::connect(&window, &TfrmMainContainer::terminated, qApp,
                     [] { QTimer::singleShot(0, [] { QCoreApplication::exit(0); }); });

    // A stop request of the system or the end of the session is an exit
    // without the question: the settings and the placement are written.
    TSignalWatcher signalWatcher([&window](int) {
        Guarded([&window] {
            LogInfo("Server stopping");
            window.DoTerminate();
        });
    });
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { Guarded([&window] { window.DoTerminate(); }); });

    // The main window appears when the splash has gone, as after a modal
    // splash, while the loop (and the start-up timer) already runs.
    TfrmSplashScreen splash;
    QObject::connect(&splash, &TfrmSplashScreen::closed, &window, [&window] {
        Guarded([&window] {
            window.show();
            window.raise();
            window.activateWindow();
        });
    });
    splash.ShowModal();
    return QApplication::exec();
}
