#include "base/AccessPolicy.h"

#include <arpa/inet.h>
#include <charconv>

#include "base/Exception.h"
#include "base/IniFile.h"

namespace {

bool ParseIPv4(const std::string& text, uint32_t& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

uint32_t Mask(int prefixLength) {
    return prefixLength == 0 ? 0 : ~uint32_t(0) << (32 - prefixLength);
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

} // namespace

TNetwork TNetwork::Parse(const std::string& text) {
    const auto bad = [&](const std::string& why) {
        return Exception("Invalid network [" + text + "]: " + why);
    };
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (address.find(':') != std::string::npos)
        throw bad("IPv6 networks cannot match: the server accepts IPv4 connections only");
    TNetwork network;
    if (!ParseIPv4(address, network.Address))
        throw bad("not an IPv4 address");
    if (slash != std::string::npos) {
        const std::string prefix = text.substr(slash + 1);
        int length = -1;
        const auto [end, error] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), length);
        if (prefix.empty() || error != std::errc() || end != prefix.data() + prefix.size() || length < 0 ||
            length > 32)
            throw bad("the prefix length must be a number from 0 to 32");
        network.PrefixLength = length;
    }
    if ((network.Address & ~Mask(network.PrefixLength)) != 0)
        throw bad("host bits are set after the prefix (did you mean " +
                  TNetwork{network.Address & Mask(network.PrefixLength), network.PrefixLength}.Text() + "?)");
    return network;
}

bool TNetwork::Contains(uint32_t address) const {
    return (address & Mask(PrefixLength)) == Address;
}

std::string TNetwork::Text() const {
    in_addr raw{};
    raw.s_addr = htonl(Address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &raw, text, sizeof text);
    return std::string(text) + "/" + std::to_string(PrefixLength);
}

TNetworkList TNetworkList::Parse(const std::string& text) {
    TNetworkList list;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(", \t", start);
        const std::string entry =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!entry.empty())
            list.m_networks.push_back(TNetwork::Parse(entry));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return list;
}

bool TNetworkList::Contains(const std::string& address) const {
    std::string text = address;
    if (Lower(text).starts_with("::ffff:"))
        text = text.substr(7);
    uint32_t value = 0;
    if (!ParseIPv4(text, value))
        return false;
    for (const TNetwork& network : m_networks)
        if (network.Contains(value))
            return true;
    return false;
}

std::string TNetworkList::Text() const {
    std::string text;
    for (const TNetwork& network : m_networks) {
        if (!text.empty())
            text += ", ";
        text += network.Text();
    }
    return text;
}

const char* NewDevicesText(TAccessPolicy::TNewDevices value) {
    return value == TAccessPolicy::TNewDevices::Approve ? "approve" : "allow";
}

TAccessPolicy TAccessPolicy::Read(const TIniFile& ini) {
    TAccessPolicy policy;
    policy.Configured = ini.SectionExists(Section);
    if (!policy.Configured)
        return policy;
    const std::string newDevices = Lower(ini.ReadString(Section, "NewDevices", "approve"));
    if (newDevices == "approve")
        policy.NewDevices = TNewDevices::Approve;
    else if (newDevices == "allow")
        policy.NewDevices = TNewDevices::Allow;
    else
        throw Exception("[Access] NewDevices=" + newDevices + ": must be approve or allow");
    try {
        policy.TrustedNetworks =
            TNetworkList::Parse(ini.ReadString(Section, "TrustedNetworks", DefaultTrustedNetworks));
    } catch (const std::exception& e) {
        throw Exception("[Access] TrustedNetworks: " + std::string(e.what()));
    }
    try {
        policy.AllowedNetworks = TNetworkList::Parse(ini.ReadString(Section, "AllowedNetworks", ""));
    } catch (const std::exception& e) {
        throw Exception("[Access] AllowedNetworks: " + std::string(e.what()));
    }
    return policy;
}

void TAccessPolicy::WriteNewFileDefaults(TIniFile& ini) {
    TIniFile::TBatch batch;
    batch.WriteString(Section, "NewDevices", "approve");
    batch.WriteString(Section, "TrustedNetworks", DefaultTrustedNetworks);
    batch.WriteString(Section, "AllowedNetworks", "");
    ini.WriteBatch(batch);
}
