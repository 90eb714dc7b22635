#include "support/TestServer.h"

#include <QEvent>

#include "base/Zel_EventLogger.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"
#include "support/EventLoop.h"
#include "support/TestHandheld.h"

bool TChangeCounter::event(QEvent* event) {
    if (event->type() == static_cast<QEvent::Type>(WM_WIRELESS_CHANGE)) {
        ++Count;
        return true;
    }
    return QObject::event(event);
}

TTestServer::TTestServer() {
    EnsureTestApp();
    GetLogger()->OnLogMessage = [this](const std::string& text) { Log.push_back(text); };
    GetLogger()->OnLogError = [this](const std::string& text) { Log.push_back("ERROR: " + text); };
    m_port = FreeLoopbackPort();
    m_server = std::make_unique<TZelWirelessServer>(&Owner);
    m_server->IPAddress = "127.0.0.1";
    m_server->Port = m_port;
    m_server->SetEnabled(true);
}

TTestServer::~TTestServer() {
    m_server.reset();
    PumpFor(5);
    GetLogger()->OnLogMessage = nullptr;
    GetLogger()->OnLogError = nullptr;
    SetVerbose(false);
}

TZelWirelessClient* TTestServer::Connect(TTestHandheld& handheld, int receiveBuffer) {
    const size_t before = m_server->Clients.size();
    if (!handheld.Connect(m_port, 5000, receiveBuffer))
        return nullptr;
    if (!PumpUntil([&] { return m_server->Clients.size() > before; }))
        return nullptr;
    return m_server->Clients.back().get();
}

int TTestServer::LogCount(const std::string& text) const {
    int count = 0;
    for (const std::string& line : Log)
        if (line.find(text) != std::string::npos)
            ++count;
    return count;
}
