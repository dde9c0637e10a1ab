"""Fixtures of the whole-switch tests (helpers in simboard.py)."""
import pytest

from simboard import make_board, sim_path


@pytest.fixture(scope="session")
def sim():
    return sim_path()


@pytest.fixture
def board(tmp_path, sim):
    return make_board(tmp_path / "board")
