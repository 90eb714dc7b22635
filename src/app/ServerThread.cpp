#include "app/ServerThread.h"

#include "net/EpollEventDispatcher.h"

TServerThread::TServerThread() : m_context(std::make_unique<QObject>()) {
    m_thread.setObjectName(QStringLiteral("server"));
    m_thread.setEventDispatcher(new TEpollEventDispatcher);
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

TServerThread::~TServerThread() {
    // The context goes on its own thread, with whatever it still parents:
    // the thread sends deferred deletions as it finishes.
    m_context.release()->deleteLater();
    m_thread.quit();
    m_thread.wait();
}

void TServerThread::Post(std::function<void()> work) {
    QMetaObject::invokeMethod(m_context.get(), std::move(work), Qt::QueuedConnection);
}

void TServerThread::Block(const std::function<void()>& work) {
    QMetaObject::invokeMethod(m_context.get(), work, Qt::BlockingQueuedConnection);
}
