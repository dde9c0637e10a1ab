"""The switch's own build of the boot manager over the kernel's devices: switch-sim boot
--target e500 runs it after a real Linux kernel under qemu-system-ppc (scripts/target-e500.sh
builds what it needs). Flash and EEPROM are the board's files, read back here; the console's
input is a file, so the boot manager meets its end as it would a hung-up line."""
import os
import subprocess

import pytest

from simboard import boot_source, image, run_sim, tarball, texts

MENU = "Entering Rescue Mode."


def run_e500(board, tmp_path, console_input=b""):
    answers = tmp_path / "console.in"
    answers.write_bytes(console_input)
    with open(answers, "rb") as stdin:
        result = run_sim("boot", board, "--target", "e500", "--timeout", "240", "--time-scale",
                         "0.1", check=False, stdin=stdin, timeout=300)
    if "--target e500 needs" in result.stderr:
        pytest.skip("the e500 target is not built: " + result.stderr.strip())
    return result


def slot_1(board, tmp_path):
    (board / "user" / "images").mkdir()
    (board / "user" / "images" / "image1").write_bytes(image(tmp_path))


def test_signed_slot_1_boots_after_the_kernel(board, tmp_path):
    # The image's install script tries to leave a setuid program in /user, which is the
    # board's user/ on the host: QEMU may not carry the bit through, whoever started it.
    plant = b"#!/bin/sh\ncp /bin/busybox /user/planted\nchmod 4755 /user/planted\n"
    (board / "user" / "images").mkdir()
    (board / "user" / "images" / "image1").write_bytes(
        image(tmp_path, tarball({"home/bin/install.sh": plant})))
    assert boot_source(board) == 0xFF
    result = run_e500(board, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Linux version 6.1" in result.stdout
    assert " Image signature verified. " in result.stdout
    assert "APP_MODE=demo" in result.stdout
    assert texts(board, "cmd")[-1] == "/bin/backtrace"
    assert boot_source(board) == 1
    planted = board / "user" / "planted"
    assert planted.exists() and not planted.stat().st_mode & 0o6000


# A partition smaller than an erase block is read-only to the kernel: it opens for reading.
# With a bootable slot 1 only the environment's flag leads to the menu (left at end of input).
@pytest.mark.parametrize("environment_size", [None, 32768], ids=["env", "env-below-a-block"])
def test_diagnostics_rescue_enters_the_rescue_menu(board, tmp_path, environment_size):
    slot_1(board, tmp_path)
    if environment_size:
        os.truncate(board / "flash" / "ubootenv.bin", environment_size)
    run_sim("env", board, "diagnostics=rescue")
    result = run_e500(board, tmp_path)
    assert MENU in result.stdout, result.stdout + result.stderr


def test_package_install_writes_kernel_and_root_filesystem(board, tmp_path):
    parts = {"kernel": image(tmp_path, bytes(range(256)) * 800, kind="kernel"),
             "rfs": image(tmp_path, b"rootfs" * 30000, kind="rootfs")}
    for name, data in parts.items():
        (tmp_path / name).write_bytes(data)
    (board / "usb").mkdir()
    tool = os.path.join(os.environ["BOOTMGR_BUILD_DIR"], "bmimage")
    subprocess.run([tool, "pack", tmp_path / "kernel", tmp_path / "rfs", "-o",
                    board / "usb" / "pkg.img"], check=True, capture_output=True)
    run_sim("env", board, "diagnostics=rescue")
    result = run_e500(board, tmp_path, b"u1\n")
    assert "Installing pkg.img" in result.stdout, result.stdout + result.stderr
    for name, data in parts.items():
        assert (board / "flash" / f"{name}.bin").read_bytes()[:len(data)] == data
