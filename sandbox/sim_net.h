// The simulated switch's management network: eth0 in the sandbox's network namespace is one
// end of a veth pair whose other end, 192.0.2.1/24, sits in a server namespace where
// dnsmasq answers TFTP (the board's tftp/ folder) and DHCP (192.0.2.100 to 192.0.2.199).
// Both namespaces belong to a user namespace the sandbox makes for itself, so the
// capabilities that ifconfig, route and dhclient need reach no further than these two
// namespaces. The server's TFTP and DHCP activity goes to events.log as "tftpd" and
// "dhcpd" lines.
#pragma once
#include <string>
#include <vector>

#define SIM_NET_SERVER_ADDRESS "192.0.2.1"

// A host program offered in the sandbox at the given path, read-only.
struct sim_net_program {
    std::string host;
    std::string sandbox;
};

// The real programs of the network (ip, dhclient and its script, dnsmasq, lrzsz's
// receiver), as found on the host; empty with a message when one is missing.
std::vector<sim_net_program> sim_net_programs();

// bwrap arguments besides the programs' binds: busybox's network applets under their own
// names and dhclient's state folders in /tmp.
std::vector<std::string> sim_net_sandbox_arguments();

// In the sandbox, by _init once the host identity is final and before the boot manager
// starts: makes the user namespace and the two network namespaces, starts the server and
// waits until it listens. Afterwards this process holds CAP_NET_ADMIN, CAP_NET_RAW and
// CAP_NET_BIND_SERVICE in that user namespace only, ambient so that the programs it starts
// keep them, and no other capability. With link_down the server's end stays down, so eth0
// has no carrier. False after a message when the network cannot be made.
bool sim_net_start(bool link_down);
