#include "ui/DeviceActions.h"

#include <QDateTime>
#include <QInputDialog>

#include "app/ServerControl.h"
#include "base/DeviceRegistry.h"
#include "base/Zel_EventLogger.h"
#include "data/Zel_JobRunner.h"
#include "ui/MessageBox.h"

namespace TDeviceActions {

std::function<std::optional<QString>(QWidget*, const QString&)> AskSessions =
    [](QWidget* parent, const QString& current) -> std::optional<QString> {
    bool ok = false;
    const QString text = QInputDialog::getText(
        parent, QStringLiteral("Sessions"),
        QStringLiteral("Session numbers this device may use (e.g. 1,3; empty for every session):"),
        QLineEdit::Normal, current, &ok);
    if (!ok)
        return std::nullopt;
    return text;
};

namespace {

using TWrite = std::function<TDeviceRecord(TDeviceRegistry&)>;

void ShowError(QWidget* parent, const std::exception& error) {
    TMessageBox::Show(parent, QString::fromStdString(error.what()), QMessageBox::Warning);
}

// True when the job went well; otherwise the operator is told why.
bool Succeeded(QWidget* parent, const std::exception_ptr& error) {
    if (!error)
        return true;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ShowError(parent, e);
    }
    return false;
}

// Runs the write on the worker and reports it; the completion is dropped
// with the runner, so parent is alive whenever it runs.
void Write(QWidget* parent, TServerControl& app, TZel_JobRunner& jobs,
           std::shared_ptr<TDeviceRegistry> registry, TWrite write, std::function<void()> decided) {
    jobs.Run([registry, write = std::move(write)](
                 TZel_JobRunner::TControl&) { LogInfo(DecisionLogText(write(*registry))); },
             [parent, &app, decided = std::move(decided)](std::exception_ptr error) {
                 if (!Succeeded(parent, error))
                     return;
                 app.Refresh();
                 if (decided)
                     decided();
             });
}

// Sessions...: the device's current list, read on the worker, fills the question.
void AskAndLimitSessions(QWidget* parent, TServerControl& app, TZel_JobRunner& jobs,
                         std::shared_ptr<TDeviceRegistry> registry, const std::string& key,
                         std::function<void()> decided) {
    auto current = std::make_shared<TDeviceRecord>();
    jobs.Run([registry, key, current](TZel_JobRunner::TControl&) { *current = registry->Get(key); },
             [=, &app, &jobs](std::exception_ptr error) {
                 if (!Succeeded(parent, error))
                     return;
                 try {
                     const std::optional<QString> answer =
                         AskSessions(parent, QString::fromStdString(SessionListText(current->Sessions)));
                     if (!answer)
                         return;
                     const std::string text = answer->trimmed().toStdString();
                     TDeviceRegistry::TAccess access;
                     access.Sessions = text.empty() ? std::vector<int>() : ParseSessionList(text);
                     Write(
                         parent, app, jobs, registry,
                         [key, access](TDeviceRegistry& devices) {
                             return devices.Allow(key, access, TDecisionSource::OperatorWindow);
                         },
                         decided);
                 } catch (const std::exception& e) {
                     ShowError(parent, e);
                 }
             });
}

} // namespace

void Decide(QWidget* parent, TServerControl& app, TZel_JobRunner& jobs,
            std::shared_ptr<TDeviceRegistry> registry, const std::string& key, TAction action,
            std::function<void()> decided) {
    if (!registry || key.empty())
        return;
    TWrite write;
    switch (action) {
    case TAction::Allow:
    case TAction::AllowReadOnly: {
        // The session limit stays as it is.
        TDeviceRegistry::TAccess access;
        access.ReadOnly = action == TAction::AllowReadOnly;
        write = [key, access](TDeviceRegistry& devices) {
            return devices.Allow(key, access, TDecisionSource::OperatorWindow);
        };
        break;
    }
    case TAction::Sessions:
        AskAndLimitSessions(parent, app, jobs, std::move(registry), key, std::move(decided));
        return;
    case TAction::Refuse:
        write = [key](TDeviceRegistry& devices) {
            return devices.Refuse(key, TDecisionSource::OperatorWindow);
        };
        break;
    case TAction::Forget:
        if (TMessageBox::Ask(parent, QStringLiteral("Forget the device %1? It will wait for approval "
                                                    "again the next time it logs in.")
                                         .arg(QString::fromStdString(key))) != QMessageBox::Yes)
            return;
        write = [key](TDeviceRegistry& devices) {
            return devices.Forget(key, TDecisionSource::OperatorWindow);
        };
        break;
    }
    Write(parent, app, jobs, std::move(registry), std::move(write), std::move(decided));
}

void AcceptNewFor(QWidget* parent, TZel_JobRunner& jobs, std::shared_ptr<TDeviceRegistry> registry,
                  int minutes, std::function<void()> done) {
    if (!registry)
        return;
    jobs.Run(
        [registry, minutes](TZel_JobRunner::TControl&) {
            const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(int64_t(minutes) * 60);
            registry->SetAcceptNewUntil(minutes > 0 ? until : QDateTime());
            LogInfo(minutes > 0
                        ? "New devices are accepted until " +
                              until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm")).toStdString() +
                              ", by operator window"
                        : std::string("New devices are no longer accepted, by operator window"));
        },
        [parent, done = std::move(done)](std::exception_ptr error) {
            if (Succeeded(parent, error) && done)
                done();
        });
}

} // namespace TDeviceActions
