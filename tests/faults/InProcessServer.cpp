#include "InProcessServer.h"

#include <gtest/gtest.h>

#include "server/WirelessClient.h"
#include "support/EventLoop.h"
#include "support/Files.h"
#include "support/OdbcTestEnv.h"

TInProcessServer::TInProcessServer(const std::string& configName, const std::string& sections)
    : m_prefs(std::make_unique<TTestPrefs>(OdbcTestEnv::Get().Folder(), configName,
                                           "Mar-07 14:05:09: \r\n" + sections)) {}

TInProcessServer::~TInProcessServer() = default;

TZelWirelessClient* TInProcessServer::Open(TTestHandheld& handheld, const std::string& user,
                                           const std::string& serial, int session, int receiveBuffer) {
    TZelWirelessClient* client = Test.Connect(handheld, receiveBuffer);
    if (!client)
        return nullptr;
    THandheldFrame hello, login, selected;
    const bool inTime = RunPumping([&] {
        hello = handheld.Hello();
        login = handheld.Login(user, serial);
        selected = handheld.SelectSession(session);
    });
    EXPECT_TRUE(inTime);
    EXPECT_EQ(hello.Type, "PCHELO");
    EXPECT_EQ(login.Type, "PCLOGIN");
    EXPECT_EQ(selected.Text(0, 1), "Y") << selected.Text(1, 200);
    return selected.Text(0, 1) == "Y" ? client : nullptr;
}

THandheldFrame TInProcessServer::Exchange(TTestHandheld& handheld, const std::string& type,
                                          const std::string& payload) {
    THandheldFrame reply;
    EXPECT_TRUE(RunPumping([&] {
        handheld.SendFrame(type, payload);
        reply = handheld.ReadFrame();
    }));
    return reply;
}

std::string ErrorText(const THandheldFrame& reply) {
    if (reply.Type != "PCERR")
        return "not PCERR: " + reply.Type;
    return reply.Text(1, 250) + " | " + reply.Text(251, 250);
}
