"""A simulated switch changes nothing on the host: no mounts, no clock, no files outside its
board directory."""
import os
import time
import uuid

from simboard import boot_to_end, run_sim, set_eeprom

# Paths of the board that must not appear on the host (files under the board's /tmp are
# checked with a name of their own, as other programs on the host may use the usual ones).
BOARD_PATHS = ["/sim", "/user", "/mnt/usb", "/dev/ttyS0", "/dev/mtd-uboot", "/dev/i2c-0"]


def snapshot():
    with open("/proc/self/mounts") as mounts:
        table = mounts.read()
    present = {path: os.path.lexists(path) for path in BOARD_PATHS}
    return table, present


def test_boot_changes_nothing_on_the_host(tmp_path, sim):
    board = tmp_path / "board"
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    run_sim("new", board)
    (board / "usb").mkdir()
    set_eeprom(board, 0x013B, 0xD5)
    run_sim("env", board, "shell=off")
    unique = f"sim-host-check-{uuid.uuid4().hex}"
    before = snapshot()
    wall, mono = time.time(), time.monotonic()

    console = boot_to_end(board, "--rtc", "2001-01-01 00:00:00", cwd=cwd)
    assert console.status == 0
    # The sandbox's own commands, including ones that would be harmful on the host.
    run_sim("shell", board, "--", "/bin/sh", "-c",
            "date 010100001999.00; mount -t tmpfs none /user; umount /user; "
            "flash_eraseall /dev/mtd-user-char; ifconfig eth0 10.9.8.7 up; "
            f"route add default gw 10.9.8.1; touch /tmp/{unique} /mnt/usb/{unique}; reboot",
            cwd=cwd)

    assert snapshot() == before
    # The host clock went on as the monotonic clock did: nobody set it.
    assert abs((time.time() - wall) - (time.monotonic() - mono)) < 2
    assert not os.path.lexists(f"/tmp/{unique}")
    assert os.listdir(board / "usb") == [unique]
    assert os.listdir(cwd) == []
    assert sorted(os.listdir(tmp_path)) == ["board", "cwd"]
    assert sorted(os.listdir(board)) == ["board.conf", "eeprom.bin", "events.log", "flash",
                                         "usb", "user"]
