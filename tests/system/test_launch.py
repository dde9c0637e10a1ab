"""Application launch on the simulated switch: images made and signed with bmimage in the
slots, booted in the sandbox; what was started, with which arguments and variables."""
import gzip

import pytest

from simboard import boot_slots as boot, boot_source, image, items, rows, tarball, texts, unescape

APP = "/tmp/home/bin/mp.elf.strip"
UNTAR = "cd /tmp \\ntar mxzf /tmp/veloximage.tar.gz \\nrm /tmp/veloximage.tar.gz\\n"
BACKTRACE = "/bin/backtrace"
NO_GDB = "**** GDB mode selected but GDB not available. Please install GDB image ***\n"


@pytest.mark.parametrize("row,env,commands,stubs,shown", rows("launch.txt"))
def test_launch_rows(board, tmp_path, row, env, commands, stubs, shown):
    debugger = image(tmp_path, gzip.compress(b'#!/bin/sh\necho "debugger started: $*"\n'))
    out, err = boot(board, [image(tmp_path), debugger if row == "3-gdb" else None], items(env))
    shell = texts(board, "shell")
    app = [s.replace("{APP}", APP) for s in items(commands)]
    assert shell[shell.index(UNTAR) + 1:] == ["/tmp/home/bin/install.sh"] + app
    assert [t for t in texts(board, "cmd") if t.startswith(("/bin/back", "/bin/gdbs"))] == [
        s.replace("{APP}", APP) for s in items(stubs)]
    assert all(unescape(text).replace("{APP}", APP) in out for text in items(shown))
    assert ("Extracting GDB" in out) == row.startswith(("3", "4"))
    assert boot_source(board) == 1


def test_env_setup_with_an_odd_number_of_words(board, tmp_path):
    env_setup = b"APP_MODE lab\n  SAMPLE_APP_VERSION 7.1.0.2 APP_SITE"
    out, _ = boot(board, [image(tmp_path, tarball({"home/bin/env-setup": env_setup}))])
    assert (" Image signature verified. \nRunning install script\nsample install script ran\n"
            "=== Sample switch application 7.1.0.2 ===\nAPP_MODE=lab\nAPP_SITE=\n") in out


@pytest.mark.parametrize("case,slot1,slot2,env,err_start,source", rows("fallbacks.txt"))
def test_fallbacks(board, tmp_path, case, slot1, slot2, env, err_start, source):
    err_start, source = unescape(err_start), None if source == "-" else int(source)
    good = image(tmp_path)
    make = {"-": None, "good": good, "flipped": good[:-1] + bytes([good[-1] ^ 1]),
            "truncated": good[:-100], "unsigned": image(tmp_path, signed=False),
            "kernel": image(tmp_path, b"kernel", kind="kernel")}
    out, err = boot(board, [make[slot1], make[slot2]], items(env))
    assert err.startswith(err_start) and (err_start or not err)  # "": nothing at all
    assert ("APP_MODE=demo" in out) == (source is not None)
    if source:
        assert boot_source(board) == source
    else:
        assert texts(board, "shell")[-1] == "reboot"
    if case == "unsigned":
        assert out.count("Image has invalid signature. Quitting\n") == 2
    if case == "both missing":  # rescue mode, then the shell, then the reboot
        assert "Entering Rescue Mode." in out
        assert texts(board, "shell")[-2:] == ["/bin/sh\\n", "reboot"]


def test_diagnostics_image_in_a_slot(board, tmp_path):
    diags = tarball({"mpdiag.elf.strip": b'#!/bin/sh\necho "diagnostics running"\n'}, False)
    out, _ = boot(board, [image(tmp_path, diags, kind="diags")])
    shell = texts(board, "shell")
    assert shell[shell.index(UNTAR) + 1:] == [
        "mkdir -p /tmp/home/bin", "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"]
    assert "install diags image\ndiagnostics running\n" in out
    assert texts(board, "cmd")[-1] == BACKTRACE


def test_gdb_image_that_is_an_application(board, tmp_path):
    out, err = boot(board, [image(tmp_path), image(tmp_path)], ("gdb=on",))
    assert "Extracting GDB from image slot 2\nFound GDB image 2 of length = " in out
    assert "Unexpected format for GDB image.\n" in err
    shell = texts(board, "shell")
    assert shell[shell.index("gunzip /tmp/gdb.gz"):shell.index(UNTAR)] == [
        "gunzip /tmp/gdb.gz", "tar -tf /tmp/gdb > /dev/null 2>&1", "rm /tmp/gdb"]
    assert NO_GDB in out
    assert texts(board, "cmd")[-1] == BACKTRACE
