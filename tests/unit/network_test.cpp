// Network configuration: the operator's answers, the commands they become,
// and the link test over faked interface requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "boot/env.h"
#include "rescue/network.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"

namespace {

using testutil::captureStdout;
using Commands = std::vector<std::string>;

TEST(Network, AddressAnswers) {
    const char* refused = "Invalid IP address. Try again please\n";
    const struct {
        const char* keys;
        bool required, check, result;
        uint32_t address;
        std::string out;
    } cases[] = {
        {"240.1.1.1\n0.0.0.0\n239.255.255.255\n", true, true, true, inet_addr("239.255.255.255"),
         "P:240.1.1.1\nInvalid IP address 240.1.1.1. Try again please\nP:0.0.0.0\n"
         "Invalid IP address 0.0.0.0. Try again please\nP:239.255.255.255\n"},
        {"\nx.y\nQ\n", true, true, false, 7,
         std::string("P:\n") + refused + "P:x.y\n" + refused + "P:Q\n"},
        {"\n", false, true, true, 7, "P:\n"},
        {"255.255.255.255\n", false, false, true, inet_addr("255.255.255.255"),
         "P:255.255.255.255\n"},
        {"10.0.0.1", true, true, false, 7, "P:10.0.0.1\n"}, // cut off by end of input
    };
    for (const auto& c : cases) {
        testutil::StdinFeed feed(c.keys);
        uint32_t address = 7;
        bool result = !c.result;
        std::string out =
            captureStdout([&] { result = prompt_ip_address("P:", &address, c.required, c.check); });
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_EQ(address, c.address) << c.keys;
        EXPECT_EQ(out, c.out) << c.keys;
    }
}

TEST(Network, SetupCommands) {
    const std::string ask = "Confirm: Use DHCP for network configuration? y/N: ";
    const std::string dots = "Configuring management port..." + std::string(20, '.') + "\n";
    const struct {
        bool dhclient, interrupted, link, result;
        const char* keys;
        Commands commands;
        uint64_t slept;
        std::string out;
    } cases[] = {
        {true, false, true, true, "y\n", {"dhclient -1 eth0"}, 3, ask + "y\n\n"},
        {true,
         false,
         true,
         true,
         "n\n10.1.2.3\n255.255.0.0\n10.1.0.254\n",
         {"ifconfig eth0 10.1.2.3\n", "ifconfig eth0 down\n", "ifconfig eth0 netmask 255.255.0.0\n",
          "ifconfig eth0 up\n", "route add default gw 10.1.0.254\n"},
         26,
         ask +
             "n\n\nIP addr    :10.1.2.3\nNetmask    :255.255.0.0\nGateway    :10.1.0.254\n"
             "\tNetmask    : 255.255.0.0\n\tGateway    : 10.1.0.254\n" +
             dots},
        {false,
         false,
         false,
         false,
         "10.1.2.3\n\n\n",
         {"ifconfig eth0 10.1.2.3\n"},
         26,
         "IP addr    :10.1.2.3\nNetmask    :\nGateway    :\n" + dots +
             "Mgmt link not available. Quitting.\n"},
        {true,
         false,
         true,
         false,
         "n\n10.1.2.3\n\nq\n",
         {},
         0,
         ask + "n\n\nIP addr    :10.1.2.3\nNetmask    :\nGateway    :q\n"},
        {true, true, true, false, "y\n", {}, 0, ask + "y\n"},
        {true, false, true, false, "", {}, 0, ask + "\n"},
    };
    for (const auto& c : cases) {
        testutil::HostHooks hooks;
        testutil::TempRoot root;
        if (c.dhclient) root.touch("/bin/dhclient");
        testutil::g_link_up = c.link;
        boot_env_flags.interrupted = c.interrupted;
        testutil::StdinFeed feed(c.keys);
        bool result = !c.result;
        std::string out = captureStdout([&] { result = network_setup(true); });
        boot_env_flags.interrupted = 0;
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_EQ(testutil::g_commands, c.commands) << c.keys;
        EXPECT_EQ(testutil::g_slept, c.slept * 1000000u) << c.keys;
        EXPECT_EQ(out, c.out) << c.keys;
    }
}

unsigned long g_failing;
short g_flags;
int failingIoctl(int fd, unsigned long request, void* arg) {
    EXPECT_STREQ(static_cast<ifreq*>(arg)->ifr_name, "eth0");
    if (request == g_failing) return -1;
    testutil::fakeNetifIoctl(fd, request, arg);
    if (request == SIOCGIFFLAGS) static_cast<ifreq*>(arg)->ifr_flags = g_flags;
    return 0;
}

TEST(Network, LinkTest) {
    const short on = IFF_UP | IFF_RUNNING;
    const struct {
        unsigned long failing; // 1: the socket
        short flags;
        bool link, up;
        const char* out;
    } cases[] = {
        {0, on, true, true, ""},
        {0, IFF_UP, true, false, ""},
        {0, IFF_RUNNING, true, false, ""},
        {0, on, false, false, ""},
        {1, on, true, false, "Raw Socket open error\n"},
        {SIOCGIFINDEX, on, true, false, "Open Interface eth0 error.\n"},
        {SIOCGIFFLAGS, on, true, false, "Open flags error.\n"},
        {SIOCETHTOOL, on, true, false, "EthTool GLINK error.\n"},
    };
    for (const auto& c : cases) {
        testutil::HostHooks hooks;
        testutil::g_link_up = c.link;
        g_failing = c.failing, g_flags = c.flags;
        g_netif_ioctl = failingIoctl;
        if (c.failing == 1) g_netif_socket = [] { return -1; };
        const int next_fd = dup(0);
        close(next_fd);
        bool up = !c.up;
        EXPECT_EQ(captureStdout([&] { up = mgmt_link_up(); }), c.out);
        EXPECT_EQ(up, c.up) << c.flags << c.link;
        const int after = dup(0);
        close(after);
        EXPECT_EQ(after, next_fd) << "socket left open";
    }
}

TEST(Network, MacAddress) {
    const std::string prompt = "MAC address (format nn:nn:nn:nn:nn:nn): ";
    const std::string again = "Invalid MAC address. Try again please\n" + prompt;
    const char* hostile[] = {"01-02-03-04-05-06", "q",           "1:2:3:4:5:6;sh", "1:2:3:4:5:6 x",
                             "1:2:3:4:5:6:7",     "1:2:3:4:5:g", "123:1:1:1:1:1",  " 1:2:3:4:5:6"};
    std::string keys, out = prompt;
    for (const char* text : hostile) keys += text + std::string("\n"), out += text + ("\n" + again);
    testutil::HostHooks hooks;
    {
        testutil::StdinFeed feed(keys + "aA:b:cC:d:eE:fF\n");
        EXPECT_EQ(captureStdout([] { EXPECT_TRUE(set_mac_address()); }), out + "aA:b:cC:d:eE:fF\n");
        EXPECT_EQ(testutil::g_commands, Commands{"ifconfig eth0 hw ether 'aA:b:cC:d:eE:fF'\n"});
    }
    testutil::g_commands.clear();
    testutil::StdinFeed feed(keys); // then end of input
    EXPECT_EQ(captureStdout([] { EXPECT_FALSE(set_mac_address()); }), out + "\n");
    EXPECT_TRUE(testutil::g_commands.empty());
}

} // namespace
