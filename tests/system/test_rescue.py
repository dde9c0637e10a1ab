"""Rescue downloads on the simulated switch against the real TFTP and DHCP server of the
sandbox's network. Boots run with --time-scale so that the fixed waits of the dialogues
pass quickly."""
import io
import os
import subprocess
import tarfile

import pytest

from simboard import boot, run_to_end, texts

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
SCALE = ("--time-scale", "0.1")
ADDRESSES = ["192.0.2.10", "255.255.255.0", "", "192.0.2.1"]


@pytest.fixture
def package(tmp_path, sim):
    """A production-signed application image made with bmimage from the sample application."""
    bmimage = os.path.join(os.path.dirname(sim), "bmimage")
    if not os.access(bmimage, os.X_OK):
        pytest.skip("bmimage is not built next to switch-sim")
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as tar:
        tar.add(os.path.join(ROOT, "sandbox", "sample-app", "home"), arcname="home")
    (tmp_path / "app.tar.gz").write_bytes(data.getvalue())
    image = tmp_path / "pkg.img"
    for args in (["create", "--type", "app", "--version", "1.2.0.0", "--data",
                  tmp_path / "app.tar.gz", "-o", image],
                 ["sign", "--key", os.path.join(ROOT, "keys", "production.key.pem"), image,
                  "-o", image]):
        subprocess.run([bmimage, *map(str, args)], check=True, capture_output=True)
    return image


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


def test_dhcp_at_start_leases_from_the_server(board, sim):
    subprocess.run([sim, "env", board, "gdbserver=on"], check=True, capture_output=True)
    console = run_to_end(boot(board, *SCALE),
                         answers=[(r"Use DHCP for network configuration\? y/N: ", "y\r")])
    assert "Mgmt link not available" not in console.text
    assert any(line.startswith("DHCPACK(srv0) 192.0.2.") for line in texts(board, "dhcpd"))
