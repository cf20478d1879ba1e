"""Times through the module. The board starts at 2024-02-29 23:59:59.99 UTC and its clock
moves 1 us per register access."""

import datetime as dt

import pytest

from conftest import UTC

START = dt.datetime(2024, 2, 29, 23, 59, 59, 990000, tzinfo=UTC)
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
MS = dt.timedelta(milliseconds=1)


def zone(hours, minutes=0):
    return dt.timezone(dt.timedelta(hours=hours, minutes=minutes))


class Floating(dt.tzinfo):
    """A tzinfo that knows no offset: its datetimes are naive."""

    def utcoffset(self, when):
        return None


# First in the file: the board has only run since the launcher started it.
def test_board_time_is_true_utc_through_a_leap_day(board):
    t = board.now()
    assert t.tzinfo is UTC
    assert START < t < START + MS
    while t.day == 29:
        t = board.now()
    assert (t.year, t.month, t.day, t.hour, t.minute, t.second) == (2024, 3, 1, 0, 0, 0)


@pytest.mark.parametrize(
    "when",
    [
        dt.datetime(2028, 2, 29, 12, 0, tzinfo=UTC),
        dt.datetime(2026, 3, 29, 1, 30, 15, 123456, tzinfo=zone(5, 30)),
        dt.datetime(1999, 12, 31, 16, 0, tzinfo=zone(-8)),  # 2000-01-01T00:00Z
        dt.datetime(1970, 1, 1, tzinfo=UTC),
        dt.datetime(2099, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    ],
)
def test_preset_round_trip(board, when):
    board.preset(when)
    expected = when.astimezone(UTC).replace(microsecond=when.microsecond // 1000 * 1000)
    got = board.preset_time()
    assert got == expected and got.tzinfo is UTC
    assert expected <= board.now() < expected + MS


@pytest.mark.parametrize(
    "when, error, words",
    [
        (dt.datetime(2026, 1, 1), ValueError, "has no time zone"),
        (dt.datetime(2026, 1, 1, tzinfo=Floating()), ValueError, "has no time zone"),
        (dt.datetime(2100, 1, 1, tzinfo=UTC), ValueError, "outside the board's range"),
        (dt.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC), ValueError, "outside the board's"),
        (dt.datetime(2099, 12, 31, 23, 30, tzinfo=zone(-1)), ValueError, "2100-01-01T00:30:00"),
        ("2026-01-01T00:00:00Z", TypeError, "not str"),
        (1774701296, TypeError, "not int"),
    ],
)
def test_preset_and_compare_refuse_a_bad_time_untouched(board, when, error, words):
    kept = dt.datetime(2030, 6, 1, tzinfo=UTC)
    board.preset(kept)
    board.set_compare(kept, every="minute")
    with pytest.raises(error, match=words):
        board.preset(when)
    with pytest.raises(error, match=words):
        board.set_compare(when)
    assert board.preset_time() == kept
    assert board.compare().every == "minute"


def test_sample_brackets_the_latch(board):
    s = board.sample()
    assert isinstance(s.before, int) and isinstance(s.after, int)
    assert 0 <= s.after - s.before
    assert s.uncertainty == pytest.approx((s.after - s.before) / 1e9, abs=1e-9)
    board_ns = (s.board - EPOCH) // dt.timedelta(microseconds=1) * 1000
    midpoint = s.before + (s.after - s.before) // 2
    assert s.offset == pytest.approx((board_ns - midpoint) / 1e9, abs=1e-6)
    assert s.board.tzinfo is UTC


@pytest.mark.parametrize(
    "every, mask, word",
    [
        ("year", 0, "year"),
        ("millisecond", 5, "millisecond"),
        ("off", 15, "off"),
        (4, 4, "second"),
        (7, 7, "reserved"),
    ],
)
def test_set_compare_writes_board_digits_and_mask(board, every, mask, word):
    # 12:34:56.789012 at UTC+2 on 1 March 2026: day 59 from 0, 10:34:56.789012 UTC.
    board.set_compare(dt.datetime(2026, 3, 1, 12, 34, 56, 789012, tzinfo=zone(2)), every=every)
    c = board.compare()
    time_of_day = dt.timedelta(hours=10, minutes=34, seconds=56, microseconds=789012)
    assert (c.day_of_year, c.time_of_day, c.mask, c.every) == (59, time_of_day, mask, word)


@pytest.mark.parametrize(
    "every, error",
    [("fortnight", ValueError), (16, ValueError), (True, TypeError), (4.0, TypeError)],
)
def test_set_compare_refuses_a_bad_every(board, every, error):
    with pytest.raises(error):
        board.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC), every=every)


def test_wait_compare_returns_when_the_board_passes_the_compare_time(board):
    start = dt.datetime(2026, 5, 1, 8, 0, 0, tzinfo=UTC)
    board.preset(start)
    board.set_compare(start + 2 * MS, every="second")
    board.clear_compare_flag()
    assert not board.compare_flag()
    assert board.wait_compare(timeout=60) is True
    status = board.status()
    assert status.compare_event
    assert [b.set for b in status.bits if b.name == "compare event"] == [True]
    assert [b.bit for b in status.bits if b.name == "compare event"] == [9]
    assert board.now() >= start + 2 * MS
    board.clear_compare_flag()
    assert not board.compare_flag() and not board.status().compare_event


def test_wait_compare_times_out_false(board):
    board.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC), every="off")
    board.clear_compare_flag()
    assert board.wait_compare(timeout=dt.timedelta(milliseconds=100)) is False
    assert board.wait_compare(timeout=0) is False


def test_stopped_timer_holds_the_board_time(board):
    board.stop_timer()
    try:
        assert not board.timer_running() and not board.status().timer_running
        assert board.now() == board.now()
    finally:
        board.start_timer()
    assert board.timer_running() and board.status().timer_running
    assert board.now() < board.now()

