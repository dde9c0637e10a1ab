"""bmimage, the host image tool: the images it makes verify with OpenSSL, it accepts
signatures that OpenSSL made, and it reports damaged and hostile images plainly."""
import os
import shutil
import stat
import struct
import subprocess
import zlib

import pytest

from simboard import rows, run_sim

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEYS = os.path.join(ROOT, "keys")
COMMANDS = ["create", "sign", "digest", "attach", "pack", "info", "verify"]


@pytest.fixture(scope="module")
def tool():
    path = os.path.join(os.environ.get("BOOTMGR_BUILD_DIR", ""), "bmimage")
    if not os.access(path, os.X_OK):
        pytest.skip("BOOTMGR_BUILD_DIR does not hold bmimage")
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    if not all(os.path.exists(key(n, k)) for n in ("production", "development") for k in "kp"):
        pytest.skip("the test keys are not in keys/")
    return path


def image_crc(data):
    """The image CRC: the complement of the common CRC-32."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def key(name, kind):
    return os.path.join(KEYS, f"{name}.{'key' if kind[0] == 'k' else 'pub'}.pem")


def run(tool, *args, check=True):
    result = subprocess.run([tool, *map(str, args)], capture_output=True, text=True, timeout=60)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def create(tool, path, kind="app", version="1.0.0.0", data=b"x" * 1000, *options):
    data_path = f"{path}.data"
    with open(data_path, "wb") as out:
        out.write(data)
    run(tool, "create", "--type", kind, "--version", version, "--data", data_path, *options,
        "-o", path)
    return path


def subimages(blob):
    """(offset, layout, H, size) of each sub-image, by the format's length rules."""
    result, p = [], 0
    while p < len(blob):
        length, magic = struct.unpack_from(">II", blob, p + 4)
        if blob[p + 16:p + 20] == b"HDR3":
            layout, h, size = 3, struct.unpack_from(">H", blob, p + 22)[0], length + 16
        else:
            layout = 2 if magic >> 31 else 1
            h = struct.unpack_from(">H", blob, p + 18)[0] if layout == 2 else 16
            size = h + length
        result.append((p, layout, h, size))
        p += size
    return result


def signature_of(blob, offset, h, want=3):
    """The bytes of the last record tagged `want` (3 the data signature, 9 the manifest) in
    the header at offset and where they start, or (None, None)."""
    at, found = offset + 24, (None, None)
    while at < offset + h:
        tag, length = struct.unpack_from(">HH", blob, at)
        if length == 0:
            break
        if tag == want:
            size = struct.unpack_from(">H", blob, at + 4)[0]
            found = (blob[at + 6:at + 6 + size], at + 6)
        at += length
    return found


def manifest_bytes(blob, offset, size, at, length):
    """What a manifest signs: the sub-image with its crc and manifest signature zeroed."""
    sub = bytearray(blob[offset:offset + size])
    sub[0:4] = bytes(4)
    sub[at - offset:at - offset + length] = bytes(length)
    return bytes(sub)


def openssl_verifies(tmp_path, pub, data, signature):
    (tmp_path / "d").write_bytes(data)
    (tmp_path / "s").write_bytes(signature)
    result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature",
                             tmp_path / "s", tmp_path / "d"], capture_output=True)
    return result.returncode == 0


def package(tool, tmp_path, layout1=True):
    """A kernel (layout 3, type record app), a layout-1 device tree (which cannot be
    signed) and an app."""
    parts = [create(tool, tmp_path / "k", "kernel", "3.1.0.0", b"K" * 777, "--type-record", "app"),
             create(tool, tmp_path / "t", "devicetree", "1.0.0.1", b"T" * 40, "--layout", "1"),
             create(tool, tmp_path / "a", "app", "2.0.0.7", bytes(range(256)) * 9)]
    run(tool, "pack", *(parts if layout1 else parts[::2]), "-o", tmp_path / "p")
    return tmp_path / "p"


@pytest.mark.parametrize("name", ["production", "development"])
def test_signatures_made_by_bmimage_verify_with_openssl(tool, tmp_path, name):
    signed = tmp_path / "signed"
    run(tool, "sign", "--key", key(name, "key"), package(tool, tmp_path), "-o", signed)
    # Signing again replaces the signature record instead of adding one.
    run(tool, "sign", "--key", key(name, "key"), signed, "-o", signed)
    blob = signed.read_bytes()
    seen = []
    for offset, _, h, size in subimages(blob):
        crc = struct.unpack_from(">I", blob, offset)[0]
        assert crc == image_crc(blob[offset + 4:offset + size])
        signature, _ = signature_of(blob, offset, h)
        if signature is not None:
            assert h == 24 + (8 if offset == 0 else 0) + 2 * (6 + 256)
            assert openssl_verifies(tmp_path, key(name, "pub"), blob[offset + h:offset + size],
                                    signature)
            manifest, at = signature_of(blob, offset, h, 9)
            assert openssl_verifies(tmp_path, key(name, "pub"),
                                    manifest_bytes(blob, offset, size, at, 256), manifest)
        seen.append(signature is not None)
    assert seen == [True, False, True]
    verify = run(tool, "verify", "--key", key(name, "pub"), signed, check=False)
    assert verify.stderr == f"bmimage: {signed}: sub-image 2 at offset 1333: unsigned\n"


