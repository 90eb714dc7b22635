#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>

class QEvent;
class TTestHandheld;
class TZelWirelessClient;
class TZelWirelessServer;

// Stands in for the main window: counts the change events posted to it.
class TChangeCounter : public QObject {
public:
    int Count = 0;

protected:
    bool event(QEvent* event) override;
};

// A wireless server on a free loopback port, enabled, with the log captured
// (messages as they are, errors prefixed "ERROR: "). Lives on the main thread.
class TTestServer {
public:
    TTestServer();
    ~TTestServer();
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;

    TZelWirelessServer& Server() { return *m_server; }
    int Port() const { return m_port; }

    // Connects the handheld and waits until the server lists its client.
    TZelWirelessClient* Connect(TTestHandheld& handheld, int receiveBuffer = 0);
    // Lines of the log that contain the text.
    int LogCount(const std::string& text) const;

    TChangeCounter Owner;
    std::vector<std::string> Log;

private:
    int m_port = 0;
    std::unique_ptr<TZelWirelessServer> m_server;
};
