"""The PowerPC build of the boot manager on the simulated switch: switch-sim boot --target ppc
runs it under qemu-ppc-static in the same sandbox, the shell and stubs natively."""
import pytest

from simboard import image, make_board, run_sim, texts


def test_signed_image_boots_on_the_target(tmp_path, sim):
    board = make_board(tmp_path / "board")
    signed = image(tmp_path)
    images = board / "user" / "images"
    images.mkdir()
    (images / "image1").write_bytes(signed)
    result = run_sim("boot", board, "--target", "ppc", "--timeout", "300", check=False,
                     timeout=330)
    if "--target ppc needs" in result.stderr:
        pytest.skip("the PowerPC build of bootmgr-sim is not there: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr
    assert " Image signature verified. " in result.stdout
    assert "APP_MODE=demo" in result.stdout
    assert texts(board, "cmd")[-1] == "/bin/backtrace"
