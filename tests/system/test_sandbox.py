"""The sandbox a simulated board runs in, checked through switch-sim's debugging command
`shell DIR -- COMMAND`, which runs a command where the boot manager would run."""
import os
import signal
import time
import uuid

import pexpect
import pytest

from simboard import events, items, rows, run_sim, sh, sim_path, spawn, texts, unescape, wait_for

@pytest.mark.parametrize("name,options,script,out,logged", rows("sandbox_shell.txt"))
def test_shell_rows(board, name, options, script, out, logged):
    options = [] if options == "-" else options.split()
    assert sh(board, script, *options).stdout == unescape(out)
    if logged != "*":
        assert [f"{kind} {text}" for kind, text in events(board)] == items(logged)


class TestPlatformPrograms:
    def test_date_sets_nothing_and_shows_the_time(self, board):
        before = time.time()
        result = sh(board, "date 010100001999.00; date +%Y")
        assert result.stdout.strip() == time.strftime("%Y")
        assert abs(time.time() - before) < 30
        assert texts(board, "cmd") == ["/bin/date 010100001999.00", "/bin/date +%Y"]

    @pytest.mark.skipif(not os.path.exists("/usr/lib/libduma.so.0.0.0"), reason="duma not installed")
    def test_memory_checker_preloads_and_busybox_unpacks(self, board):
        script = ("cd /tmp && echo hello > f && tar czf t.tgz f && gzip f && gunzip f.gz && "
                  "rm f && tar mxzf t.tgz && printf '#!/bin/sh\\ncat /tmp/f\\n' > app && "
                  "chmod +x app && LD_PRELOAD=libduma.so.0.0.0 ./app")
        result = sh(board, script)
        assert result.stdout == "hello\n"
        assert result.stderr.startswith("DUMA")


class TestFilesystem:
    def test_user_and_sim_are_the_board_directory(self, board):
        sh(board, "mkdir -p /user/images && echo one > /user/images/f && echo two > /sim/g")
        assert (board / "user" / "images" / "f").read_text() == "one\n"
        assert (board / "g").read_text() == "two\n"

    @pytest.mark.parametrize("name", ["user", "usb"])
    def test_linked_user_or_usb_directory_refused(self, board, tmp_path, name):
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        if name == "user":
            (board / "user").rmdir()
        (board / name).symlink_to(elsewhere)
        result = sh(board, "touch /user/x /mnt/usb/x", check=False)
        assert result.returncode != 0
        assert "a symbolic link, not a directory of its own; refused" in result.stderr
        assert os.listdir(elsewhere) == []

    def test_tmp_is_fresh_for_every_power_on(self, board):
        name = f"sim-test-{uuid.uuid4().hex}"
        sh(board, f"touch /tmp/{name}; ls /tmp")
        assert not os.path.exists(f"/tmp/{name}")
        assert sh(board, "ls -A /tmp").stdout == ""

    def test_usb_stick_and_marker(self, board):
        (board / "usb").mkdir()
        (board / "usb" / "LQX4410_OS.img").write_bytes(b"IMG")
        result = sh(board, "ls /mnt/usb; test -e /tmp/usb && echo marker")
        assert result.stdout == "LQX4410_OS.img\nmarker\n"
        # With --usb-after the marker appears after the delay.
        script = ("test -e /tmp/usb && echo early; n=0; while [ ! -e /tmp/usb ]; do "
                  "sleep 0.1; n=$((n+1)); [ $n -gt 100 ] && break; done; echo $n")
        started = time.monotonic()
        result = sh(board, script, "--usb-after", "2")
        waited = int(result.stdout.strip())
        assert "early" not in result.stdout
        assert 10 <= waited <= 100
        assert time.monotonic() - started >= 2

