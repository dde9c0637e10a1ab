// Network configuration of the management port eth0.
#pragma once

// Asks for the settings (with the DHCP question when ask_dhcp) and applies
// them. False when the questions were quit or the link is down afterwards.
bool network_setup(bool ask_dhcp);
