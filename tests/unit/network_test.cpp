// Network configuration: the operator's answers, the commands they become,
// and the link test over faked interface requests.
#include <gtest/gtest.h>

#include "boot/env.h"
#include "rescue/network.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"

namespace {

using testutil::captureStdout;
using Commands = std::vector<std::string>;

// Address answers (refused, quit, cut off by end of input) and the commands they become.
TEST(Network, SetupCommands) {
    enum { DHCLIENT = 1, INTERRUPTED = 2, LINK = 4 };
    const std::string ask = "Confirm: Use DHCP for network configuration? y/N: ",
                      dots = "Configuring management port..." + std::string(20, '.') + "\n",
                      bad = "Invalid IP address. Try again please\nIP addr    :";
    const struct {
        int board;
        const char* keys;
        bool result;
        unsigned slept;
        Commands commands;
        std::string out;
    } cases[] = {
        {DHCLIENT | LINK, "y\n", true, 3, {"dhclient -1 eth0"}, ask + "y\n\n"},
        {DHCLIENT | LINK,
         "n\n240.1.1.1\n0.1.2.3\n\nx.y\n239.255.255.255\n255.255.255.255\n240.0.0.1\n1.0.0.1\n",
         true,
         26,
         {"ifconfig eth0 239.255.255.255\n", "ifconfig eth0 down\n",
          "ifconfig eth0 netmask 255.255.255.255\n", "ifconfig eth0 up\n",
          "route add default gw 1.0.0.1\n"},
         ask +
             "n\n\nIP addr    :240.1.1.1\nInvalid IP address 240.1.1.1. Try again please\n"
             "IP addr    :0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nIP addr    :\n" +
             bad + "x.y\n" + bad +
             "239.255.255.255\nNetmask    :255.255.255.255\n"
             "Gateway    :240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\n"
             "Gateway    :1.0.0.1\n\tNetmask    : 255.255.255.255\n\tGateway    : 1.0.0.1\n" +
             dots},
        {0,
         "10.1.2.3\n\n\n",
         false,
         26,
         {"ifconfig eth0 10.1.2.3\n"},
         "IP addr    :10.1.2.3\nNetmask    :\nGateway    :\n" + dots +
             "Mgmt link not available. Quitting.\n"},
        {DHCLIENT | LINK,
         "n\n10.1.2.3\n\nQ\n",
         false,
         0,
         {},
         ask + "n\n\nIP addr    :10.1.2.3\nNetmask    :\nGateway    :Q\n"},
        {DHCLIENT | INTERRUPTED, "y\n", false, 0, {}, ask + "y\n"},
        {DHCLIENT, "n\n10.0.0.1", false, 0, {}, ask + "n\n\nIP addr    :10.0.0.1\n"},
    };
    for (const auto& c : cases) {
        testutil::HostHooks hooks;
        testutil::TempRoot root;
        if (c.board & DHCLIENT) root.touch("/bin/dhclient");
        testutil::g_link_up = c.board & LINK;
        boot_env_flags.interrupted = (c.board & INTERRUPTED) != 0;
        testutil::StdinFeed feed(c.keys);
        bool result = !c.result;
        EXPECT_EQ(captureStdout([&] { result = network_setup(true); }), c.out) << c.keys;
        boot_env_flags.interrupted = 0;
        EXPECT_EQ(result, c.result) << c.keys;
        EXPECT_EQ(testutil::g_commands, c.commands) << c.keys;
        EXPECT_EQ(testutil::g_slept, c.slept * 1000000u) << c.keys;
    }
}

unsigned long g_failing;
short g_flags;
int failingIoctl(int fd, unsigned long request, void* arg) {
    EXPECT_STREQ(static_cast<ifreq*>(arg)->ifr_name, "eth0");
    if (request == g_failing) return -1;
    if (request == SIOCETHTOOL) { // the link state is asked for by its command word
        EXPECT_EQ(reinterpret_cast<ethtool_value*>(static_cast<ifreq*>(arg)->ifr_data)->cmd,
                  uint32_t(ETHTOOL_GLINK));
    }
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
    boot_env_flags.interrupted = 1; // Ctrl-C while a good address was typed
    {
        testutil::StdinFeed feed("1:2:3:4:5:6\n");
        EXPECT_EQ(captureStdout([] { EXPECT_FALSE(set_mac_address()); }), prompt + "1:2:3:4:5:6\n");
    }
    boot_env_flags.interrupted = 0;
    testutil::g_commands.clear();
    testutil::StdinFeed feed(keys); // then end of input
    EXPECT_EQ(captureStdout([] { EXPECT_FALSE(set_mac_address()); }), out + "\n");
    EXPECT_TRUE(testutil::g_commands.empty());
}

} // namespace
