// Network configuration of the management port eth0: the address questions,
// DHCP, the ifconfig and route commands, the link test and the MAC address.
#pragma once
#include <cstdint>

// One set of answers, kept on the caller's stack. Addresses in network byte order.
struct network_settings {
    uint8_t dhcp;     // use DHCP instead of the typed addresses
    char if_digit;    // the digit after "eth": always '0', the management port
    uint32_t ip;      // 0 at start
    uint32_t netmask; // 0: not given
    uint32_t gateway; // 0: not given
};

// Fresh settings: no DHCP, eth0, no addresses.
network_settings network_settings_initial();

// Prints the prompt and reads an address into *address until it parses (and,
// with check_valid, passes ip_address_valid). An empty answer keeps *address
// when the answer is not required. False when the operator quits ('q', 'Q',
// end of input).
bool prompt_ip_address(const char* prompt, uint32_t* address, bool required, bool check_valid);
// Not 0, first octet from 1 to 239.
bool ip_address_valid(uint32_t address);
// The DHCP question (when ask_dhcp and /bin/dhclient exists), then the
// addresses. False when the operator quits or interrupts.
bool ask_network_settings(network_settings* settings, bool ask_dhcp);
// Applies the settings through ifconfig, route or dhclient and waits for the
// port. False when the management link is down afterwards.
bool configure_mgmt_port(const network_settings* settings);
// eth0 is up, running and has its link.
bool mgmt_link_up();
// Asks for the settings (with the DHCP question when ask_dhcp) and applies
// them. False when the questions were quit or the link is down afterwards.
bool network_setup(bool ask_dhcp);
// Rescue key M: asks for a MAC address until one is well formed and gives it to
// eth0. False when interrupted or at end of input.
bool set_mac_address();
