#include <cerrno>
#include <gtest/gtest.h>

#include "base/Exception.h"
#include "net/WinsockUtil.h"

namespace {

TEST(WinsockUtil, ErrorNames) {
    struct Case {
        int32_t code;
        const char* name;
    } cases[] = {
        {0, "SUCCESS"},
        {10004, "WSAEINTR"},
        {10035, "WSAEWOULDBLOCK"},
        {10037, "WSAEALREADY"},
        {10048, "WSAEADDRINUSE"},
        {10054, "WSAECONNRESET"},
        {10071, "WSAEREMOTE"},
        {10093, "WSANOTINITIALISED"},
        {10101, "WSAEDISCON"},
        {11001, "WSAHOST_NOT_FOUND"},
        {11004, "WSANO_DATA/ADDRESS"},
        {65533, "LOCAL_ERROR"},
        {65534, "PROTOCOL_ERROR"},
        {-1, "INVALID_SOCKET"},
        {12, "(WINSOCK err #12)"},
        {10001, "(WINSOCK err #10001)"},
        {10102, "(WINSOCK err #10102)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SocketErrorName(c.code), c.name) << c.code;
}

TEST(WinsockUtil, ErrnoMapsToTheCodeOfTheSameMeaning) {
    EXPECT_EQ(WinsockErrorFromErrno(0), 0);
    EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(EIO), 65533);
}

TEST(WinsockUtil, InterfacesAreUpNonLoopbackIPv4) {
    EXPECT_THROW(GetNonLoopbackInterfaces(nullptr), Exception);
    std::vector<std::string> list = {"stale"};
    ASSERT_TRUE(GetNonLoopbackInterfaces(&list));
    for (const std::string& address : list) {
        EXPECT_NE(address.rfind("127.", 0), 0u) << address;
        EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3) << address;
    }
    EXPECT_EQ(std::find(list.begin(), list.end(), "stale"), list.end());
}

} // namespace
