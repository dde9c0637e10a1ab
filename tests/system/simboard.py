"""Helpers of the whole-switch tests: simulated boards made with switch-sim in temporary
directories, powered on in the sandbox under pexpect, and their event logs."""
import collections
import io
import os
import re
import subprocess
import tarfile
import time

import pexpect
import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE_BIN = os.path.join(SOURCE, "sandbox", "sample-app", "home", "bin")
SERIAL = "SYSTEST00001"
# A boot of a board with nothing bootable takes a few seconds; the USB wait ten more.
BOOT_TIMEOUT = 60


def sim_path():
    path = os.environ.get("SWITCH_SIM")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("SWITCH_SIM does not name the switch-sim program")
    return path


def run_sim(*args, check=True, stdin=subprocess.DEVNULL, timeout=BOOT_TIMEOUT, cwd=None):
    """Runs switch-sim without a terminal; returns the completed process (text output)."""
    result = subprocess.run([sim_path(), *map(str, args)], stdin=stdin, capture_output=True,
                            timeout=timeout, cwd=cwd)
    result.stdout = result.stdout.decode("utf-8", "replace")
    result.stderr = result.stderr.decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise AssertionError(f"switch-sim {' '.join(map(str, args))} failed "
                             f"({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


def board_stderr(text):
    """A power-on's standard error without the launcher's closing line on how the board
    stopped: what the board itself wrote."""
    lines = text.splitlines(keepends=True)
    if lines and lines[-1].startswith(("switch-sim: the board", "switch-sim: powered")):
        lines.pop()
    return "".join(lines)


def sh(board, script, *options, check=True):
    """A shell script run in the sandbox where the boot manager would run."""
    return run_sim("shell", board, *options, "--", "/bin/sh", "-c", script, check=check)


def make_board(path, serial=SERIAL):
    run_sim("new", path, "--serial", serial)
    return path


def set_eeprom(board_dir, offset, *values):
    run_sim("eeprom", board_dir, hex(offset), *[hex(v) for v in values])


def spawn(*args, timeout=BOOT_TIMEOUT, cwd=None):
    """switch-sim with its console on a fresh pseudo-terminal."""
    child = pexpect.spawn(sim_path(), [str(a) for a in args], encoding="utf-8",
                          codec_errors="replace", timeout=timeout, dimensions=(50, 200), cwd=cwd)
    return child


def boot(board_dir, *options, cwd=None):
    return spawn("boot", board_dir, *options, cwd=cwd)


# Everything a powered-on board printed, with the exit status once it ended.
Console = collections.namedtuple("Console", "text status")


def run_to_end(child, answers=()):
    """Waits for the boot manager to end. At a rescue menu prompt the operator picks
    Reboot, so that a board with nothing bootable always ends. answers: (pattern, text)
    pairs sent when the pattern shows up."""
    patterns = [pexpect.EOF, r"Option\? : "] + [p for p, _ in answers]
    seen = []
    while True:
        index = child.expect(patterns)
        seen.append(child.before + (child.after if isinstance(child.after, str) else ""))
        if index == 0:
            break
        if index == 1:
            child.send("r")
        else:
            child.send(answers[index - 2][1])
    child.close()
    status = child.exitstatus if child.exitstatus is not None else 128 + child.signalstatus
    return Console("".join(seen).replace("\r\n", "\n"), status)


def boot_to_end(board_dir, *options, answers=(), cwd=None):
    return run_to_end(boot(board_dir, *options, cwd=cwd), answers)


def events(board_dir, kind=None):
    """The board's event log as (kind, text) pairs, in order."""
    path = os.path.join(board_dir, "events.log")
    if not os.path.exists(path):
        return []
    result = []
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            line = line.rstrip("\n")
            match = re.fullmatch(r"(\d+\.\d{6}) (\w+) ?(.*)", line)
            assert match, f"malformed event line: {line!r}"
            if kind is None or match.group(2) == kind:
                result.append((match.group(2), match.group(3)))
    return result


def texts(board_dir, kind):
    return [text for _, text in events(board_dir, kind)]


def wait_for(predicate, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "system")


def rows(name):
    """The rows of tests/data/system/NAME: one a line, fields split at ' | ', '#' lines and
    blank lines skipped; each a pytest parameter named after the file and line."""
    params = []
    with open(os.path.join(DATA, name), encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            if line.strip() and not line.startswith("#"):
                fields = [f.strip() for f in line.rstrip("\n").split(" | ")]
                params.append(pytest.param(*fields, id=f"{name}:{number}"))
    return params


def items(field):
    """A row's list field: split at ' & ', '-' the empty list."""
    return [] if field == "-" else field.split(" & ")


def unescape(text):
    """A row's console text: \\n a line break, \\t a tab, '-' nothing."""
    return "" if text == "-" else text.replace("\\n", "\n").replace("\\t", "\t")


def tarball(changes=None, sample=True):
    """The sample application's tarball; changes maps paths to new bytes (None drops)."""
    files = {}
    for name in os.listdir(SAMPLE_BIN) if sample else []:
        with open(os.path.join(SAMPLE_BIN, name), "rb") as f:
            files["home/bin/" + name] = f.read()
    files.update(changes or {})
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w:gz") as tar:
        for name, data in sorted(files.items()):
            if data is not None:
                info = tarfile.TarInfo(name)
                info.size, info.mode = len(data), 0o755
                tar.addfile(info, io.BytesIO(data))
    return raw.getvalue()


def image(tmp_path, data=None, kind="app", signed=True):
    """An image made (and production-signed) by bmimage of data, the sample tarball by default."""
    tool = os.path.join(os.environ.get("BOOTMGR_BUILD_DIR", ""), "bmimage")
    if not os.access(tool, os.X_OK):
        pytest.skip("bmimage is not built")
    src, out = tmp_path / "data.bin", tmp_path / "image.bin"
    src.write_bytes(tarball() if data is None else data)
    subprocess.run([tool, "create", "--type", kind, "--version", "1.0.0.1", "--data", str(src),
                    "--layout", "3", "-o", str(out)], check=True, capture_output=True)
    if signed:
        key = os.path.join(SOURCE, "keys", "production.key.pem")
        subprocess.run([tool, "sign", "--key", key, str(out), "-o", str(out)], check=True,
                       capture_output=True)
    return out.read_bytes()


def boot_slots(board, slots, env=(), options=(), check=True):
    """Boots without a terminal with these slot files (None: left as it is) and boot
    environment; returns standard output and what the board wrote on standard error."""
    images = board / "user" / "images"
    images.mkdir(parents=True, exist_ok=True)
    for slot, data in enumerate(slots, 1):
        if data is not None:
            (images / f"image{slot}").write_bytes(data)
    if env:
        run_sim("env", board, *env)
    result = run_sim("boot", board, *options, timeout=120, check=check)
    return result.stdout, board_stderr(result.stderr)


def boot_source(board):
    return (board / "eeprom.bin").read_bytes()[0x13A]
