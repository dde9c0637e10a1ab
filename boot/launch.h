// Application launch.
#pragma once

// Boots source 1, 2 (image slots) or 3 (the USB image). Returns 0 when the
// source could not be booted; does not return once the application launched.
int boot_image(int source);