class TestIsolation:
    def test_namespaces_and_environment(self, board):
        # The capabilities: test_escape.py, as root and as an ordinary user.
        result = sh(board, "cat /proc/sys/kernel/hostname; tail -n +3 /proc/net/dev | "
                    "cut -d: -f1; ls /proc | grep -c '^[0-9]'; env | sort")
        lines = result.stdout.split("\n")
        assert lines[0] == "switch"
        assert [line.strip() for line in lines[1:3]] == ["lo", "eth0"]
        assert int(lines[3]) < 10  # a PID namespace of its own
        env = {line.split("=", 1)[0] for line in lines[4:] if line}
        assert env == {"PATH", "SIM_BOARD", "TERM", "PWD"}
        assert "PATH=/bin:/sbin:/usr/bin:/usr/sbin" in lines
        assert "SIM_BOARD=/sim" in lines

    def test_rtc_option_sets_the_offset(self, board):
        result = sh(board, "echo $SIM_RTC_OFFSET", "--rtc", "2030-01-01 00:00:00")
        expected = int(time.mktime(time.strptime("2030-01-01 00:00:00 UTC",
                                                 "%Y-%m-%d %H:%M:%S %Z")) - time.timezone) - time.time()
        assert abs(int(result.stdout) - expected) < 30

    def test_exit_status_passes_through(self, board):
        assert sh(board, "exit 7", check=False).returncode == 7
        assert run_sim("shell", board, "--", "echo", "in PATH").stdout == "in PATH\n"

class TestConsole:
    def test_one_power_on_at_a_time_and_the_time_out_holds_at_the_escape_prompt(self, board):
        child = spawn("shell", board, "--timeout", "4", "--", "/bin/sh", "-c",
                      "echo up; sleep 60", timeout=20)
        child.expect("up")
        second = run_sim("boot", board, check=False)
        assert (second.returncode, second.stderr) == (1, f"switch-sim: {board}: powered on "
                                                      "already (by another switch-sim boot or "
                                                      "shell); refused\n")
        child.send("\x1dx")
        child.expect("file to send by xmodem")
        child.expect(pexpect.EOF)  # no answer: the time-out powers the board off
        child.close()
        assert child.exitstatus == 124

    def test_terminal_is_the_console_and_ctrl_c_reaches_the_program(self, board):
        child = spawn("shell", board, "--", "/bin/sh", "-c",
                      "trap 'echo got-int' INT; test -t 0 && echo on-a-tty; "
                      "echo via-ttyS0 > /dev/ttyS0; echo ready; while :; do sleep 0.1; done",
                      timeout=20)
        child.expect("on-a-tty")
        child.expect("via-ttyS0")
        child.expect("ready")
        for _ in range(2):
            child.sendintr()
            child.expect("got-int")
        # The launcher and bwrap survived both; Ctrl-\ ends the program.
        child.sendcontrol("\\")
        child.expect(pexpect.EOF)
        child.close()
        assert child.exitstatus == 128 + signal.SIGQUIT

    def test_no_input_can_be_pushed_into_the_callers_terminal(self, board):
        child = spawn("shell", board, "--", "/usr/lib/sim/switch-sim", "_tiocsti", timeout=20)
        child.expect(pexpect.EOF)
        child.close()
        assert "TIOCSTI refused: Operation not permitted" in child.before
        assert child.exitstatus == 0

    def test_console_settings_are_restored(self, board):
        # A program that leaves the console raw (as a boot manager stopped in the middle
        # of a key read does): the caller's terminal is put back afterwards.
        script = (f"'{sim_path()}' shell '{board}' -- /bin/sh -c 'stty raw -echo; echo raw-now'; "
                  "stty -a")
        child = pexpect.spawn("/bin/sh", ["-c", script], encoding="utf-8", timeout=20)
        child.expect("raw-now")
        child.expect(pexpect.EOF)
        settings = child.before.split()
        child.close()
        assert "icanon" in settings and "echo" in settings and "isig" in settings

    def test_killing_the_launcher_leaves_nothing_running(self, board):
        token = str(900000 + os.getpid() % 99999)
        child = spawn("shell", board, "--", "/bin/sh", "-c", f"echo up; exec sleep {token}",
                      timeout=20)
        child.expect("up")
        assert wait_for(lambda: sleeping(token))
        os.kill(child.pid, signal.SIGKILL)
        child.expect(pexpect.EOF)
        child.close()
        assert wait_for(lambda: not sleeping(token))


def test_pending_usb_hot_plug_ends_with_the_board(board):
    (board / "usb").mkdir()
    sh(board, "true", "--usb-after", "3599")
    assert wait_for(lambda: not any(b"--usb-after\x003599" in cmdline for cmdline in cmdlines()))


def cmdlines():
    result = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    result.append(f.read())
            except OSError:
                pass
    return result


def sleeping(token):
    return any(cmdline.split(b"\0")[:2] == [b"sleep", token.encode()] for cmdline in cmdlines())
