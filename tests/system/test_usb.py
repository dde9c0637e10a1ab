"""USB start-up on the simulated switch: with USB boot enabled in the EEPROM the boot manager
waits for the stick's mount marker, then takes replacement images for the slots or boots the
application image on the stick, keeping a rejected list of what it has offered."""
import hashlib
import os
import time

import pytest

from simboard import boot, boot_source, events, image, items, rows, run_to_end, set_eeprom
from test_escape import side  # noqa: F401  (switch-sim as root and as an ordinary user)

USB_BOOT = (0x13B, 0xD5)
SCALE = ("--time-scale", "0.1")
WAIT = "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n"
REPLACE = {1: "LQX4410_replace1_OS.img", 2: "LQX4410_replace2_OS.img"}
OS_IMAGE = "LQX4410_OS.img"
NO = [(r"\(y/n\) ", "n\r")]  # the console is in line mode at this question
YES = [(r"\(y/n\) ", "y\r")]


def stick(board, tmp_path, names):
    set_eeprom(board, *USB_BOOT)
    (board / "usb").mkdir()
    data = image(tmp_path)
    for name in names:
        (board / "usb" / name).write_bytes(data)
    return data


@pytest.mark.parametrize("case,names,on_list,answer,shown,never,logged,slots",
                         rows("usb_starts.txt"))
def test_replacements(board, tmp_path, case, names, on_list, answer, shown, never, logged,
                      slots):
    data = stick(board, tmp_path, items(names))
    if on_list != "-":
        (board / "user" / "images" / "rejected").mkdir(parents=True)
        (board / "user" / "images" / "rejected" / hashlib.md5(data).hexdigest()).touch()
    answers = [] if answer == "-" else [(r"\(y/n\) ", answer + "\r")]
    console = run_to_end(boot(board, *SCALE), answers)
    assert WAIT + "USB mounted and ready!\nNo boot image found on USB.\n" in console.text
    at = 0
    for text in items(shown):
        at = console.text.index(text, at)
    assert not [text for text in items(never) if text in console.text]
    log = board / "user" / "install.log"
    assert (log.read_text().count(" installed from USB at ") if log.exists() else 0) == int(logged)
    assert [str(n) for n in (1, 2) if (board / "user" / "images" / f"image{n}").exists()] == \
        items(slots)


def test_os_image_booted_once_then_asked(board, tmp_path):
    data = stick(board, tmp_path, [OS_IMAGE])
    first = run_to_end(boot(board, *SCALE))
    assert "Booting image 'LQX4410_OS.img' from USB stick.\n" in first.text
    assert "APP_MODE=demo" in first.text and "rejected list" not in first.text
    assert os.listdir(board / "user" / "images" / "rejected") == [hashlib.md5(data).hexdigest()]
    assert boot_source(board) == 3
    second = run_to_end(boot(board, *SCALE), NO)
    assert "USB image is in rejected list.\nWould you still like to load it? (y/n) " in second.text
    assert "USB Boot failed. Trying flash images.\nBooting image '1'" in second.text
    assert "Timeout" not in second.text
    assert "APP_MODE=demo" not in second.text
    third = run_to_end(boot(board, *SCALE), YES)
    assert "Continuing to load USB image...\n" in third.text and "APP_MODE=demo" in third.text


def test_ctrl_c_does_not_end_the_wait(board):
    set_eeprom(board, *USB_BOOT)  # no stick: the marker never shows
    child = boot(board, "--time-scale", "0.2")
    child.expect_exact(WAIT.rstrip("\n"))
    child.expect_exact(".")
    child.sendintr()
    console = run_to_end(child)
    waited, after = console.text.split("USB mount timed out\n")
    assert waited.count(".") == 9 and after.startswith("Booting image '1'")
    assert console.status == 0 and events(board)[-1] == ("reboot", "/bin/reboot")


# What a hostile stick holds under each name, made inside the sandbox.
HOSTILE = {"fifo": "/bin/busybox mkfifo", "link to /dev/zero": "ln -s /dev/zero",
           "link to a directory": "ln -s /tmp"}
NAMES = ["LQX4410_Boot.img", REPLACE[2], REPLACE[1], OS_IMAGE, "hostile.img"]
ABSENT = WAIT + "USB mounted and ready!\nNo boot image found on USB.\nNo valid image found on USB\n"


@pytest.mark.parametrize("kind", HOSTILE)
def test_hostile_stick_files_count_as_absent(side, tmp_path, kind):
    side.sh("mkdir /sim/usb" + "".join(f" && {HOSTILE[kind]} /sim/usb/{n}" for n in NAMES))
    side.run("eeprom", side.board, *map(hex, USB_BOOT), check=True)
    keys = tmp_path / "keys"
    keys.write_bytes(b"".join(b"u%d\r" % n for n in range(1, 6)))  # then the input ends: Exit
    started = time.monotonic()
    with open(keys, "rb") as console:
        result = side.run("boot", side.board, *SCALE, "--timeout", "60", stdin=console)
    seconds = time.monotonic() - started
    print(f"hostile stick, {kind}, {side.mode}: {seconds:.1f} s")
    assert result.returncode == 0 and seconds < 20
    assert ABSENT + "Booting image '1'\n" in result.stdout
    # The install list names them all, as it names links; installing one does nothing.
    for name in NAMES:
        assert f"Installing {name}\nPlease select" in result.stdout
