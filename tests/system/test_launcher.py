"""switch-sim's board commands: new, env, eeprom, events."""
import os
import struct
import zlib

import pytest

from simboard import SERIAL, run_sim

FLASH_SIZES = {
    "uboot": 512 * 1024,
    "ubootenv": 64 * 1024,
    "devicetree": 256 * 1024,
    "kernel": 8 * 1024 * 1024,
    "rfs": 10 * 1024 * 1024,
    "rescue": 10 * 1024 * 1024,
}


def read(path):
    with open(path, "rb") as f:
        return f.read()


class TestNew:
    def test_fresh_board_layout(self, board):
        for name, size in FLASH_SIZES.items():
            data = read(board / "flash" / f"{name}.bin")
            assert len(data) == size, name
            assert data == b"\xff" * size, name
        eeprom = read(board / "eeprom.bin")
        assert len(eeprom) == 64 * 1024
        assert eeprom[0x0D:0x0D + 12] == SERIAL.encode()
        assert eeprom[0x0100] == 1
        assert eeprom[0x013B] == 0x00
        untouched = eeprom[:0x0D] + eeprom[0x19:0x100] + eeprom[0x101:0x13B] + eeprom[0x13C:]
        assert untouched == b"\xff" * len(untouched)
        assert os.listdir(board / "user") == []
        assert not (board / "usb").exists()

    def test_short_serial_is_padded_with_zero_bytes(self, tmp_path, sim):
        run_sim("new", tmp_path / "b", "--serial", "AB12")
        assert read(tmp_path / "b" / "eeprom.bin")[0x0D:0x19] == b"AB12" + bytes(8)

    def test_erase_size_goes_to_board_conf(self, tmp_path, sim):
        run_sim("new", tmp_path / "b", "--erase-size", "0x4000")
        assert "erase_size=16384" in read(tmp_path / "b" / "board.conf").decode().splitlines()

    @pytest.mark.parametrize("size", ["0", "1000", "512", "131072", "65537", "x", "-1"])
    def test_bad_erase_size_refused(self, tmp_path, sim, size):
        result = run_sim("new", tmp_path / "b", "--erase-size", size, check=False)
        assert result.returncode != 0
        assert not (tmp_path / "b").exists()

    def test_serial_longer_than_twelve_refused(self, tmp_path, sim):
        result = run_sim("new", tmp_path / "b", "--serial", "ABCDEFGHIJKLM", check=False)
        assert result.returncode != 0
        assert not (tmp_path / "b").exists()

    def test_existing_non_empty_directory_refused(self, tmp_path, sim):
        target = tmp_path / "b"
        target.mkdir()
        (target / "keep").write_bytes(b"precious")
        result = run_sim("new", target, check=False)
        assert result.returncode != 0
        assert "not an empty directory" in result.stderr
        assert os.listdir(target) == ["keep"]
        assert read(target / "keep") == b"precious"

    def test_existing_file_refused(self, tmp_path, sim):
        target = tmp_path / "f"
        target.write_bytes(b"x")
        assert run_sim("new", target, check=False).returncode != 0
        assert read(target) == b"x"

    def test_empty_directory_accepted(self, tmp_path, sim):
        target = tmp_path / "b"
        target.mkdir()
        run_sim("new", target)
        assert (target / "eeprom.bin").is_file()


class TestEnv:
    def test_written_layout_and_crc(self, board):
        run_sim("env", board, "gdb=on", "bootargs=console=ttyS0,115200 shell=on")
        part = read(board / "flash" / "ubootenv.bin")
        assert len(part) == 64 * 1024
        entries = b"gdb=on\0bootargs=console=ttyS0,115200 shell=on\0\0"
        assert part[4:4 + len(entries)] == entries
        rest = part[4 + len(entries):]
        assert rest == b"\xff" * len(rest)
        # The CRC covers everything after it, stored big-endian.
        assert struct.unpack(">I", part[:4])[0] == zlib.crc32(part[4:])

    def test_read_back(self, board):
        run_sim("env", board, "diagnostics=rescue", "gdbport=2345", "empty=")  # KEY= leaves KEY out
        assert run_sim("env", board).stdout == "diagnostics=rescue\ngdbport=2345\n"

    def test_rewrite_replaces_every_entry(self, board):
        run_sim("env", board, "gdb=on", "shell=on")
        run_sim("env", board, "memchk=on")
        assert run_sim("env", board).stdout == "memchk=on\n"

    def test_erased_partition_prints_nothing(self, board):
        result = run_sim("env", board)
        assert result.stdout == ""
        assert "erased" in result.stderr

    def test_damaged_crc_reported(self, board):
        run_sim("env", board, "shell=on")
        path = board / "flash" / "ubootenv.bin"
        part = bytearray(read(path))
        part[0] ^= 0x01
        path.write_bytes(bytes(part))
        result = run_sim("env", board, check=False)
        assert result.returncode == 1
        assert "CRC mismatch" in result.stderr
        assert result.stdout == "shell=on\n"

    def test_unterminated_entries_stop_safely(self, board):
        path = board / "flash" / "ubootenv.bin"
        path.write_bytes(b"\0\0\0\0" + b"A" * (64 * 1024 - 4))
        result = run_sim("env", board, check=False)
        assert result.returncode == 1
        assert "unterminated" in result.stderr

    @pytest.mark.parametrize("pair", ["novalue", "=value", ""])
    def test_malformed_pair_refused(self, board, pair):
        result = run_sim("env", board, pair, check=False)
        assert result.returncode == 2
        assert read(board / "flash" / "ubootenv.bin") == b"\xff" * 64 * 1024

    def test_duplicate_key_refused(self, board):
        assert run_sim("env", board, "gdb=on", "gdb=off", check=False).returncode == 2

    def test_entries_must_fit(self, board):
        # 65532 bytes of entry area: one entry of 65530 characters and its NUL fit with the
        # closing empty entry; one more character does not.
        run_sim("env", board, "k=" + "v" * (65530 - 2))
        assert run_sim("env", board).stdout == "k=" + "v" * 65528 + "\n"
        result = run_sim("env", board, "k=" + "v" * (65531 - 2), check=False)
        assert result.returncode == 2
        assert run_sim("env", board).stdout == "k=" + "v" * 65528 + "\n"


