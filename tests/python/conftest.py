"""Fixtures of the Python module's tests. Each file runs under the korvic_sim launcher in a
working directory that the launcher prepared with a korvic_cfg.dat for the simulated board
(see CMakeLists.txt for each file's launcher options)."""

import datetime as dt
import pathlib

import pytest

import korvic

UTC = dt.timezone.utc


@pytest.fixture
def board():
    with korvic.Board() as b:
        yield b


@pytest.fixture
def config_with(tmp_path):
    """config_with("DAY_OFF=3", ...): a configuration file for the simulated board with
    these lines after the launcher's own."""

    def write(*lines: str) -> pathlib.Path:
        path = tmp_path / "korvic_cfg.dat"
        base = pathlib.Path("korvic_cfg.dat").read_text()
        path.write_text(base + "".join(line + "\n" for line in lines))
        return path

    return write
