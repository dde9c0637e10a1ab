"""Whole-switch boots: the boot manager powered on in the sandbox on a simulated board."""
import re
import time

import pytest

from simboard import boot_to_end, events, rows, run_sim, set_eeprom, texts

MOUNT = "/bin/mount -t ubifs -o compr=none -o sync ubi0:user /user"
USB_WAIT = ("Attempting to mount file system on USB flash drive; "
            "this can take up to 10 seconds.\n")


def put_broken_slots(board):
    """Both image slots hold a file without a bootable sub-image, so that the first
    attempt gives up on its slot and the second attempt is made."""
    images = board / "user" / "images"
    images.mkdir(parents=True, exist_ok=True)
    for slot in (1, 2):
        (images / f"image{slot}").write_bytes(bytes(64))


def booted_slots(console):
    return [int(n) for n in re.findall(r"^Booting image '(\d+)'$", console.text, re.M)]


class TestStartUp:
    @pytest.mark.parametrize("conf, options, seconds", [
        ("rtc_fixed=2026-12-03 14:05:09\n", (), [9]),  # a fixed clock stands still
        # The option's clock runs on while the board starts (slowly on a busy machine).
        ("", ("--rtc", "2026-12-03 14:05:09"), range(9, 15)),
        ("fault_missing_i2c=2\n", (), [])])  # no bus to the RTC: the clock is left alone
    def test_clock_set_from_the_rtc(self, board, conf, options, seconds):
        with open(board / "board.conf", "a") as board_conf:
            board_conf.write(conf)
        boot_to_end(board, *options)
        dates = [t[5:] for t in texts(board, "cmd") if t.startswith("/bin/date ")]
        assert dates in ([[f"date 120314052026.{s:02d}"] for s in seconds] or [[]])
        assert all(date + "\\n" in texts(board, "shell") for date in dates)

    def test_order_of_platform_events_and_the_boot_environment(self, board):
        console = boot_to_end(board)
        assert console.status == 0
        assert console.text.endswith("\nswitch-sim: the board rebooted; exit status 0\n")
        log = events(board)
        shell = [text for kind, text in log if kind == "shell"]
        assert shell[0].startswith("date ")
        assert shell[1] == MOUNT and MOUNT in texts(board, "cmd")
        assert shell[-1] == "reboot"
        assert log[-1] == ("reboot", "/bin/reboot")
        assert len(texts(board, "reboot")) == 1
        # Without the flag, rescue mode comes only after both slots were tried.
        assert console.text.find("Entering Rescue Mode.") > console.text.index("Booting image '1'")
        run_sim("env", board, "bootdelay=3", "diagnostics=rescue")
        console = boot_to_end(board)  # Reboot chosen at the menu: no boot attempt follows
        assert "Entering Rescue Mode." in console.text and "Booting image" not in console.text

    def test_boots_without_a_terminal(self, board):
        # Standard input at its end: the boot must still come to its reboot.
        result = run_sim("boot", board, timeout=120)
        assert result.returncode == 0
        assert "Booting image '1'" in result.stdout
        assert "Option? : \n" in result.stdout and "\0" not in result.stdout  # no key, no echo
        assert events(board)[-1] == ("reboot", "/bin/reboot")


@pytest.mark.parametrize("register, conf, order", [
    (0x00, "", [1, 2]), (0x01, "", [1, 2]), (0x02, "", [2, 1]), (0x03, "", [1, 2]),
    (0xFF, "", [1, 2]), (0x02, "fault_nak=0:0x52\n", [1, 2]),  # unreadable: slot 1 first
])
def test_first_and_second_attempt(board, register, conf, order):
    set_eeprom(board, 0x0100, register)
    with open(board / "board.conf", "a") as board_conf:
        board_conf.write(conf)
    put_broken_slots(board)
    console = boot_to_end(board)
    assert booted_slots(console) == order
    assert events(board)[-1] == ("reboot", "/bin/reboot")


@pytest.mark.parametrize("name,eeprom,stick,options,pattern,seconds", rows("usb_waits.txt"))
def test_usb_wait_rows(board, name, eeprom, stick, options, pattern, seconds):
    if stick == "yes":
        (board / "usb").mkdir()
    set_eeprom(board, 0x013B, int(eeprom, 0))
    started = time.monotonic()
    console = boot_to_end(board, *([] if options == "-" else options.split()))
    assert time.monotonic() - started >= int(seconds)
    assert re.search(pattern.replace("{WAIT}", re.escape(USB_WAIT)), console.text, re.M), \
        console.text
    assert ("USB" in console.text) == (eeprom == "0xD5")
