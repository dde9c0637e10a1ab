"""Application launch on the simulated switch: images made and signed with bmimage in the
slots, booted in the sandbox; what was started, with which arguments and variables."""
import gzip
import io
import os
import re
import subprocess
import tarfile

import pytest

from simboard import run_sim, texts

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SAMPLE_BIN = os.path.join(SOURCE, "sandbox", "sample-app", "home", "bin")
PRODUCTION_KEY = os.path.join(SOURCE, "keys", "production.key.pem")
APP = "/tmp/home/bin/mp.elf.strip"
UNTAR = "cd /tmp \\ntar mxzf /tmp/veloximage.tar.gz \\nrm /tmp/veloximage.tar.gz\\n"
BACKTRACE = "/bin/backtrace"
BOOT_SOURCE = 0x13A


def bmimage():
    path = os.path.join(os.environ.get("BOOTMGR_BUILD_DIR", ""), "bmimage")
    if not os.access(path, os.X_OK):
        pytest.skip("bmimage is not built")
    return path


def sample_files(changes=None):
    """The sample application's files (path in the tarball: bytes); a change to None drops
    the file."""
    files = {}
    for name in os.listdir(SAMPLE_BIN):
        with open(os.path.join(SAMPLE_BIN, name), "rb") as f:
            files["home/bin/" + name] = f.read()
    for name, data in (changes or {}).items():
        if data is None:
            files.pop(name, None)
        else:
            files[name] = data
    return files


def tarball(files):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w:gz") as tar:
        for name, data in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o755
            tar.addfile(info, io.BytesIO(data))
    return raw.getvalue()


def image(tmp_path, data, kind="app", version="1.0.0.1", signed=True):
    tool = bmimage()
    src, out = tmp_path / "data.bin", tmp_path / "image.bin"
    src.write_bytes(data)
    subprocess.run([tool, "create", "--type", kind, "--version", version, "--data", str(src),
                    "--layout", "3", "-o", str(out)], check=True, capture_output=True)
    if signed:
        subprocess.run([tool, "sign", "--key", PRODUCTION_KEY, str(out), "-o", str(out)],
                       check=True, capture_output=True)
    return out.read_bytes()


def put_slot(board, slot, data):
    images = board / "user" / "images"
    images.mkdir(parents=True, exist_ok=True)
    (images / f"image{slot}").write_bytes(data)


def app_image(tmp_path, changes=None):
    return image(tmp_path, tarball(sample_files(changes)))


def boot(board, *env):
    if env:
        run_sim("env", board, *env)
    result = run_sim("boot", board, timeout=120)
    return result.stdout, result.stderr


def eeprom(board, offset):
    return (board / "eeprom.bin").read_bytes()[offset]


GDB_SCRIPT = b"#!/bin/sh\necho \"debugger started: $*\"\n"

ROWS = [
    # (environment, expected shell commands after the unpack, expected stub lines,
    #  texts the console shows, texts it must not show)
    pytest.param((), [], [BACKTRACE], ["APP_MODE=demo", "LD_PRELOAD=(unset)"], ["GDB"],
                 id="6-plain"),
    pytest.param(("memchk=on",), [], [], ["APP_MODE=demo", "LD_PRELOAD=libduma.so.0.0.0"],
                 [], id="5-memchk"),
    pytest.param(("gdb=on", "memchk=on"), [], [BACKTRACE],
                 ["Extracting GDB from image slot 2",
                  "**** GDB mode selected but GDB not available. Please install GDB image ***\n",
                  "LD_PRELOAD=(unset)"], [], id="4-gdb-missing"),
    pytest.param(("gdb=on",), ["/tmp/gdb /tmp/home/bin/mp.elf.strip", "reboot"], [],
                 ["*** Launching under GDB ***\n",
                  "debugger started: /tmp/home/bin/mp.elf.strip"], [], id="3-gdb"),
    pytest.param(("gdbserver=on",), [f"/bin/gdbserver :1234 {APP}\\n", "reboot"],
                 [f"/bin/gdbserver :1234 {APP}"], [], ["Extracting GDB"], id="2-gdbserver"),
    pytest.param(("gdbserver=on", "gdb=on", "memchk=on", "gdbport=2345"),
                 [f"LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :2345 {APP}\\n", "reboot"],
                 [f"/bin/gdbserver :2345 {APP}"], [], ["Extracting GDB"], id="1-gdbserver-memchk"),
]


@pytest.mark.parametrize("env, commands, stubs, shown, hidden", ROWS)
def test_launch_rows(board, tmp_path, env, commands, stubs, shown, hidden):
    put_slot(board, 1, app_image(tmp_path))
    if env == ("gdb=on",):  # a debugger in the other slot
        put_slot(board, 2, image(tmp_path, gzip.compress(GDB_SCRIPT), signed=False))
    out, err = boot(board, *env)
    console = out + err
    shell = texts(board, "shell")
    start = shell.index(UNTAR)
    assert shell[start + 1] == "/tmp/home/bin/install.sh"
    assert shell[start + 2:] == commands
    assert [t for t in texts(board, "cmd") if t.startswith(("/bin/backtrace", "/bin/gdbserver"))] \
        == stubs
    for text in shown:
        assert text in console
    for text in hidden:
        assert text not in console
    assert eeprom(board, BOOT_SOURCE) == 1


def test_banner_and_variables_of_env_setup(board, tmp_path):
    # An odd number of words: the last one becomes a variable with an empty value.
    put_slot(board, 1, app_image(
        tmp_path, {"home/bin/env-setup": b"APP_MODE lab\n  SAMPLE_APP_VERSION 7.1.0.2 APP_SITE"}))
    out, _ = boot(board)
    assert (" Image signature verified. \nRunning install script\nsample install script ran\n"
            "=== Sample switch application 7.1.0.2 ===\nAPP_MODE=lab\nAPP_SITE=\n") in out


