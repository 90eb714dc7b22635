#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

// One IPv4 network in CIDR notation ("192.168.10.0/24"; a bare address is /32).
// The server listens on IPv4 only, so IPv6 networks are refused by name.
struct TNetwork {
    uint32_t Address = 0; // host byte order, host bits cleared
    int PrefixLength = 32;

    // Raises Exception with the offending text and the reason.
    static TNetwork Parse(const std::string& text);
    bool Contains(uint32_t address) const;
    std::string Text() const;
};

// A comma- or blank-separated list of networks; empty holds none.
class TNetworkList {
public:
    TNetworkList() = default;
    // Raises on the first bad entry, naming it.
    static TNetworkList Parse(const std::string& text);

    bool Empty() const { return m_networks.empty(); }
    // address: dotted IPv4 text, or an IPv4-mapped IPv6 text; anything else is in no network.
    bool Contains(const std::string& address) const;
    std::string Text() const;

private:
    std::vector<TNetwork> m_networks;
};

// The [Access] section of the configuration file.
struct TAccessPolicy {
    enum class TNewDevices { Approve, Allow };

    // False for a file without the section (an upgrade): new devices are
    // then allowed, and each one is logged.
    bool Configured = false;
    TNewDevices NewDevices = TNewDevices::Allow;
    TNetworkList TrustedNetworks = TNetworkList::Parse(DefaultTrustedNetworks);
    // Empty: connections from any address.
    TNetworkList AllowedNetworks;

    static constexpr const char* Section = "Access";
    static constexpr const char* DefaultTrustedNetworks = "127.0.0.0/8";

    // Raises Exception naming the key for a bad value.
    static TAccessPolicy Read(const TIniFile& ini);
    // The section a new configuration file starts with.
    static void WriteNewFileDefaults(TIniFile& ini);
};

const char* NewDevicesText(TAccessPolicy::TNewDevices value);