def test_signatures_made_by_openssl_are_attached_and_accepted(tool, tmp_path):
    image = package(tool, tmp_path, layout1=False)
    blob = image.read_bytes()
    digests = run(tool, "digest", image).stdout.split()
    names = []
    for n, (offset, _, h, size) in enumerate(s for s in subimages(blob) if s[1] == 3):
        data = tmp_path / f"data{n}"
        data.write_bytes(blob[offset + h:offset + size])
        assert digests[n] == subprocess.run(["openssl", "dgst", "-sha256", "-r", data],
                                            capture_output=True, text=True).stdout.split()[0]
        sig = tmp_path / f"sig{n}"
        if n == 0:  # over the data, as a build host would
            subprocess.run(["openssl", "dgst", "-sha256", "-sign", key("production", "key"),
                            "-out", sig, data], check=True)
        else:  # over the printed digest only, as a signing server would
            (tmp_path / "digest").write_bytes(bytes.fromhex(digests[n]))
            subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key("production", "key"),
                            "-pkeyopt", "digest:sha256", "-in", tmp_path / "digest", "-out", sig],
                           check=True)
        names.append(str(sig))
    out = tmp_path / "attached"
    run(tool, "attach", "--signature", ",".join(names), "--security-counter", 9, image, "-o", out)
    assert run(tool, "verify", out).stdout == f"{out}: 2 sub-images verified\n"
    # The manifests, signed in a second round over the digests of the attached image.
    manifests = []
    for n, digest in enumerate(run(tool, "digest", "--manifest", out).stdout.split()):
        (tmp_path / "digest").write_bytes(bytes.fromhex(digest))
        manifests.append(str(tmp_path / f"manifest{n}"))
        subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key("production", "key"),
                        "-pkeyopt", "digest:sha256", "-in", tmp_path / "digest", "-out",
                        manifests[-1]], check=True)
    assert run(tool, "verify", "--strict", out, check=False).returncode == 1
    run(tool, "attach", "--manifest-signature", ",".join(manifests), out, "-o", out)
    listed = run(tool, "info", out).stdout.splitlines()[1:]
    assert [row.split()[-2:] for row in listed] == [["production", "9"]] * 2
    # The kernel's type record (app) is not its type word: the strict rules refuse it.
    strict = run(tool, "verify", "--strict", out, check=False).stderr
    assert strict.endswith("sub-image 1 at offset 0: type record disagrees with the type word\n")
    short = run(tool, "attach", "--signature", names[0], image, "-o", out, check=False)
    assert short.returncode == 1 and "1 signatures for 2 layout-3 sub-images" in short.stderr


SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def test_key_in_a_token_signs_without_leaving_it(tool, tmp_path):
    """A SoftHSM2 token in a temporary directory, an RSA-2048 key made inside it, and the
    image signed through OpenSSL's PKCS#11 engine verifies under the token's public key."""
    if not (os.path.exists(SOFTHSM) and shutil.which("softhsm2-util")
            and shutil.which("pkcs11-tool")):
        pytest.skip("softhsm2 and opensc are not installed")
    (tmp_path / "tokens").mkdir()
    conf = tmp_path / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {tmp_path / 'tokens'}\nobjectstore.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(conf))
    p11 = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "release"]
    for command in (["softhsm2-util", "--init-token", "--free", "--label", "release", "--pin",
                     "1234", "--so-pin", "5678"],
                    p11 + ["--login", "--pin", "1234", "--keypairgen", "--key-type", "rsa:2048",
                           "--label", "signer", "--id", "01"],
                    p11 + ["--read-object", "--type", "pubkey", "--id", "01", "-o",
                           tmp_path / "pub.der"],
                    ["openssl", "pkey", "-pubin", "-inform", "DER", "-in", tmp_path / "pub.der",
                     "-out", tmp_path / "pub.pem"]):
        subprocess.run(command, env=env, check=True, capture_output=True)
    image = create(tool, tmp_path / "i", "kernel", "2.0.0.0", b"K" * 3000)
    uri = "pkcs11:token=release;object=signer;type=private?pin-value=1234"
    subprocess.run([tool, "sign", "--key", uri, "--pkcs11-module", SOFTHSM, image, "-o", image],
                   env=env, check=True, capture_output=True)
    verify = run(tool, "verify", "--strict", "--key", tmp_path / "pub.pem", image)
    assert verify.stdout == f"{image}: 1 sub-image verified\n"
    assert run(tool, "verify", image, check=False).returncode == 1  # not the production key


