"""Rescue mode on the simulated switch, through the console: the menu and its actions, and
downloads from the real TFTP and DHCP server of the sandbox's network. Boots run with
--time-scale so that the fixed waits of the dialogues pass quickly."""
import re
import time

import pexpect
import pytest

from simboard import boot, image, items, rows, run_sim, run_to_end, tarball, texts, unescape

SCALE = ("--time-scale", "0.1")
ADDRESSES = ["192.0.2.10", "255.255.255.0", "", "192.0.2.1"]


@pytest.fixture
def package(tmp_path):
    """The sample application as a production-signed image made by bmimage, in a file."""
    path = tmp_path / "pkg.img"
    path.write_bytes(image(tmp_path))
    return path


def tftp_rescue(board, name, addresses=ADDRESSES, *options):
    child = boot(board, *SCALE, *options)
    child.expect(r"Option\? : ")
    child.send("T")
    for prompt, answer in zip(["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"],
                              addresses):
        child.expect_exact(prompt)
        child.send(answer + "\r")
    child.expect_exact("Image Filename: ")
    child.send(name + "\r")
    return child


def test_tftp_install_from_the_server(board, package):
    (board / "tftp").mkdir()
    (board / "tftp" / "pkg.img").write_bytes(package.read_bytes())
    child = tftp_rescue(board, "pkg.img")
    console = run_to_end(child, answers=[(r"image 1 or 2 \(hit return", "1\r")])
    assert "Installing image pkg.img from TFTP server 192.0.2.1" in console.text
    assert "Image1 updated succeeded" in console.text
    assert texts(board, "tftpd") == ["sent /sim/tftp/pkg.img to 192.0.2.10"]
    assert (board / "user" / "images").exists()


# (how the server fails to answer, boot options, what the console shows before the attempts)
UNANSWERED = [
    (["192.0.2.10", "255.255.255.0", "", "198.51.100.1"], (), "Configuring management port"),
    (ADDRESSES, ("--link", "down"), "Mgmt link not available. Quitting."),
]


@pytest.mark.parametrize("addresses, options, shown", UNANSWERED)
def test_tftp_gives_up_after_three_attempts(board, addresses, options, shown):
    child = tftp_rescue(board, "pkg.img", addresses, *options)
    child.expect_exact(shown)
    console = run_to_end(child)
    assert [f"Attempt {n}/3 of tftp timed out" in console.text for n in (1, 2, 3)] == [True] * 3
    assert "Tftp download failed. Aborting" in console.text
    assert not any(line.startswith("sent") for line in texts(board, "tftpd"))


def test_dhcp_at_start_leases_from_the_server(board):
    run_sim("env", board, "gdbserver=on")
    console = run_to_end(boot(board, *SCALE),
                         answers=[(r"Use DHCP for network configuration\? y/N: ", "y\r")])
    assert "Mgmt link not available" not in console.text
    assert any(line.startswith("DHCPACK(srv0) 192.0.2.") for line in texts(board, "dhcpd"))


MENU = r"Option\? : "


def at_menu(board, *env):
    """Boots a board whose boot environment asks for rescue mode, up to the menu."""
    run_sim("env", board, "diagnostics=rescue", *env)
    child = boot(board, *SCALE)
    child.expect(MENU)
    return child


def power_off(child):
    """The console escape Ctrl-] q: the board is powered off and switch-sim says so."""
    child.send("\x1dq")
    child.expect_exact("switch-sim: powered off by the operator (Ctrl-] q); exit status 125")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 125


def write_flash(board, partition, data):
    with open(board / "flash" / f"{partition}.bin", "r+b") as flash:
        flash.write(data)


def secure(board, tmp_path):
    """A production-signed root filesystem: the switch runs no developer images."""
    write_flash(board, "rfs", image(tmp_path, b"rootfs", kind="rootfs"))


def test_ctrl_c_at_the_menu_asks_again(board):
    child = at_menu(board)
    # Between key reads the console is in its normal mode: a Ctrl-C typed before the menu's
    # read has begun is taken by the handler then, and the read waits for the next key, as
    # on the switch. An operator cannot type that fast; a test can, so it waits first.
    time.sleep(0.5)
    child.sendintr()
    child.expect(MENU)
    assert "Please select" not in child.before
    child.send("v")  # the menu still answers
    child.expect_exact("Installed images versions:")
    power_off(child)


ERASE = ["/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
         "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
         "mkdir /user/images &> /dev/null"]


@pytest.mark.parametrize("name,setup,keys,shown,end", rows("rescue_keys.txt"))
def test_menu_key_rows(board, tmp_path, name, setup, keys, shown, end):
    if "secure" in items(setup):
        secure(board, tmp_path)
    if "image1" in items(setup):
        (board / "user" / "images").mkdir(parents=True)
        (board / "user" / "images" / "image1").write_bytes(image(tmp_path))
    child = at_menu(board)
    child.send(keys)
    for text in items(shown):
        child.expect_exact(unescape(text).replace("\n", "\r\n"))
    if end == "off":
        power_off(child)
    else:
        child.expect(pexpect.EOF)
        child.close()
    assert texts(board, "reboot") == (["/bin/reboot"] if end == "reboot" else [])
    assert not [c for c in ERASE if c in texts(board, "shell")]


