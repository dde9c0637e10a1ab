"""Power cuts at every write of three updates (board.conf cut_after=N for N = 1, 2, ... up to
the first N the update outlives): a USB boot package with boot loader, kernel, root
filesystem, device tree and application; a USB replacement of slot 2; the count updates of a
counted start and its confirmation. After each cut the board powers on again, without the
stick and without a cut, and must reach the old or the new application; a slot file and a
count are the old or the new one, never anything else. The flash partitions are written in
place: what a cut leaves in them is what the table printed at the end records (pytest -s)."""
import binascii
import collections
import concurrent.futures
import shutil
import subprocess

from simboard import events, image, make_board, run_sim, set_eeprom, sim_path, tarball

SCALE = ("--time-scale", "0.01")
ERASE = "erase_size=2048\n"  # a block of each partition: one erase, two programs
PARTS = {"bootloader": "uboot", "kernel": "kernel", "rootfs": "rfs", "devicetree": "devicetree"}
USB_BOOT = 0x13B
WORKERS = 6  # a power-on mostly waits for the launcher's set-up


def power_on(board, answer=b""):
    result = subprocess.run([sim_path(), "boot", str(board), *SCALE], input=answer,
                            capture_output=True, timeout=120)
    return result.stdout.decode("utf-8", "replace"), result.returncode


def counts(board):
    """Slot 1 and 2 counts of the boot count record, as README's Board EEPROM records read it."""
    raw = (board / "eeprom.bin").read_bytes()[0x200:0x20A]
    copies = [raw[0:5], raw[5:10]]
    valid = [c for c in copies
             if c[0] == 0x42 and binascii.crc_hqx(c[1:3], 0xFFFF) == int.from_bytes(c[3:5], "big")]
    if not valid:
        return (0, 0)
    if len(valid) == 2 and (valid[1][1] - valid[0][1]) % 256 in range(1, 128):
        valid = valid[1:]
    return (valid[0][2] & 0x0F, valid[0][2] >> 4)


def partition(board, name, old, new):
    data = (board / "flash" / f"{name}.bin").read_bytes()
    head, rest = data[:len(new)], data[len(new):2048]
    if set(rest) != {0xFF}:
        return "mixed"
    return {new: "new", old: "old"}.get(head, "erased" if set(head) == {0xFF} else "mixed")


def sweep(start, prepare, outcome):
    """Cuts at N = 1, 2, ... in copies of the board start; returns the outcomes up to the
    first N the update outlived, which is marked 'uncut'."""
    results, pending, n, last = {}, {}, 1, None
    with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
        while True:
            while last is None and len(pending) < WORKERS:
                pending[pool.submit(one_cut, start, n, prepare, outcome)] = n
                n += 1
            if not pending:
                break
            done, _ = concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
            for future in done:
                at = pending.pop(future)
                results[at] = future.result()
                if results[at] == "uncut":
                    last = at if last is None else min(last, at)
    return {at: result for at, result in results.items() if at <= last}


def one_cut(start, n, prepare, outcome):
    board = start.parent / f"{start.name}-cut{n}"
    shutil.copytree(start, board)
    (board / "board.conf").write_text(f"{ERASE}cut_after={n}\n")
    answer = prepare(board)
    _, status = power_on(board, answer)
    cut = [text for kind, text in events(board) if kind == "power"]
    assert (status == 137) == bool(cut), (n, status)
    left = counts(board)
    (board / "board.conf").write_text(ERASE)
    shutil.rmtree(board / "usb", ignore_errors=True)
    set_eeprom(board, USB_BOOT, 0)
    out, status = power_on(board)
    result = outcome(board, out, left)
    shutil.rmtree(board)
    return result if cut else "uncut"


def app(out):
    reached = [v for v in ("old", "new") if f"=== Sample switch application {v} ===" in out]
    assert len(reached) == 1, out
    return reached[0]


def table(title, results):
    rows = collections.Counter(results.values())
    print(f"\n{title}: {len(results) - 1} cut points")
    for row, number in sorted(rows.items()):
        print(f"  {number:3d}  {row}")


def test_power_cut_sweep(tmp_path):
    old_app = image(tmp_path, tarball({"home/bin/version": b"old\n"}))
    new_app = image(tmp_path, tarball({"home/bin/version": b"new\n"}))
    flash = {kind: [image(tmp_path, f"{kind}-{v}".encode().ljust(1500, b"."), kind)
                    for v in ("old", "new")] for kind in PARTS}
    header_len = {kind: len(subs[0]) - 1500 for kind, subs in flash.items()}

    def in_partition(kind, sub):  # the boot loader's data only, the others whole
        return sub[header_len[kind]:] if kind == "bootloader" else sub

    start = make_board(tmp_path / "start")
    (start / "board.conf").write_text(ERASE)
    (start / "user" / "images").mkdir(parents=True)
    for slot in (1, 2):
        (start / "user" / "images" / f"image{slot}").write_bytes(old_app)
    for kind, (old, _) in flash.items():
        path = start / "flash" / f"{PARTS[kind]}.bin"
        data = bytearray(path.read_bytes())
        data[:len(in_partition(kind, old))] = in_partition(kind, old)
        path.write_bytes(bytes(data))
    assert app(power_on(start)[0]) == "old"  # keys mirrored: later starts write only updates

    def slot_file(board, slot):
        data = (board / "user" / "images" / f"image{slot}").read_bytes()
        assert data in (old_app, new_app), f"slot {slot} neither old nor new"
        return "old" if data == old_app else "new"

    def usb(board, name, data):
        (board / "usb").mkdir()
        (board / "usb" / name).write_bytes(data)
        set_eeprom(board, USB_BOOT, 0xD5)

    package = b"".join(subs[1] for subs in flash.values()) + new_app

    def package_outcome(board, out, _):
        parts = " ".join(
            f"{kind}={partition(board, PARTS[kind], *(in_partition(kind, s) for s in subs))}"
            for kind, subs in flash.items())
        return f"app {app(out)} slot1 {slot_file(board, 1)} {parts}"

    results = sweep(start, lambda b: usb(b, "LQX4410_Boot.img", package) or b"1\n",
                    package_outcome)
    table("USB boot package", results)

    results = sweep(start, lambda b: usb(b, "LQX4410_replace2_OS.img", new_app) or b"",
                    lambda b, out, _: f"app {app(out)} slot2 {slot_file(b, 2)}")
    table("USB replacement of slot 2", results)

    run_sim("env", start, "bootlimit=2")

    def counted(board, out, left):  # slot 1's count 0, counted to 1, confirmed back to 0
        assert left in ((0, 0), (1, 0)), left
        return f"count {left[0]} then app {app(out)}"

    results = sweep(start, lambda b: b"", counted)
    table("Counted start and its confirmation", results)
