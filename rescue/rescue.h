// Rescue mode: the one-key menu and its maintenance actions.
#pragma once

// Runs the menu until Exit (returns 1) or Reboot (does not return).
int rescue_menu();
// Diagnostics with optional filesystem erase: 0 when refused, 1 if the
// diagnostics image ever comes back.
int rescue_diags();
// Menu option U: installs a package chosen from the USB stick. The installer's result.
int rescue_usb_install();
