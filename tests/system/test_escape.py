"""Escape attempts from a hostile image or board directory: each runs as root and as an
ordinary user, and checks that nothing outside the board directory changed (a canary file
and its time, host /proc/sys values before and after)."""
import os
import pathlib
import shutil
import stat
import subprocess
import tempfile
import time

import pytest

from simboard import rows, sim_path

NOBODY = 65534
DEDICATED = 99999
AS_NOBODY = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
SYSCTLS = ["kernel/core_pattern", "kernel/panic", "kernel/hostname", "kernel/sysrq",
           "fs/protected_symlinks", "fs/protected_hardlinks", "vm/swappiness",
           "net/ipv4/ip_forward"]
RACE_SECONDS = 45
RACE_LAUNCHES = 300


def sysctl_values():
    return {name: pathlib.Path("/proc/sys", name).read_text() for name in SYSCTLS
            if os.access(f"/proc/sys/{name}", os.R_OK)}


class Side:
    """switch-sim run as root or as an ordinary user, with a board of that user's and a
    canary outside the board that the same user could write."""

    def __init__(self, mode, top):
        self.mode = mode
        self.prefix = AS_NOBODY if mode == "user" and os.geteuid() == 0 else []
        # Who the board runs as: its owner, or a dedicated user when root owns it.
        self.uid = NOBODY if self.prefix else DEDICATED if os.geteuid() == 0 else os.geteuid()
        self.top = top
        self.board = os.path.join(top, "board")
        self.canary = os.path.join(top, "canary")
        with open(self.canary, "w") as f:
            f.write("canary\n")
        if self.prefix:
            for path in (top, self.canary):
                os.chown(path, NOBODY, NOBODY)
        os.chmod(self.canary, 0o666 if mode == "user" else 0o644)
        self.run("new", self.board, check=True)
        self.canary_before = (os.stat(self.canary).st_mtime_ns, "canary\n")
        self.sysctl_before = sysctl_values()

    def run(self, *args, check=False, timeout=60, stdin=subprocess.DEVNULL):
        result = subprocess.run(self.prefix + [sim_path(), *map(str, args)], stdin=stdin,
                                capture_output=True, text=True, errors="replace",
                                timeout=timeout)
        assert not check or result.returncode == 0, result.stderr
        return result

    def sh(self, script, *options, timeout=60):
        return self.run("shell", self.board, *options, "--", "/bin/sh", "-c", script,
                        timeout=timeout)

    def host_unchanged(self):
        with open(self.canary) as f:
            assert (os.stat(self.canary).st_mtime_ns, f.read()) == self.canary_before
        assert sysctl_values() == self.sysctl_before


@pytest.fixture(params=["root", "user"])
def side(request, sim):
    if request.param == "root" and os.geteuid() != 0:
        pytest.skip("the root half needs the tests to run as root")
    if request.param == "user" and os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("no setpriv to become an ordinary user")
        stubs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sandbox",
                             "stubs", "bin", "reboot")
        if subprocess.run(AS_NOBODY + ["sh", "-c", 'test -x "$1" && test -r "$2"', "-", sim,
                                       stubs]).returncode != 0:
            pytest.skip("the build or the source tree is not reachable by an ordinary user")
    top = tempfile.mkdtemp(prefix="sim-escape-")
    os.chmod(top, 0o755)
    try:
        s = Side(request.param, top)
        probe = s.sh("true")
        if probe.returncode != 0 and "namespace" in probe.stderr:
            pytest.skip("this machine allows no user namespaces: " + probe.stderr.strip())
        yield s
        s.host_unchanged()
    finally:
        shutil.rmtree(top, ignore_errors=True)


def test_proc_and_sys_are_not_writable(side):
    # Every writable-looking file is written with the value it holds: nothing may take it.
    script = ("for f in $(find /proc/sys /proc/sysrq-trigger /sys -type f -perm -200 "
              "2>/dev/null); do v=$(cat $f 2>/dev/null) || continue; "
              "(printf '%s\\n' \"$v\" > $f) 2>/dev/null && echo \"WROTE $f\"; done; "
              "grep -E '^Cap(Eff|Prm|Bnd)' /proc/self/status; id -u")
    result = side.sh(script)
    assert "WROTE" not in result.stdout
    lines = result.stdout.split()
    # CAP_NET_ADMIN, CAP_NET_RAW and CAP_NET_BIND_SERVICE only, which reach no further than
    # the sandbox's own user namespace and its two network namespaces.
    assert lines[1::2][:3] == ["0000000000003400"] * 3
    assert lines[-1] == str(side.uid)


def test_no_setuid_file_reaches_the_host(side):
    result = side.sh("cp /bin/busybox /sim/s; chmod 4755 /sim/s; chmod 2755 /sim/s; "
                     "chmod u+s,g+s /sim/s; cp /sim/s /user/t; chmod 6755 /user/t; true")
    assert "Operation not permitted" in result.stderr
    for path in ("s", "user/t"):
        st = os.stat(os.path.join(side.board, path))
        assert st.st_mode & (stat.S_ISUID | stat.S_ISGID) == 0, path
        assert st.st_uid == side.uid