class TestEeprom:
    def test_round_trip(self, board):
        run_sim("eeprom", board, "0x013B", "0xD5")
        assert run_sim("eeprom", board, "0x13b").stdout == "0xD5\n"
        assert run_sim("eeprom", board, "315").stdout == "0xD5\n"
        run_sim("eeprom", board, "0x0108", "1", "2", "0x03", "255")
        assert read(board / "eeprom.bin")[0x108:0x10C] == bytes([1, 2, 3, 255])

    def test_last_byte(self, board):
        run_sim("eeprom", board, "0xFFFF", "0")
        assert run_sim("eeprom", board, "65535").stdout == "0x00\n"

    @pytest.mark.parametrize("args", [
        ["0x10000"], ["65536"], ["0xFFFF", "1", "2"], ["0x100", "256"], ["0x100", "-1"],
        ["0x100", "0x"], ["zz"], ["", "1"], ["0x100", "1x"], ["99999999999999999999999"],
    ])
    def test_out_of_range_or_malformed_refused(self, board, args):
        before = read(board / "eeprom.bin")
        result = run_sim("eeprom", board, *args, check=False)
        assert result.returncode == 2
        assert result.stdout == ""
        assert read(board / "eeprom.bin") == before

    def test_not_a_board(self, tmp_path, sim):
        result = run_sim("eeprom", tmp_path, "0", check=False)
        assert result.returncode == 1
        assert "not a simulated board" in result.stderr


class TestEvents:
    def test_prints_log_and_filters_by_kind(self, board):
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

    def test_no_log_yet(self, board):
        assert run_sim("events", board).stdout == ""


# (arguments, exit status, first line on standard error); {B} is the board, {T} its folder.
REFUSED = [
    (["boot", "{B}", "--timeout"], 2, "--timeout needs a value"),
    (["new", "{T}/n", "--serial"], 2, "--serial needs a value"),
    (["demo", "{T}/d", "--timeout", "abc"], 2, "--timeout: whole seconds from 1 to 604800"),
    (["events", "{T}"], 1, "{T}: not a simulated board: eeprom.bin is missing (make one with: "
     "switch-sim new DIR)"),
    (["events", "{B}/eeprom.bin"], 1, "{B}/eeprom.bin: a regular file, not a directory of its own; "
     "refused"),
    (["events", "{B}", "frob"], 2, "events: unknown kind 'frob' (shell, cmd, led, reboot, tftpd or "
     "dhcpd)"),
    (["boot", "{B}"], 2, "{B}/board.conf: line 2: unknown key 'fault_flash_raed'"),
]


@pytest.mark.parametrize("args,status,message", REFUSED, ids=[" ".join(r[0]) for r in REFUSED])
def test_refused_before_anything_is_made(board, args, status, message):
    with open(board / "board.conf", "a") as conf:
        conf.write("fault_flash_raed=rfs:1\n")
    def place(text):
        return text.replace("{B}", str(board)).replace("{T}", str(board.parent))
    before = sorted(os.listdir(board.parent))
    result = run_sim(*map(place, args), check=False)
    assert (result.returncode, result.stderr.splitlines()[0]) == (status,
                                                                   "switch-sim: " + place(message))
    assert sorted(os.listdir(board.parent)) == before


def test_usage_and_unknown_command(sim):
    for command in ["new", "env", "eeprom", "boot", "demo", "events", "shell"]:
        assert run_sim(command, "--help").stdout.startswith(f"usage: switch-sim {command} ")
    assert run_sim(check=False).returncode == 2
    result = run_sim("frobnicate", check=False)
    assert result.returncode == 2
    assert "unknown command" in result.stderr