def test_key_wipe_and_keys_made_again_at_the_next_start(board):
    keys = ["development_key.pub.pem", "production_key.pub.pem"]
    child = at_menu(board)
    assert sorted(p.name for p in (board / "user").glob("*.pem")) == keys
    child.send("K")
    child.expect_exact("y/N: ")
    child.send("y")
    child.expect_exact("System keys have been deleted. Reset the switch to complete the operation")
    child.expect(MENU)
    power_off(child)
    assert not list((board / "user").glob("*.pem"))
    power_off(at_menu(board))
    assert {p.name: p.stat().st_size for p in (board / "user").glob("*.pem")} == dict.fromkeys(
        keys, 464)


def test_mac_address_only_six_hex_numbers(board):
    good = "02:00:5e:00:53:0a"
    child = at_menu(board)
    child.send("m")
    for attempt in ["1:2:3:4:5:6;sh", good]:  # the other refusals: tests/unit/network_test.cpp
        child.expect_exact("nn:nn:nn:nn:nn:nn): ")
        child.send(attempt + "\r")
        if attempt != good:
            child.expect_exact("Invalid MAC address. Try again please")
    child.expect(MENU)
    power_off(child)
    ifconfig = [t for t in texts(board, "shell") if t.startswith("ifconfig")]
    assert ifconfig == [f"ifconfig eth0 hw ether '{good}'\\n"]
    assert not texts(board, "reboot")


@pytest.mark.parametrize("answer, erased", [("y", True), ("n", False)])
def test_diagnostics_in_low_security_mode(board, tmp_path, answer, erased):
    secure(board, tmp_path)
    diags = tarball({"mpdiag.elf.strip": b'#!/bin/sh\necho "diagnostics running"\n'}, False)
    write_flash(board, "rescue", image(tmp_path, diags, kind="diags"))
    child = at_menu(board, "lowsec=authorised")
    child.send("D")
    child.expect_exact("NOTE: Uboot low security mode override enabled")
    child.expect_exact("keys will be lost) y/N: ")
    child.send(answer)  # every answer and its commands: tests/unit/rescue_test.cpp
    console = run_to_end(child)
    assert "Booting diags image...\nLaunching diagnostics image" in console.text
    assert "diagnostics running\n" in console.text
    shell = texts(board, "shell")
    assert [c for c in ERASE if c in shell] == (ERASE if erased else [])


def test_usb_install_lists_the_files_and_installs_the_one_chosen(board, tmp_path):
    usb = board / "usb"
    (usb / "folder").mkdir(parents=True)
    (usb / "a.img").write_bytes(b"not an image")
    (usb / "b\x1b\n.img").write_bytes(image(tmp_path))  # control bytes are shown as '?'
    child = at_menu(board)
    child.send("u")
    child.expect_exact("Choose file number to install (q to quit): ")
    listed = dict(re.findall(r"\t(\d+): (\S+)\r\n", child.before))
    assert sorted(listed.values()) == ["a.img", "b??.img"]
    child.send("x\r")
    child.expect_exact("Invalid file number x. Try again pleas")
    child.send([n for n, name in listed.items() if name == "b??.img"][0] + "\r")
    child.expect_exact("Installing b??.img\r\n")
    child.expect_exact("(hit return to just boot image): ")
    child.send("2\r")
    child.expect_exact("Image2 updated succeeded")
    child.expect(MENU)
    power_off(child)
    log = (board / "user" / "install.log").read_text()
    assert re.fullmatch(r"File /mnt/usb/b\?\?\.img installed from USB at [0-9:]+ on [0-9-]+\n",
                        log)
    assert (board / "user" / "images" / "image2").read_bytes() == \
        (usb / "b\x1b\n.img").read_bytes()


def test_xmodem_install_of_a_package_sent_with_sx(board, package):
    child = at_menu(board)
    child.send("X")
    child.expect_exact("before initiating the download.")
    child.send("\r")
    child.expect_exact("rx: ready to receive /tmp/image")
    child.send("\x1dx")  # the console escape: sx -k sends the file through the console
    child.expect("file to send by xmodem")
    child.send(f"{package}\r")
    child.expect_exact("Waiting for the <ENTER> key to be hit...", timeout=60)
    child.send("\n")
    console = run_to_end(child, answers=[(r"image 1 or 2 \(hit return", "2\r")])
    assert "Image2 updated succeeded" in console.text
    assert "File image installed from xmodem at " in console.text
    assert "/usr/bin/rx /tmp/image" in texts(board, "shell")
    assert (board / "user" / "images" / "image2").read_bytes() == package.read_bytes()
