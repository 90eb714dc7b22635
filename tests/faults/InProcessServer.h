#pragma once

#include <memory>
#include <string>

#include "support/TestHandheld.h"
#include "support/TestPrefs.h"
#include "support/TestServer.h"

class TZelWirelessClient;

// An in-process server (loopback, free port, captured log) whose sessions
// come from a configuration file of the test, installed as g_PrefsMgr.
class TInProcessServer {
public:
    // configName: a file name inside the ODBC test folder; sections: its content.
    TInProcessServer(const std::string& configName, const std::string& sections);
    ~TInProcessServer();

    // Connects, greets, logs in (serial must be unique among the open
    // handhelds) and selects the session; the client, or nullptr on failure.
    TZelWirelessClient* Open(TTestHandheld& handheld, const std::string& user, const std::string& serial,
                             int session = 1, int receiveBuffer = 0);
    // Sends one frame and reads the reply while the server serves.
    THandheldFrame Exchange(TTestHandheld& handheld, const std::string& type, const std::string& payload);

private:
    // Before Test: the clients are freed before the configuration they read.
    std::unique_ptr<TTestPrefs> m_prefs;

public:
    TTestServer Test;
};

// The message and context texts of a "PCERR" reply, or "not PCERR: <type>".
std::string ErrorText(const THandheldFrame& reply);
