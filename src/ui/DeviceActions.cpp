#include "ui/DeviceActions.h"

#include <QDateTime>
#include <QInputDialog>

#include "app/ServerControl.h"
#include "app/ZelApplication.h"
#include "base/DeviceRegistry.h"
#include "base/Zel_EventLogger.h"
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

std::shared_ptr<TDeviceRegistry> Registry(TServerControl& app) {
    if (!app.HasServer())
        return nullptr;
    return app.Call([](TZelApplication& zel) { return zel.Devices(); });
}

bool Decide(QWidget* parent, TServerControl& app, TDeviceRegistry& registry, const std::string& key,
            TAction action) {
    try {
        std::optional<TDeviceRecord> current = registry.Find(key);
        if (!current)
            throw Exception("The device " + key + " is not in the registry");
        TDeviceRecord record;
        switch (action) {
        case TAction::Allow:
        case TAction::AllowReadOnly:
            record = registry.Allow(key, action == TAction::AllowReadOnly, current->Sessions,
                                    TDecisionSource::OperatorWindow);
            break;
        case TAction::Sessions: {
            const std::optional<QString> answer =
                AskSessions(parent, QString::fromStdString(SessionListText(current->Sessions)));
            if (!answer)
                return false;
            const std::string text = answer->trimmed().toStdString();
            const std::vector<int> sessions = text.empty() ? std::vector<int>() : ParseSessionList(text);
            record = registry.Allow(key, current->ReadOnly, sessions, TDecisionSource::OperatorWindow);
            break;
        }
        case TAction::Refuse:
            record = registry.Refuse(key, TDecisionSource::OperatorWindow);
            break;
        case TAction::Forget:
            if (TMessageBox::Ask(parent, QStringLiteral("Forget the device %1? It will wait for approval "
                                                        "again the next time it logs in.")
                                             .arg(QString::fromStdString(key))) != QMessageBox::Yes)
                return false;
            record = registry.Forget(key, TDecisionSource::OperatorWindow);
            break;
        }
        LogInfo(DecisionLogText(record));
    } catch (const std::exception& error) {
        TMessageBox::Show(parent, QString::fromStdString(error.what()), QMessageBox::Warning);
        return false;
    }
    app.Refresh();
    return true;
}

void AcceptNewFor(TDeviceRegistry& registry, int minutes) {
    const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(int64_t(minutes) * 60);
    registry.SetAcceptNewUntil(minutes > 0 ? until : QDateTime());
    LogInfo(minutes > 0 ? "New devices are accepted until " +
                              until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm")).toStdString() +
                              ", by operator window"
                        : std::string("New devices are no longer accepted, by operator window"));
}

} // namespace TDeviceActions
