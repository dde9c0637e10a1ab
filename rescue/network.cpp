// Network configuration of the management port eth0.
#include "rescue/network.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"

namespace {

enum : size_t { ANSWER_SIZE = 128, MAC_ANSWER_SIZE = 18 };

const char MAC_PROMPT[] = "MAC address (format nn:nn:nn:nn:nn:nn): ";

bool quit_answer(const char* line) {
    return line[0] == 'q' || line[0] == 'Q';
}

std::string dotted(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    return inet_ntoa(a);
}

void run_command(const std::string& command) {
    run_shell(command.c_str());
}

// The interface digit always names the management port; anything else is taken as '0'.
char interface_digit(const network_settings* settings) {
    return isdigit(static_cast<unsigned char>(settings->if_digit)) ? settings->if_digit : '0';
}

// Six hexadecimal numbers of one or two digits separated by colons, and nothing else.
bool mac_address_well_formed(const char* text) {
    const char* p = text;
    for (int group = 0; group < 6; ++group) {
        if (group > 0 && *p++ != ':') return false;
        int digits = 0;
        while (digits < 2 && isxdigit(static_cast<unsigned char>(*p))) {
            ++p;
            ++digits;
        }
        if (digits == 0) return false;
    }
    return *p == '\0';
}

} // namespace

network_settings network_settings_initial() {
    return network_settings{0, '0', 0, 0, 0};
}

bool ip_address_valid(uint32_t address) {
    uint32_t first = ntohl(address) >> 24;
    return address != 0 && first >= 1 && first <= 239;
}

bool prompt_ip_address(const char* prompt, uint32_t* address, bool required, bool check_valid) {
    char line[ANSWER_SIZE];
    for (;;) {
        fputs(prompt, stdout);
        fflush(stdout);
        read_line(line, sizeof line);
        if (console_input_closed() || quit_answer(line)) return false;
        if (line[0] == '\0' && !required) return true;
        in_addr parsed;
        if (inet_aton(line, &parsed) == 0) {
            puts("Invalid IP address. Try again please");
            continue;
        }
        if (check_valid && !ip_address_valid(parsed.s_addr)) {
            printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        *address = parsed.s_addr;
        return true;
    }
}

bool ask_network_settings(network_settings* settings, bool ask_dhcp) {
    settings->dhcp = 0;
    struct stat st;
    if (ask_dhcp && stat(sys_path("/bin/dhclient").c_str(), &st) == 0) {
        char line[ANSWER_SIZE];
        fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        fflush(stdout);
        read_line(line, sizeof line);
        if (boot_env_flags.interrupted || console_input_closed()) return false;
        if (toupper(static_cast<unsigned char>(line[0])) == 'Y') settings->dhcp = 1;
        putchar('\n');
    }
    if (settings->dhcp) return true;
    return prompt_ip_address("IP addr    :", &settings->ip, true, true) &&
           prompt_ip_address("Netmask    :", &settings->netmask, false, false) &&
           prompt_ip_address("Gateway    :", &settings->gateway, false, true);
}

bool configure_mgmt_port(const network_settings* settings) {
    const std::string eth = std::string("eth") + interface_digit(settings);
    if (!settings->dhcp) {
        run_command("ifconfig " + eth + " " + dotted(settings->ip) + "\n");
        if (settings->netmask != 0) {
            std::string netmask = dotted(settings->netmask);
            printf("\tNetmask    : %s\n", netmask.c_str());
            fflush(stdout);
            run_command("ifconfig " + eth + " down\n");
            run_command("ifconfig " + eth + " netmask " + netmask + "\n");
            run_command("ifconfig " + eth + " up\n");
        }
        sys_sleep(5);
        if (settings->gateway != 0) {
            std::string gateway = dotted(settings->gateway);
            printf("\tGateway    : %s\n", gateway.c_str());
            fflush(stdout);
            run_command("route add default gw " + gateway + "\n");
        }
        fputs("Configuring management port...", stdout);
        for (int i = 0; i < 20; ++i) {
            sys_sleep(1);
            putchar('.');
            fflush(stdout);
        }
        putchar('\n');
        fflush(stdout);
        sys_sleep(1);
    } else {
        run_command("dhclient -1 " + eth);
        sys_sleep(3);
    }
    if (interface_digit(settings) == '0' && !mgmt_link_up()) {
        puts("Mgmt link not available. Quitting.");
        return false;
    }
    return true;
}

bool mgmt_link_up() {
    int fd = g_netif_socket();
    if (fd < 0) {
        puts("Raw Socket open error");
        return false;
    }
    ifreq request;
    memset(&request, 0, sizeof request);
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", "eth0");
    bool up = false;
    if (g_netif_ioctl(fd, SIOCGIFINDEX, &request) < 0) {
        printf("Open Interface %s error.\n", "eth0");
    } else if (g_netif_ioctl(fd, SIOCGIFFLAGS, &request) < 0) {
        puts("Open flags error.");
    } else {
        const short flags = request.ifr_flags;
        ethtool_value link;
        link.cmd = ETHTOOL_GLINK;
        link.data = 0;
        request.ifr_data = reinterpret_cast<char*>(&link);
        if (g_netif_ioctl(fd, SIOCETHTOOL, &request) < 0)
            puts("EthTool GLINK error.");
        else
            up = link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING);
    }
    close(fd);
    return up;
}

bool network_setup(bool ask_dhcp) {
    network_settings settings = network_settings_initial();
    if (!ask_network_settings(&settings, ask_dhcp)) return false;
    return configure_mgmt_port(&settings);
}

bool set_mac_address() {
    char line[MAC_ANSWER_SIZE];
    fputs(MAC_PROMPT, stdout);
    for (;;) {
        fflush(stdout);
        read_line(line, sizeof line);
        if (boot_env_flags.interrupted || console_input_closed()) return false;
        if (mac_address_well_formed(line)) {
            run_command("ifconfig eth0 hw ether " + shell_quote(line) + "\n");
            return true;
        }
        puts("Invalid MAC address. Try again please");
        fputs(MAC_PROMPT, stdout);
    }
}