@pytest.mark.parametrize("kind,name,tried", rows("escape_files.txt"))
def test_board_file_rows(side, kind, name, tried):
    started = time.monotonic()
    if kind == "clock":
        with open(os.path.join(side.board, name), "a") as conf:
            conf.write(tried + "\n")
        result = side.run("boot", side.board)
        assert (result.returncode, result.stderr) == (2, (
            f"switch-sim: {os.path.realpath(side.board)}/board.conf: line 2: {tried}: the "
            "emulated clock shows 2000-01-01 00:00:00 to 2099-12-31 23:59:59 UTC only\n"))
    elif kind == "device":
        result = side.sh(f"rm /sim/{name}; {tried} /sim/{name}; exec /sbin/bootmgr", "--timeout",
                         "60", timeout=90)
        assert f"emulated board: /sim/{name}: not a regular file; refused" in result.stderr
    else:
        plant = f"ln -s {side.canary}" if kind == "link" else "/bin/busybox mkfifo"
        side.sh(f"touch /sim/events.log; rm -rf /sim/{name}; {plant} /sim/{name}")
        started = time.monotonic()
        result = side.run(*tried.replace("{B}", side.board).split(), timeout=30)
        assert result.returncode != 0 and time.monotonic() - started < 10
        assert name.split("/")[-1] in result.stderr or name in result.stderr
        assert "refused" in result.stderr or "not a simulated board" in result.stderr
    assert time.monotonic() - started < 30


def test_fifo_event_log_made_during_a_boot_does_not_hang(side):
    started = time.monotonic()
    result = side.sh("rm -f /sim/events.log; /bin/busybox mkfifo /sim/events.log; reboot; "
                     "echo done", timeout=30)
    assert time.monotonic() - started < 10
    assert result.stdout == "done\n"


def test_user_link_race(side):
    target = os.path.join(side.top, "target")
    os.mkdir(target)
    os.chmod(target, 0o777)
    swapper = subprocess.Popen(side.prefix + [
        "/usr/bin/python3", "-c",
        "import os, sys, time\nb, t = sys.argv[1], sys.argv[2]\n"
        "while True:\n"
        "    try:\n"
        "        os.rename(b + '/user', b + '/user.real'); os.symlink(t, b + '/user')\n"
        "        time.sleep(0.0005)\n"
        "        os.unlink(b + '/user'); os.rename(b + '/user.real', b + '/user')\n"
        "        time.sleep(0.001)\n"
        "    except OSError:\n        pass\n",
        side.board, target])
    launches = succeeded = caught = 0
    try:
        started = time.monotonic()
        while launches < RACE_LAUNCHES and time.monotonic() - started < RACE_SECONDS:
            result = side.sh(f"touch /user/mark{launches}")
            launches += 1
            succeeded += result.returncode == 0
            caught += "replaced while the board powered on" in result.stderr
    finally:
        swapper.kill()
        swapper.wait()
    user = os.path.join(side.board, "user")
    if os.path.islink(user):
        os.unlink(user)
    if os.path.isdir(user + ".real"):
        os.rename(user + ".real", user)
    print(f"user/ link race ({side.mode}): {launches} launches, {succeeded} ran with the "
          f"board's own user/, {caught} caught after the mount")
    assert launches >= 20  # a loaded machine (ctest -j runs the files side by side) makes fewer
    assert os.listdir(target) == []
    # What catches a link that wins between the launcher's check and bwrap's mount.
    result = side.sh("exec /usr/lib/sim/switch-sim _init --expect /user=1:1 -- /bin/true")
    assert result.returncode == 127
    assert "/user: not the board's own directory (replaced while the board powered on)" in \
        result.stderr


def test_fork_bomb_and_tmp_filler_end(side):
    started = time.monotonic()
    bomb = subprocess.Popen(side.prefix + [sim_path(), "shell", side.board, "--timeout", "15",
                                           "--", "/bin/sh", "-c", "b() { b | b & }; b; wait"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(3)
    probe = time.monotonic()
    subprocess.run(["true"], check=True)
    assert time.monotonic() - probe < 2  # the host still forks promptly
    bomb.communicate(timeout=60)
    # The process limit starves the bomb, or the time-out powers the board off.
    assert time.monotonic() - started < 40
    # /tmp holds 768 MiB; no file grows past 512 MiB.
    result = side.sh("dd if=/dev/zero of=/tmp/a bs=1M count=400 2>/dev/null; "
                     "dd if=/dev/zero of=/tmp/b bs=1M count=400 2>&1 | grep -c 'No space'; "
                     "rm /tmp/a /tmp/b; dd if=/dev/zero of=/tmp/big bs=1M count=600 2>/dev/null; "
                     "echo $?; stat -c %s /tmp/big", timeout=60)
    lines = result.stdout.split()
    assert lines[0] == "1"
    assert lines[1] != "0" and int(lines[2]) == 512 << 20


def test_event_log_is_capped_and_streamed(side):
    side.sh("dd if=/dev/zero of=/sim/events.log bs=1M count=17 2>/dev/null; reboot; true")
    assert os.path.getsize(os.path.join(side.board, "events.log")) == 17 << 20
    result = side.run("events", side.board)
    assert result.returncode != 0 and "larger than" in result.stderr
    side.sh(": > /sim/events.log; truncate -s 1G /sim/events.log 2>/dev/null || "
            "dd if=/dev/zero of=/sim/events.log bs=1 count=1 seek=1073741823 2>/dev/null")
    started = time.monotonic()
    assert side.run("events", side.board).returncode != 0
    assert time.monotonic() - started < 2


def test_timeout_powers_the_board_off(side):
    started = time.monotonic()
    result = side.run("shell", side.board, "--timeout", "2", "--", "/bin/sh", "-c",
                      "echo up; sleep 60")
    assert result.returncode == 124
    assert result.stdout == "up\n"
    assert "powered the board off after 2 seconds" in result.stderr
    assert time.monotonic() - started < 10
