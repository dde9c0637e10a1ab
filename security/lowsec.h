// Security modes: low security mode (boot loader override or the /tmp/lowsec
// marker), the physical presence test and the system key wipe.
#pragma once

#define LOWSEC_MARKER_PATH "/tmp/lowsec"

// 1 when low security mode is in force (prints the override note when the
// boot loader set it).
int lowsec_is_enabled();
// Creates (on nonzero) or removes the marker. Returns 0.
int lowsec_set(int on);
// Rescue menu option P. 1 when passed or the mode was changed or kept, 0 when
// declined, interrupted or the marker could not be written; does not return
// after three wrong answers.
int physical_presence_test();
// Rescue menu option K. Always 1.
int wipe_system_keys();
