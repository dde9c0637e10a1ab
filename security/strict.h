// The strict image rules of a build made with -DBOOTMGR_STRICT_IMAGES=ON:
// every booted image and every installed sub-image carries a manifest
// signature that the signature decision accepts, is labelled as what it is
// used as, and carries a security counter not below the downgrade floor of
// its class. The default build never calls these.
//
// Downgrade floor: the board EEPROM record BOARD_RECORD_FLOOR, three
// big-endian u32 (application slots; kernel, root filesystem and device tree;
// boot loader). Raised only by a production-signed sub-image after it was
// installed (the application: once launched), never lowered on the boot path;
// lowered only from the rescue menu after physical presence and a yes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef BOOTMGR_STRICT_IMAGES
constexpr bool kStrictImages = true;
#else
constexpr bool kStrictImages = false;
#endif

enum : int {
    FLOOR_NONE = -1, // diagnostics in the rescue partition: no floor
    FLOOR_APPLICATION = 0,
    FLOOR_SYSTEM = 1, // kernel, root filesystem, device tree
    FLOOR_BOOTLOADER = 2,
    FLOOR_CLASSES = 3,
};

// What the check learnt of an accepted sub-image, for raising the floor.
struct strict_result {
    int production;   // 1 when the production key accepted its manifest
    uint32_t counter; // its security counter (0 without a counter record)
};

// The floor class of a sub-image installed as `type`.
int strict_floor_class(uint32_t type);

// Checks a whole sub-image held in size bytes (its CRC already checked) that
// is installed or booted as `used_as` (a type word), against the floor of
// floor_class. 1 accepts; 0 refuses after one line "Strict: <sub-image>
// sub-image refused: <reason>" (the signature decision's own messages before
// it, when it got that far).
int strict_check_image(const uint8_t* image, size_t size, uint32_t used_as, int floor_class,
                       strict_result* result);

// Before anything of a package is written: each sub-image of a type the installer takes is
// checked by the rules that need no operator (whole, CRC, records, type, floor) and, unless a
// relaxation is in force (whose questions come in the installer's turn), its manifest under
// the production key. 1 lets the installer go on; 0 after the refusal line of the first
// sub-image that fails. Leaves the package at its start.
int strict_check_package(FILE* package);

// Raises the floor of floor_class to the counter of a sub-image that was
// installed and checked (or launched): only for a production signature, only
// upwards, and the EEPROM is written only when the value changes.
void strict_raise_floor(int floor_class, const strict_result& result);

// The floor: 1 read (zeros on a board that never held it), 0 unreadable.
int downgrade_floor_read(uint32_t floor[FLOOR_CLASSES]);
// 1 written, 0 when the write failed (the old value stays).
int downgrade_floor_write(const uint32_t floor[FLOOR_CLASSES]);

// Rescue menu option F (strict build only): shows the floor and, with physical
// presence proven in this run and an explicit yes, lowers it to 0. 1 lowered.
int strict_lower_floor();
