#include "base/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace {

QString LockFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
        return QString::fromLocal8Bit(runtime);
    return QDir::tempPath();
}

} // namespace

TSingleInstance::TSingleInstance(const std::string& name) {
    // A path can be longer than a file name may be: name the lock by a digest
    // and keep the readable part short.
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(name), QCryptographicHash::Sha1).toHex().left(16);
    const QString file = LockFolder() + QStringLiteral("/zel-wireless-") + QString::fromLatin1(digest) +
                         QStringLiteral(".lock");
    m_lock = std::make_unique<QLockFile>(file);
    m_lock->setStaleLockTime(0);
}

TSingleInstance::~TSingleInstance() = default;

bool TSingleInstance::Acquire() {
    return m_lock->tryLock(0);
}
