"""Boot counting through the whole switch (bootlimit=N): a crashing application started N
times, the fall back to the other slot, the application's confirmation, rescue mode when both
slots are used up, and bootlimit absent showing what the switch always showed."""
from simboard import boot_slots, image, run_sim, tarball

CRASH = b"#!/bin/sh\necho 'application crashed'\nexit 139\n"


def boot(board, slot1=None, slot2=None):
    return boot_slots(board, [slot1, slot2], options=("--time-scale", "0.1"), check=False)


def test_unconfirmed_starts_fall_back_to_the_other_slot_then_rescue(board, tmp_path):
    crash, good = image(tmp_path, tarball({"home/bin/mp.elf.strip": CRASH})), image(tmp_path)
    uncounted = boot(board, crash, good)
    assert (board / "eeprom.bin").read_bytes()[0x200:0x20A] == b"\xff" * 10
    run_sim("env", board, "bootlimit=2")
    assert boot(board) == uncounted  # a counted start shows nothing new
    assert boot(board) == uncounted

    out, err = boot(board)
    assert err == "Image1 not confirmed after 2 starts, trying Image2 now.\n"
    assert "Booting image '1'\nBooting image '2'\n" in out
    assert "Image2 start confirmed\n" in out
    log = (board / "user" / "install.log").read_text()
    assert log.startswith("Image1 not confirmed after 2 starts, trying Image2 at ")
    # Slot 2 is named now; confirmed at every start, its count never reaches the limit.
    for _ in range(2):
        out, err = boot(board)
        assert out.startswith("Booting image '2'\n") and err == ""

    # Slot 2 goes bad (not an install: its count goes on).
    boot(board, None, crash)
    boot(board)
    out, err = boot(board)
    assert err == ("Image2 not confirmed after 2 starts, trying Image1 now.\n"
                   "Image1 not confirmed after 2 starts, trying rescue mode now.\n")
    assert "Entering Rescue Mode." in out
