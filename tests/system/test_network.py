"""The simulated switch's management network: busybox's network tools and dhclient in the
sandbox, a real TFTP and DHCP server at 192.0.2.1 on the other end of eth0, and nothing
beyond. The console escape's xmodem send and power-off are proven by test_rescue.py."""
import hashlib
import re

import pytest

from simboard import sh, texts

UP = "ifconfig eth0 192.0.2.10 netmask 255.255.255.0 up; "
PACKAGE = bytes(range(256)) * 300  # several TFTP blocks, the last one short


# (file asked for, exit status of tftp, what the server logged)
FETCHES = [
    ("pkg.img", 0, "sent /sim/tftp/pkg.img to 192.0.2.10"),
    ("missing", 1, "file /sim/tftp/missing not found for 192.0.2.10"),
    ("../secret", 1, "cannot access /sim/tftp/../secret: Permission denied"),
]


def test_tftp_fetches_from_the_board_tftp_folder(board):
    (board / "tftp").mkdir()
    (board / "tftp" / "pkg.img").write_bytes(PACKAGE)
    (board / "secret").write_bytes(b"S")
    script = UP + "".join(f"tftp -g -r {name} -l /tmp/{i} 192.0.2.1; echo $?; "
                          for i, (name, _, _) in enumerate(FETCHES))
    result = sh(board, script + "/bin/busybox md5sum /tmp/0; ls /tmp")
    lines = result.stdout.split("\n")
    assert lines[:len(FETCHES)] == [str(status) for _, status, _ in FETCHES]
    assert lines[len(FETCHES)] == hashlib.md5(PACKAGE).hexdigest() + "  /tmp/0"
    assert lines[len(FETCHES) + 1:] == ["0", ""]
    assert texts(board, "tftpd") == [logged for _, _, logged in FETCHES]


def test_dhclient_leases_an_address_in_the_range(board):
    result = sh(board, "dhclient -1 eth0; echo $?; ip -4 -o address show eth0")
    status, shown = result.stdout.split("\n", 1)
    assert status == "0"
    address = re.search(r"inet (192\.0\.2\.(\d+))/24", shown)
    assert address and 100 <= int(address.group(2)) <= 199, result.stdout + result.stderr
    assert f"DHCPACK(srv0) {address.group(1)}" in " ".join(texts(board, "dhcpd"))


@pytest.mark.parametrize("link, carrier", [("up", True), ("down", False)])
def test_link_option_sets_the_carrier(board, link, carrier):
    result = sh(board, UP + "sleep 1; ip -o link show eth0", "--link", link)
    assert ("NO-CARRIER" not in result.stdout) == carrier, result.stdout


def test_nothing_beyond_the_server_is_reachable(board):
    script = (UP + "ip -o link | cut -d: -f2; ip route; ip route get 198.51.100.1; "
              "tftp -g -r x -l /tmp/x 10.0.0.1; cat /proc/self/uid_map")
    result = sh(board, script)
    out = result.stdout.split("\n")
    assert [name.strip() for name in out[:2]] == ["lo", "eth0@if2"]
    assert out[2] == "192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.10 "
    assert "Network is unreachable" in result.stderr
    assert "tftp: sendto: Network is unreachable" in result.stderr
    # The network capabilities are checked by test_escape.py; they hold in this namespace only.
    inside, outside, count = out[3].split()
    assert inside == outside != "0" and count == "1"
