#include "app/ServerThread.h"

#include <QObject>

#include "base/Exception.h"
#include "net/EpollEventDispatcher.h"

class TServerThread::TLoop : public QThread {
public:
    // Set before the mailbox's poster is handed over, read-only afterwards.
    QObject* Context = nullptr;
    std::promise<TEventLoopMailbox::TPoster> Ready;

protected:
    void run() override {
        QObject context;
        Context = &context;
        // Made here, so that what is posted to it runs on this thread.
        TEventLoopMailbox inbox;
        Ready.set_value(inbox.Poster());
        exec();
        // What the context still parents goes with it, on this thread.
    }
};

TServerThread::TServerThread() : m_thread(std::make_unique<TLoop>()) {
    m_thread->setObjectName(QStringLiteral("server"));
    m_thread->setEventDispatcher(new TEpollEventDispatcher);
    auto ready = m_thread->Ready.get_future();
    m_thread->start();
    m_poster = ready.get();
}

TServerThread::~TServerThread() {
    Post([loop = m_thread.get()] { loop->quit(); });
    m_thread->wait();
}

bool TServerThread::IsCurrent() const {
    return QThread::currentThread() == static_cast<QThread*>(m_thread.get());
}

QObject* TServerThread::Context() const {
    return m_thread->Context;
}

void TServerThread::Post(std::function<void()> work) const {
    if (!m_poster.Post(std::move(work)))
        throw Exception("The server's thread has ended");
}
