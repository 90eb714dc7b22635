#include "net/WinsockUtil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unordered_map>

#include "base/Exception.h"

namespace {

const std::unordered_map<int32_t, const char*>& ErrorNames() {
    static const std::unordered_map<int32_t, const char*> names = {
        {0, "SUCCESS"},
        {10004, "WSAEINTR"},
        {10009, "WSAEBADF"},
        {10013, "WSAEACCES"},
        {10014, "WSAEFAULT"},
        {10022, "WSAEINVAL"},
        {10024, "WSAEMFILE"},
        {10035, "WSAEWOULDBLOCK"},
        {10036, "WSAEINPROGRESS"},
        {10037, "WSAEALREADY"},
        {10038, "WSAENOTSOCK"},
        {10039, "WSAEDESTADDRREQ"},
        {10040, "WSAEMSGSIZE"},
        {10041, "WSAEPROTOTYPE"},
        {10042, "WSAENOPROTOOPT"},
        {10043, "WSAEPROTONOSUPPORT"},
        {10044, "WSAESOCKTNOSUPPORT"},
        {10045, "WSAEOPNOTSUPP"},
        {10046, "WSAEPFNOSUPPORT"},
        {10047, "WSAEAFNOSUPPORT"},
        {10048, "WSAEADDRINUSE"},
        {10049, "WSAEADDRNOTAVAIL"},
        {10050, "WSAENETDOWN"},
        {10051, "WSAENETUNREACH"},
        {10052, "WSAENETRESET"},
        {10053, "WSAECONNABORTED"},
        {10054, "WSAECONNRESET"},
        {10055, "WSAENOBUFS"},
        {10056, "WSAEISCONN"},
        {10057, "WSAENOTCONN"},
        {10058, "WSAESHUTDOWN"},
        {10059, "WSAETOOMANYREFS"},
        {10060, "WSAETIMEDOUT"},
        {10061, "WSAECONNREFUSED"},
        {10062, "WSAELOOP"},
        {10063, "WSAENAMETOOLONG"},
        {10064, "WSAEHOSTDOWN"},
        {10065, "WSAEHOSTUNREACH"},
        {10066, "WSAENOTEMPTY"},
        {10067, "WSAEPROCLIM"},
        {10068, "WSAEUSERS"},
        {10069, "WSAEDQUOT"},
        {10070, "WSAESTALE"},
        {10071, "WSAEREMOTE"},
        {10091, "WSASYSNOTREADY"},
        {10092, "WSAVERNOTSUPPORTED"},
        {10093, "WSANOTINITIALISED"},
        {10101, "WSAEDISCON"},
        {11001, "WSAHOST_NOT_FOUND"},
        {11002, "WSATRY_AGAIN"},
        {11003, "WSANO_RECOVERY"},
        {11004, "WSANO_DATA/ADDRESS"},
        {65533, "LOCAL_ERROR"},
        {65534, "PROTOCOL_ERROR"},
        {-1, "INVALID_SOCKET"},
    };
    return names;
}

// errno values that mean what a Winsock code means.
const std::unordered_map<int, int32_t>& ErrnoCodes() {
    static const std::unordered_map<int, int32_t> codes = {
        {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
        {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
        {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
        {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
        {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},        {EISCONN, 10056},
        {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},        {EDQUOT, 10069},
        {ESTALE, 10070},          {EREMOTE, 10071},
    };
    return codes;
}

} // namespace
std::string SocketErrorName(int32_t code) {
    const auto it = ErrorNames().find(code);
    if (it != ErrorNames().end())
        return it->second;
    return "(WINSOCK err #" + std::to_string(code) + ")";
}

int32_t WinsockErrorFromErrno(int err) {
    if (err == 0)
        return 0;
    if (err == EWOULDBLOCK)
        return 10035;
    const auto it = ErrnoCodes().find(err);
    // An errno with no Winsock counterpart is still a failure of this host.
    return it != ErrnoCodes().end() ? it->second : 65533;
}

bool GetNonLoopbackInterfaces(std::vector<std::string>* list) {
    if (!list)
        throw Exception("GetNonLoopbackInterfaces: missing string list, cannot continue");
    list->clear();
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return false;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
            list->emplace_back(text);
    }
    ::freeifaddrs(interfaces);
    return true;
}
