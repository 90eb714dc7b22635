#include "base/AccessPolicy.h"
#include "base/Exception.h"
#include "base/IniFile.h"

#include <gtest/gtest.h>

#include "support/TempFolder.h"

namespace {

TEST(AccessPolicyTest, NetworksMatchTheirAddressesOnly) {
    struct Case {
        const char* list;
        const char* address;
        bool inside;
    };
    const Case cases[] = {
        {"127.0.0.0/8", "127.0.0.2", true},
        {"127.0.0.0/8", "128.0.0.1", false},
        {"192.168.10.0/24, 10.0.0.0/8", "10.200.1.1", true},
        {"192.168.10.0/24 10.1.2.3", "10.1.2.4", false},
        {"10.1.2.3", "10.1.2.3", true},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"127.0.0.0/8", "::ffff:127.0.0.1", true},
        {"127.0.0.0/8", "", false},
        {"", "127.0.0.1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TNetworkList::Parse(c.list).Contains(c.address), c.inside) << c.list << " " << c.address;
}

TEST(AccessPolicyTest, BadNetworksAreRefusedWithTheReason) {
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"10.0.0.0/33", "prefix length"},          {"10.0.0.0/", "prefix length"},
        {"10.0.0.0/x", "prefix length"},           {"10.0.0/8", "not an IPv4 address"},
        {"host.example", "not an IPv4 address"},   {"fd00::/8", "IPv6"},
        {"10.0.0.1/8", "did you mean 10.0.0.0/8"},
    };
    for (const Case& c : cases) {
        try {
            TNetworkList::Parse(std::string("127.0.0.0/8, ") + c.text);
            ADD_FAILURE() << c.text;
        } catch (const Exception& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(std::string("[") + c.text + "]"), std::string::npos) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
    }
}

TEST(AccessPolicyTest, FileWithoutSectionAllowsAndNewFileApproves) {
    TTempFolder folder;
    TIniFile ini(folder.File("a.ini"));
    ini.WriteString("Settings", "ServerPort", "4402");
    const TAccessPolicy upgraded = TAccessPolicy::Read(ini);
    EXPECT_FALSE(upgraded.Configured);
    EXPECT_EQ(upgraded.NewDevices, TAccessPolicy::TNewDevices::Allow);
    EXPECT_TRUE(upgraded.TrustedNetworks.Contains("127.0.0.1"));
    EXPECT_TRUE(upgraded.AllowedNetworks.Empty());

    TAccessPolicy::WriteNewFileDefaults(ini);
    const TAccessPolicy fresh = TAccessPolicy::Read(ini);
    EXPECT_TRUE(fresh.Configured);
    EXPECT_EQ(fresh.NewDevices, TAccessPolicy::TNewDevices::Approve);

    ini.WriteString("Access", "NewDevices", "maybe");
    EXPECT_THROW(TAccessPolicy::Read(ini), Exception);
    ini.WriteString("Access", "NewDevices", "Allow");
    ini.WriteString("Access", "AllowedNetworks", "10.0.0.0/99");
    try {
        TAccessPolicy::Read(ini);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("[Access] AllowedNetworks"), std::string::npos) << e.what();
    }
}

} // namespace