def test_env_setup_only_with_an_install_script(board, tmp_path):
    put_slot(board, 1, app_image(tmp_path, {"home/bin/install.sh": None}))
    out, _ = boot(board)
    assert "Running install script" not in out
    assert "APP_MODE=(unset)" in out


def test_slot_1_missing_boots_slot_2(board, tmp_path):
    put_slot(board, 2, app_image(tmp_path))
    out, err = boot(board)
    assert err.startswith("Failed to open Application image 1. Trying image 2.\n")
    assert "APP_MODE=demo" in out
    assert eeprom(board, BOOT_SOURCE) == 2


def test_crc_failure_first_attempt_then_other_slot(board, tmp_path):
    good = app_image(tmp_path)
    bad = bytearray(good)
    bad[-1] ^= 1
    put_slot(board, 1, bytes(bad))
    put_slot(board, 2, good)
    out, err = boot(board)
    assert "Image1 CRC failed, trying Image2 now.\n" in err
    assert re.findall(r"^Booting image '(\d)'$", out, re.M) == ["1", "2"]
    assert "APP_MODE=demo" in out
    assert eeprom(board, BOOT_SOURCE) == 2


@pytest.mark.parametrize("damage", ["flipped", "truncated"])
def test_crc_failure_on_the_second_attempt(board, tmp_path, damage):
    good = app_image(tmp_path)
    put_slot(board, 2, good[:-1] + bytes([good[-1] ^ 1]) if damage == "flipped" else good[:-100])
    out, err = boot(board)
    # The second attempt is the other slot of the first choice: slot 2 again.
    assert err == ("Failed to open Application image 1. Trying image 2.\n"
                   "Image2 CRC failed, trying Image1 now.\n"
                   "Both image1 and image2 failed.\n")
    assert texts(board, "shell")[-1] == "reboot"
    assert UNTAR not in texts(board, "shell")


def test_invalid_signature_is_refused_on_both_attempts(board, tmp_path):
    unsigned = image(tmp_path, tarball(sample_files()), signed=False)
    put_slot(board, 1, unsigned)
    put_slot(board, 2, unsigned)
    out, _ = boot(board)
    assert out.count("Image has invalid signature. Quitting\n") == 2
    assert UNTAR not in texts(board, "shell")


def test_both_slots_missing_enter_rescue_mode_then_reboot(board):
    # Without a console the rescue menu ends at once; the shell runs, then the reboot.
    out, err = boot(board, "shell=on")
    assert err.startswith("Failed to open Application image 1. Trying image 2.\n"
                          "Failed to open Application image 2.\n")
    assert "Booting image '2'" not in out
    assert ("rescue_menu: not available in this build" in err
            or "Entering Rescue Mode." in out)
    assert texts(board, "shell")[-2:] == ["/bin/sh\\n", "reboot"]


def test_no_bootable_sub_image_then_rescue_on_the_second_attempt(board, tmp_path):
    kernel = image(tmp_path, b"kernel bytes", kind="kernel")
    put_slot(board, 1, kernel)
    put_slot(board, 2, kernel)
    out, err = boot(board)
    assert err.startswith("Image has invalid header 0x0. (0x64c4144)\n"
                          "Image1 has invalid header... trying Image2.\n"
                          "No valid application image found. Trying rescue image\n")
    assert "Booting image '2'\n" in out
    assert texts(board, "shell")[-1] == "reboot"


def test_diagnostics_image_in_a_slot(board, tmp_path):
    diag = b"#!/bin/sh\necho \"diagnostics running\"\n"
    put_slot(board, 1, image(tmp_path, tarball({"mpdiag.elf.strip": diag}), kind="diags"))
    out, _ = boot(board)
    shell = texts(board, "shell")
    assert shell[shell.index(UNTAR) + 1:] == [
        "mkdir -p /tmp/home/bin", "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"]
    assert "install diags image\ndiagnostics running\n" in out
    assert texts(board, "cmd")[-1] == BACKTRACE


def test_gdb_image_that_is_an_application(board, tmp_path):
    put_slot(board, 1, app_image(tmp_path))
    put_slot(board, 2, app_image(tmp_path))
    out, err = boot(board, "gdb=on")
    assert "Extracting GDB from image slot 2\nFound GDB image 2 of length = " in out
    assert "decompressing GDB...." in out
    assert "Unexpected format for GDB image.\n" in err
    shell = texts(board, "shell")
    assert shell[shell.index("gunzip /tmp/gdb.gz"):shell.index(UNTAR)] == [
        "gunzip /tmp/gdb.gz", "tar -tf /tmp/gdb > /dev/null 2>&1", "rm /tmp/gdb"]
    assert "**** GDB mode selected but GDB not available. Please install GDB image ***" in out
    assert texts(board, "cmd")[-1] == BACKTRACE


def test_gdb_image_with_a_bad_header(board, tmp_path):
    put_slot(board, 1, app_image(tmp_path))
    put_slot(board, 2, image(tmp_path, b"x" * 64, kind="kernel"))
    out, err = boot(board, "gdb=on")
    assert "Image has invalid header 0x34c4144\n" in err
    assert "gunzip /tmp/gdb.gz" not in texts(board, "shell")
    assert "APP_MODE=demo" in out


def test_shell_before_the_launch(board, tmp_path):
    put_slot(board, 1, app_image(tmp_path))
    out, _ = boot(board, "shell=on")
    assert "Dropping into shell\nDropping out of shell\n" in out
    assert texts(board, "shell")[-1] == "/bin/sh\\n"
    assert texts(board, "cmd")[-1] == BACKTRACE
