#include "base/UserRegistry.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <memory>

#include "base/Platform.h"

namespace {

const char* const kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool IsAutostartKey(const std::string& keyPath) {
    std::string key = keyPath;
    while (!key.empty() && key.front() == '\\')
        key.erase(0, 1);
    return QString::fromStdString(key).compare(QString::fromLatin1(kRunKey + 1), Qt::CaseInsensitive) == 0;
}

QString AutostartFile() {
    return QString::fromStdString(Platform::AutostartDir() + "/zel-wireless-server.desktop");
}

std::unique_ptr<QSettings> UserStore() {
    return std::make_unique<QSettings>(QString::fromStdString(Platform::UserConfigDir() + "/registry.ini"),
                                       QSettings::IniFormat);
}

QString StoreKey(const std::string& keyPath, const std::string& valueName) {
    QString key = QString::fromStdString(keyPath);
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (key.startsWith(QLatin1Char('/')))
        key.remove(0, 1);
    return key + QLatin1Char('/') + QString::fromStdString(valueName);
}

// The autostart value is the command line; it is backed by an XDG autostart
// entry so that reading it back tells whether the desktop will really start us.
void WriteAutostart(const std::string& command) {
    QDir().mkpath(QString::fromStdString(Platform::AutostartDir()));
    QSaveFile file(AutostartFile());
    if (!file.open(QIODevice::WriteOnly))
        return;
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Zel Wireless Server\nExec=" + command +
                              "\nX-GNOME-Autostart-enabled=true\n";
    file.write(entry.data(), static_cast<qint64>(entry.size()));
    file.commit();
}

std::string ReadAutostart() {
    QFile file(AutostartFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith("Exec="))
            return line.mid(5).toStdString();
    }
    return {};
}

} // namespace

void WriteUserRegString(const std::string& keyPath, const std::string& valueName, const std::string& text) {
    try {
        if (IsAutostartKey(keyPath) && valueName == "Zel Wireless Server") {
            if (text.empty())
                QFile::remove(AutostartFile());
            else
                WriteAutostart(text);
            return;
        }
        auto store = UserStore();
        store->setValue(StoreKey(keyPath, valueName), QString::fromStdString(text));
        store->sync();
    } catch (...) {
    }
}

std::string ReadUserRegString(const std::string& keyPath, const std::string& valueName) {
    try {
        if (IsAutostartKey(keyPath) && valueName == "Zel Wireless Server")
            return ReadAutostart();
        return UserStore()->value(StoreKey(keyPath, valueName)).toString().toStdString();
    } catch (...) {
        return {};
    }
}
