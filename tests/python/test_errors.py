"""Errors as Python exceptions: OSError with errno and filename from attaching, ValueError
for values out of range and for a closed board, TypeError for arguments of a wrong type."""

import datetime as dt
import errno
import fcntl
import os
import signal
import subprocess
import sys
import time

import pytest

import korvic
from conftest import UTC


@pytest.mark.parametrize(
    "lines, device, error, code, step",
    [
        (None, "missing.cfg", FileNotFoundError, errno.ENOENT, "korvic: read configuration"),
        (None, ".", IsADirectoryError, errno.EISDIR, "korvic: read configuration"),
        (["MEM_PATH=nodev"], "nodev", FileNotFoundError, errno.ENOENT, "korvic: open register device"),
        (["MEM_PATH=disk"], "disk", OSError, errno.ENODEV, "korvic: register device is a regular file"),
        (None, "fifo", TimeoutError, errno.ETIMEDOUT, "korvic: read configuration: a pipe or FIFO"),
        (None, "/dev/null", OSError, errno.EINVAL, "korvic: read configuration: a character device"),
        (["UIO_PATH=nonode"], "nonode", FileNotFoundError, errno.ENOENT,
         "korvic: open interrupt node (UIO_PATH=)"),
    ],
)
def test_attach_errors_are_oserrors_with_errno_and_path(
    tmp_path, config_with, lines, device, error, code, step
):
    (tmp_path / "disk").write_bytes(bytes(512))  # a regular file on a disk file system
    os.mkfifo(tmp_path / "fifo")  # that nobody writes
    config = config_with(*lines) if lines else tmp_path / device
    with pytest.raises(error) as caught:
        korvic.Board(config)
    e = caught.value
    assert type(e) is error
    assert e.errno == code
    assert e.filename == str(tmp_path / device)  # a device counts from the file's directory
    assert e.strerror.startswith(step) and e.strerror.endswith(": " + os.strerror(code))


@pytest.mark.parametrize(
    "config, env, chosen",
    [
        (None, None, "korvic_cfg.dat"),
        (None, "", "korvic_cfg.dat"),
        (None, "env.cfg", "env.cfg"),
        ("arg.cfg", "env.cfg", "arg.cfg"),
    ],
)
def test_configuration_from_argument_then_environment_then_default(
    tmp_path, monkeypatch, config, env, chosen
):
    monkeypatch.chdir(tmp_path)
    if env is None:
        monkeypatch.delenv("KORVIC_CONFIG")  # korvic_sim set it
    else:
        monkeypatch.setenv("KORVIC_CONFIG", env)
    with pytest.raises(FileNotFoundError) as caught:
        korvic.Board(config)
    assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, chosen)
    assert f"[Errno 2] korvic: read configuration: No such file or directory: '{chosen}'" == str(
        caught.value
    )


def test_a_board_time_beyond_datetime_is_a_value_error(config_with):
    # 800000 days (some 2190 years) before the board's own: before the year 1.
    with korvic.Board(config_with("DAY_OFF=-800000")) as shifted:
        with pytest.raises(ValueError, match="outside the years 1 to 9999"):
            shifted.now()


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda b: b.events(count=-1), ValueError),
        (lambda b: b.events(count=2**64), ValueError),
        (lambda b: b.events(count=1.5), TypeError),
        (lambda b: b.events(timeout=-1), ValueError),
        (lambda b: b.events(timeout=float("nan")), ValueError),
        (lambda b: b.events(timeout=dt.timedelta(seconds=-1)), ValueError),
        (lambda b: b.events(timeout=dt.timedelta.min), ValueError),
        (lambda b: b.events(timeout="1s"), TypeError),
        (lambda b: b.wait_compare(timeout=-0.1), ValueError),
        (lambda b: b.read_register(-4), ValueError),
        (lambda b: b.read_register(2**32), ValueError),
        (lambda b: b.read_register(1.0), TypeError),
        (lambda b: b.read_register(0x3), ValueError),
        (lambda b: b.read_register(0x200), ValueError),
        (lambda b: b.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC), 2**70), ValueError),
        (lambda b: b.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC), "a\nb"), ValueError),
    ],
)
def test_bad_arguments(board, call, error):
    with pytest.raises(error) as caught:
        call(board)
    assert type(caught.value) is error
    assert str(caught.value).startswith("korvic: ") and "\n" not in str(caught.value)


def test_numbers_at_the_ends_of_their_range_are_taken(board):
    assert next(board.events(count=2**64 - 1, timeout=0), None) is None
    assert next(board.events(count=2**63, timeout=0), None) is None
    assert next(board.events(count=0, timeout=dt.timedelta.max), None) is None
    assert board.wait_compare(timeout=0) is False
    assert board.read_register(0x118) == board.status().config


def test_ctrl_c_while_board_waits_is_a_keyboard_interrupt(tmp_path):
    # A FIFO with no writer: Board() waits for its configuration (or gives up) meanwhile.
    os.mkfifo(tmp_path / "cfg")
    child = subprocess.Popen(
        [sys.executable, "-c", "import korvic, sys; print(flush=True); korvic.Board(sys.argv[1])",
         str(tmp_path / "cfg")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    child.stdout.readline()  # the module is imported; Board() is next
    time.sleep(0.1)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=30)
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert "InterruptedError" not in err and "lost sys.stderr" not in err, err


def test_a_closed_board_refuses_every_call():
    with korvic.Board() as b:
        events = b.events()
        assert not b.closed and "open" in repr(b)
    assert b.closed and "closed" in repr(b)
    calls = [
        b.now, b.sample, b.event_time, b.preset_time, b.compare, b.status, b.compare_flag,
        b.clear_compare_flag, b.stop_timer, b.start_timer, b.timer_running, b.events,
        b.wait_compare, lambda: b.settings, lambda: b.read_register(0x118),
        lambda: b.preset(dt.datetime(2026, 1, 1, tzinfo=UTC)),
        lambda: b.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC)),
        lambda: next(events),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="the board is closed"):
            call()
    b.close()  # again: nothing
    assert b.closed


@pytest.mark.parametrize("lock_wait", [-0.5, 10.5, dt.timedelta(seconds=11), float("inf")])
def test_a_lock_wait_out_of_range_is_a_value_error(lock_wait):
    with pytest.raises(ValueError, match=r"^korvic: Board: "):
        korvic.Board(lock_wait=lock_wait)


def test_a_board_lock_held_elsewhere_is_board_busy_and_touches_nothing():
    """Another open of the board holds the lock (as korvicd or korvic would, inside a
    sequence): every call that needs it raises BoardBusy after lock_wait."""
    with korvic.Board(lock_wait=dt.timedelta(milliseconds=20)) as board:
        other = os.open(board.settings.mem_path, os.O_RDWR)
        try:
            fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for call in (board.now, board.sample, board.preset_time, board.stop_timer):
                with pytest.raises(korvic.BoardBusy, match="held by another process for over 20 ms"):
                    call()
            assert board.status().timer_running  # stop_timer stored nothing
            fcntl.flock(other, fcntl.LOCK_UN)
            board.now()
        finally:
            os.close(other)
    assert issubclass(korvic.BoardBusy, TimeoutError)