def changed(blob, change):
    """blob changed as a row of bmimage_verify.txt says, its CRC made good again for set
    and flip."""
    op, *a = change.split()
    if op == "poke":
        return blob[:int(a[0])] + bytes.fromhex(a[1]) + blob[int(a[0]) + len(a[1]) // 2:]
    if op == "keep":
        return blob[:int(a[0])]
    if op not in ("set", "flip"):
        return blob
    blob = bytearray(blob[:-1] + bytes([blob[-1] ^ 1]) if op == "flip" else blob)
    if op == "set":
        struct.pack_into(">" + a[1], blob, int(a[0]), int(a[2], 0))
    struct.pack_into(">I", blob, 0, image_crc(bytes(blob[4:])))
    return bytes(blob)


@pytest.mark.parametrize("name,change,row,reason,strict", rows("bmimage_verify.txt"))
def test_info_and_verify_table(tool, tmp_path, name, change, row, reason, strict):
    image = create(tool, tmp_path / "i", "app", "4.3.2.1", b"D" * 1024)
    signer = "development" if change == "development" else "production"
    run(tool, "sign", "--key", key(signer, "key"), "--security-counter", 3, image, "-o", image)
    image.write_bytes(changed(image.read_bytes(), change))
    info = run(tool, "info", image, check=False)
    if row != "-":
        assert info.returncode == 0
        assert info.stdout.splitlines()[1].split() == ["0", "app", "3", "4.3.2.1", "556",
                                                      "1024", *row.split()]
    else:
        assert info.returncode == 1 and info.stderr.count("\n") == 1
    for options, message in (((), reason), (("--strict",), reason if strict == "-" else strict)):
        verify = run(tool, "verify", *options, image, check=False)
        if message == "-":
            assert verify.returncode == 0 and verify.stderr == ""
        else:
            assert verify.returncode == 1 and message in verify.stderr
            assert verify.stderr.startswith(f"bmimage: {image}")
            assert verify.stderr.count("\n") == 1


@pytest.mark.parametrize("options,header", rows("bmimage_headers.txt"))
def test_created_headers(tool, tmp_path, options, header):
    image = create(tool, tmp_path / "i", "devicetree", "1.2.3.4", b"0123456789", *options.split())
    blob = image.read_bytes()
    assert blob[4:].hex() == header.replace(" ", "") + b"0123456789".hex()
    assert struct.unpack_from(">I", blob)[0] == image_crc(blob[4:])


@pytest.fixture
def folder(tool, tmp_path):
    """What the rows of bmimage_refused.txt name in {T}."""
    create(tool, tmp_path / "i")
    node = tmp_path / "node"
    if os.geteuid() == 0:
        os.mknod(node, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    else:
        os.mkfifo(node)
    os.symlink("i", tmp_path / "link")
    (tmp_path / "noise").write_bytes(os.urandom(256))
    (tmp_path / "nowhere").symlink_to("gone")
    (tmp_path / "hdr3").write_bytes(b"HDR3" + bytes(8))
    return tmp_path


@pytest.mark.parametrize("status,args,message", rows("bmimage_refused.txt"))
def test_refused_command_lines(tool, folder, status, args, message):
    make = "create --type app --version 1.0.0.0 --data {T}/i.data"

    def place(text):
        return text.replace("CREATE", make).replace("{T}", str(folder)).replace(
            "{K}", key("production", "key"))
    result = run(tool, *place(args).split(), check=False)
    first, *more = result.stderr.splitlines()
    assert (result.returncode, first) == (int(status), f"bmimage: {place(message)}")
    assert all(line.startswith("usage: bmimage ") for line in more)  # nothing else
    assert stat.S_ISCHR(os.stat(folder / "node").st_mode) == (os.geteuid() == 0)
    assert not os.path.exists(folder / "a") and not os.path.exists(folder / "x")


def test_outputs_through_a_link_and_to_standard_output(tool, folder):
    image, link = folder / "i", folder / "link"
    run(tool, "sign", "--key", key("production", "key"), image, "-o", link)
    assert os.path.islink(link) and run(tool, "verify", image).returncode == 0
    assert subprocess.run([tool, "pack", image, "-o", "-"], capture_output=True).stdout == \
        image.read_bytes()


def test_help_of_every_command(tool):
    assert all(c in run(tool, "--help").stdout for c in COMMANDS)
    for command in COMMANDS:
        assert run(tool, command, "--help").stdout.startswith(f"usage: bmimage {command} ")
    assert run(tool, "frobnicate", check=False).returncode == 2


def test_demo_boots_the_signed_sample_application_then_rescues_a_board(tool, tmp_path):
    board = tmp_path / "board"
    result = run_sim("demo", board, check=False, timeout=120)
    console = result.stdout.replace("\r\n", "\n")
    assert console.startswith(f"Demo board: {board}\n")
    start = console.index("--- powering on ---\nBooting image '1'\n")
    verified = console.index(" Image signature verified. ", start)
    assert console.index("=== Sample switch application 1.1.0.0 ===\n", verified)
    rescue = console.index(f"Rescue board: {board}-rescue\n", verified)
    installed = console.index("File pkg.img installed from 192.0.2.1 at ", rescue)
    assert console.index("=== Sample switch application 1.2.0.0 ===\n", installed)
    assert result.returncode == 0
