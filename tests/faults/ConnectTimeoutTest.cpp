#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "data/odbc/OdbcConnection.h"
#include "data/odbc/OdbcEnvironment.h"
#include "support/OdbcTestEnv.h"

// A data source whose server takes the connection and then never answers
// (a hung host, a firewall that swallows the replies): the connect gives up
// after the login timeout instead of holding the server's only thread.

namespace {

OdbcTestEnv* const g_odbc = OdbcTestEnv::Register();

// A loopback socket that listens and never accepts: the kernel completes the
// handshake, and nothing ever reads or answers.
class TSilentListener {
public:
    TSilentListener() {
        m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_handle, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(m_handle, 8) == 0 &&
            ::getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~TSilentListener() { Close(); }
    void Close() {
        if (m_handle >= 0)
            ::close(m_handle);
        m_handle = -1;
    }
    int Port() const { return m_port; }

private:
    int m_handle = -1;
    int m_port = 0;
};

TEST(ConnectTimeoutTest, AServerThatNeverAnswersFailsTheConnectInSeconds) {
    TSilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    const std::string dsn = "ZelTestSilent";
    std::ofstream(OdbcTestEnv::Get().Folder() + "/odbc.ini", std::ios::app)
        << "[" << dsn << "]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" << silent.Port()
        << "\nDatabase=zel\nUsername=zel\n";

    auto connection = std::make_shared<TOdbcConnection>(std::make_shared<TOdbcEnvironment>());
    auto attempt = std::async(std::launch::async, [connection, dsn] {
        try {
            connection->Open(dsn, "zel", "");
            return std::string("connected");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    // Generous against a slow machine; without a timeout it never ends.
    const bool ended = attempt.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    silent.Close(); // ends a hanging attempt, so the test program can finish
    ASSERT_TRUE(ended) << "the connect is still waiting for the server";
    EXPECT_NE(attempt.get(), "connected");
    EXPECT_FALSE(connection->IsOpen());
}

} // namespace
