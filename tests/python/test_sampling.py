"""Samples against the system clock, on a board 250 ms ahead of the host (korvic_sim --offset
+250ms): several processes reading at once each get whole, honest readings; the offset is
exact in nanoseconds; the narrowest of several readings."""

import datetime as dt
import json
import pathlib
import subprocess
import sys

import pytest

import korvic
from conftest import UTC

AHEAD_NS = 250_000_000
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)

READER = pathlib.Path(__file__).with_name("sample_reader.py")


def test_three_processes_reading_at_once_stay_within_their_brackets():
    readers = [
        subprocess.Popen([sys.executable, READER, str(AHEAD_NS), "--count", "15000"],
                         stdout=subprocess.PIPE, text=True)
        for _ in range(3)
    ]
    results = [json.loads(r.communicate(timeout=600)[0]) for r in readers]
    assert [r.returncode for r in readers] == [0, 0, 0]
    for result in results:
        assert result["n"] == 15000
        # Without the board lock, a strobe of another process between this one's loads
        # mixed two latches: readings some 10 ms off, and the time going back.
        assert (result["off"], result["back"]) == (0, 0), result


def test_the_status_bits_latched_with_each_sample(board):
    # Bits 8 to 13 of the word the snapshot loaded are those Board.status() reads: the
    # reference locked (8) and the timer running (13), as the simulated board shows them,
    # and bit 10 as the launcher forces it (--status-at 0s:10=1).
    hw = board.status().hw_status & 0x3F00
    s = board.sample(readings=3)
    assert isinstance(s.status, int)
    assert s.status & 0x3F00 == hw
    assert [s.status >> bit & 1 for bit in (8, 10, 13)] == [1, 1, 1]


def test_offset_is_exact_in_nanoseconds(board):
    s = board.sample()
    board_ns = (s.board - EPOCH) // dt.timedelta(microseconds=1) * 1000
    midpoint = s.before + (s.after - s.before) // 2
    assert s.offset_ns == board_ns - midpoint
    assert s.offset == pytest.approx(s.offset_ns / 1e9, abs=1e-9)
    assert abs(s.offset_ns - AHEAD_NS) < 1_000_000


def test_the_narrowest_of_several_readings(board):
    narrowest = board.sample(readings=50)
    assert 0 <= narrowest.uncertainty < 1e-3
    assert abs(narrowest.offset_ns - AHEAD_NS) <= narrowest.uncertainty * 5e8 + 1000
    for readings, error in [(0, ValueError), (1001, ValueError), (-1, ValueError), ("5", TypeError)]:
        with pytest.raises(error, match="korvic: sample: readings"):
            board.sample(readings=readings)
