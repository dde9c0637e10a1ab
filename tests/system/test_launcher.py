"""switch-sim's board commands: new, env, eeprom, events; what each refuses is in
tests/data/system/refused.txt."""
import os
import shlex
import struct
import zlib

import pytest

from simboard import SERIAL, rows, run_sim

FLASH_SIZES = {"uboot": 512 << 10, "ubootenv": 64 << 10, "devicetree": 256 << 10,
               "kernel": 8 << 20, "rfs": 10 << 20, "rescue": 10 << 20}


def test_fresh_board_layout(tmp_path, sim):
    board = tmp_path / "b"
    board.mkdir()  # an empty directory is taken
    run_sim("new", board, "--serial", SERIAL, "--erase-size", "0x4000")
    for name, size in FLASH_SIZES.items():
        assert (board / "flash" / f"{name}.bin").read_bytes() == b"\xff" * size, name
    eeprom = (board / "eeprom.bin").read_bytes()
    assert len(eeprom) == 64 * 1024
    assert (eeprom[0x0D:0x0D + 12], eeprom[0x0100], eeprom[0x013B]) == (SERIAL.encode(), 1, 0)
    untouched = eeprom[:0x0D] + eeprom[0x19:0x100] + eeprom[0x101:0x13B] + eeprom[0x13C:]
    assert untouched == b"\xff" * len(untouched)
    assert os.listdir(board / "user") == [] and not (board / "usb").exists()
    assert "erase_size=16384" in (board / "board.conf").read_bytes().decode().splitlines()
    run_sim("new", tmp_path / "s", "--serial", "AB12")  # a short serial padded with zeros
    assert (tmp_path / "s" / "eeprom.bin").read_bytes()[0x0D:0x19] == b"AB12" + bytes(8)


@pytest.mark.parametrize("status,args,message", rows("refused.txt"))
def test_refused_before_anything_is_made(board, status, args, message):
    with open(board / "board.conf", "a") as conf:
        conf.write("fault_flash_raed=rfs:1\n")

    def place(text):
        return text.replace("{B}", str(board)).replace("{T}", str(board.parent))
    run_sim("env", board, "shell=on")
    files = ["eeprom.bin", "flash/ubootenv.bin", "board.conf"]
    before = sorted(os.listdir(board.parent)), [(board / f).read_bytes() for f in files]
    result = run_sim(*map(place, shlex.split(args)), check=False)
    assert (result.returncode, result.stderr.splitlines()[0], result.stdout) == (
        int(status), "switch-sim: " + place(message), "")
    assert (sorted(os.listdir(board.parent)), [(board / f).read_bytes() for f in files]) == before


def test_env_layout_read_back_and_rewrite(board):
    assert run_sim("env", board).stdout == "" and "erased" in run_sim("env", board).stderr
    run_sim("env", board, "gdb=on", "bootargs=console=ttyS0,115200 shell=on")
    part = (board / "flash" / "ubootenv.bin").read_bytes()
    entries = b"gdb=on\0bootargs=console=ttyS0,115200 shell=on\0\0"
    assert part == struct.pack(">I", zlib.crc32(part[4:])) + entries + b"\xff" * (
        64 * 1024 - 4 - len(entries))  # the CRC covers everything after it, big-endian
    run_sim("env", board, "diagnostics=rescue", "gdbport=2345", "empty=")  # KEY= leaves KEY out
    assert run_sim("env", board).stdout == "diagnostics=rescue\ngdbport=2345\n"
    # 65532 bytes of entry area: one entry of 65530 characters and its NUL fit with the
    # closing empty entry; one more character does not.
    run_sim("env", board, "k=" + "v" * 65528)
    assert run_sim("env", board, "k=" + "v" * 65529, check=False).returncode == 2
    assert run_sim("env", board).stdout == "k=" + "v" * 65528 + "\n"


@pytest.mark.parametrize("damage,shown", [(lambda p: bytes([p[0] ^ 1]) + p[1:], "shell=on\n"),
                                          (lambda p: bytes(4) + b"A" * (len(p) - 4), "")],
                         ids=["crc", "unterminated"])
def test_damaged_env_reported(board, damage, shown):
    run_sim("env", board, "shell=on")
    path = board / "flash" / "ubootenv.bin"
    path.write_bytes(damage(path.read_bytes()))
    result = run_sim("env", board, check=False)
    assert result.returncode == 1 and result.stdout == shown
    assert ("CRC mismatch" if shown else "unterminated") in result.stderr


def test_eeprom_round_trip(board):
    run_sim("eeprom", board, "0x013B", "0xD5")
    assert run_sim("eeprom", board, "0x13b").stdout == run_sim("eeprom", board, "315").stdout
    assert run_sim("eeprom", board, "315").stdout == "0xD5\n"
    run_sim("eeprom", board, "0x0108", "1", "2", "0x03", "255")
    run_sim("eeprom", board, "0xFFFF", "0")
    assert (board / "eeprom.bin").read_bytes()[0x108:0x10C] == bytes([1, 2, 3, 255])
    assert run_sim("eeprom", board, "65535").stdout == "0x00\n"


def test_events_print_and_filter_by_kind(board):
    assert run_sim("events", board).stdout == ""
    (board / "board.conf").write_text("rtc_offset=3600\n")
    (board / "events.log").write_text(
        "1.000001 shell reboot\n2.000002 cmd /bin/date 010100002000\n3.000003 reboot /bin/reboot\n"
        "4.000004 shell a\\nb\n")
    assert run_sim("events", board, "--raw").stdout.count("\n") == 4
    assert run_sim("events", board, "cmd", "--raw").stdout == \
        "2.000002 cmd /bin/date 010100002000\n"
    assert run_sim("events", board, "reboot").stdout == "1970-01-01 01:00:03 reboot /bin/reboot\n"
    assert run_sim("events", board, "shell").stdout == \
        "1970-01-01 01:00:01 shell reboot\n1970-01-01 01:00:04 shell a\n" + " " * 20 + "b\n"


def test_usage(sim):
    for command in ["new", "env", "eeprom", "boot", "demo", "events", "shell"]:
        assert run_sim(command, "--help").stdout.startswith(f"usage: switch-sim {command} ")
    assert run_sim(check=False).returncode == 2
