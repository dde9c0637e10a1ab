// Layout of a simulated board directory, shared by the switch-sim launcher,
// the emulated devices inside the sandboxed boot manager, and the tests.
//
//   DIR/flash/uboot.bin        512 KiB   /dev/mtd-uboot
//   DIR/flash/ubootenv.bin      64 KiB   /dev/mtd-ubootenv
//   DIR/flash/devicetree.bin   256 KiB   /dev/mtd-devicetree
//   DIR/flash/kernel.bin         8 MiB   /dev/mtd-kernel
//   DIR/flash/rfs.bin           10 MiB   /dev/mtd-rfs
//   DIR/flash/rescue.bin        10 MiB   /dev/mtd-rescue
//   DIR/eeprom.bin              64 KiB   board EEPROM (bus 0, 0x52 behind mux 0x71 channel 0)
//   DIR/board.conf                       key=value lines (below)
//   DIR/user/                            the persistent /user filesystem
//   DIR/usb/                             the USB stick (/mnt/usb), when present
//   DIR/events.log                       one line per platform event
//
// board.conf keys (all optional):
//   erase_size=65536                      flash erase block size in bytes; as the kernel
//                                         does, a partition that does not end on an erase
//                                         block is read-only (an open for writing: EACCES)
//   rtc_offset=SECONDS                    added to the host clock (signed)
//   rtc_fixed=YYYY-MM-DD HH:MM:SS         a clock that does not run
//   fault_missing_i2c=N                   /dev/i2c-N does not exist
//   fault_nak=BUS:ADDR7                   the device NAKs every transfer
//   fault_flash_read=PART:BLOCK           reading that erase block fails (EIO)
//   fault_flash_erase=PART:BLOCK          erasing it fails (EIO)
//   fault_flash_write=PART:BLOCK          writing into it fails (EIO)
//   cut_after=N                           power lost after the Nth write, erase, rename or
//                                         fsync of a power-on (sandbox/emu_power.cpp)
//   (PART is the partition name: uboot, ubootenv, devicetree, kernel, rfs, rescue;
//    fault keys may appear several times)
//   The clock shows 2000-01-01 00:00:00 to 2099-12-31 23:59:59: an rtc_fixed or
//   rtc_offset (with rtc_fixed, or the host clock at power-on) outside that is refused.
//
// Inside the sandbox the board directory is mounted at /sim; the emulated
// devices find it through the environment variable SIM_BOARD (default "/sim").
// SIM_RTC_OFFSET, when set, overrides rtc_offset for one boot; SIM_TIME_SCALE, when set,
// multiplies every sleep of the boot manager (a factor such as 0.01).
//
// events.log lines: "<seconds.micros> <kind> <text>", kind one of
//   shell   a command run through the shell (text: the command line, newlines as \n)
//   cmd     a stub platform program ran (text: its argv joined by blanks)
//   led     an LED register write (text: "reg=0xRR val=0xVV")
//   reboot  a reboot request
//   tftpd   the network's TFTP server sent a file or refused a request
//   dhcpd   the network's DHCP server answered a request
//   power   the power cut of cut_after (text: "cut after operation N")
#pragma once

#define SIM_BOARD_ENV "SIM_BOARD"
#define SIM_BOARD_DEFAULT "/sim"
#define SIM_RTC_OFFSET_ENV "SIM_RTC_OFFSET"
#define SIM_TIME_SCALE_ENV "SIM_TIME_SCALE"
#define SIM_POWER_OPS_ENV "SIM_POWER_OPS"
