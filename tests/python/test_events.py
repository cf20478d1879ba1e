"""External events and waits. The board captures an external event whenever the process
receives SIGUSR1 (korvic_sim --ext-signal USR1), at its next register access; the tests
send it to themselves, one at a time, so each capture is deterministic."""

import datetime as dt
import os
import pathlib
import signal
import threading
import time

import pytest

import korvic
from conftest import UTC


def event_signal():
    os.kill(os.getpid(), signal.SIGUSR1)


def test_one_event_per_signal(board):
    assert signal.getsignal(signal.SIGUSR1) == signal.SIG_DFL  # the board's input, not fatal
    events = board.events(timeout=0.5)
    times = []
    for _ in range(5):
        event_signal()
        times.append(next(events))
    # No sixth: the iteration ends quietly once no event came for the timeout.
    assert list(events) == []
    assert next(events, None) is None
    assert times == sorted(set(times)) and len(times) == 5
    assert all(t.tzinfo is UTC and t.date() == dt.date(2026, 4, 11) for t in times)
    assert board.event_time() == times[-1]


def test_count_ends_the_iteration(board):
    events = board.events(count=2, timeout=30)
    for _ in range(2):
        event_signal()
        next(events)
    event_signal()  # a third capture is there to be seen, but count=2 has ended it
    assert next(events, None) is None
    assert list(board.events(count=0)) == []


def test_python_handler_for_the_event_signal_runs_too(board):
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda signum, frame: seen.append(signum))
    try:
        events = board.events(timeout=30)
        event_signal()
        t = next(events)
        for _ in range(3):  # Python runs its handlers between bytecodes
            pass
        assert seen == [signal.SIGUSR1]
        assert t == board.event_time()
    finally:
        signal.signal(signal.SIGUSR1, old)


def wait_for_events(board, state):
    state.append(board.events(timeout=60))
    for t in state[0]:
        state.append(t)


def wait_for_compare(board, state):
    board.set_compare(dt.datetime(2026, 1, 1, tzinfo=UTC), every="off")
    board.clear_compare_flag()
    state.append("waiting")
    state.append(board.wait_compare(timeout=60))


def interrupt_when_waiting(state):
    for _ in range(6000):  # the way out, should nothing happen: 60 s
        if state:
            break
        time.sleep(0.01)
    os.kill(os.getpid(), signal.SIGINT)


@pytest.mark.parametrize("wait", [wait_for_events, wait_for_compare])
def test_ctrl_c_ends_a_wait_with_keyboard_interrupt(board, wait):
    # The signal comes from another thread, which runs only because the wait released
    # the GIL; the wait returns nothing and ends nothing: it raises. Without both the
    # wait would end after its 60 s and the test fail.
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    state = []
    thread = threading.Thread(target=interrupt_when_waiting, args=(state,))
    with pytest.raises(KeyboardInterrupt) as caught:
        thread.start()
        wait(board, state)
    thread.join()
    assert caught.traceback[-1].name == wait.__name__
    assert len(state) == 1  # no event, no result
    if wait is wait_for_events:  # and the iterator goes on
        event_signal()
        assert next(state[0]) == board.event_time()


@pytest.mark.parametrize("wait", ["events", "wait_compare"])
def test_the_waits_sleep_on_the_interrupt_node(board, wait):
    # Found beside the simulator's register device. The board's clock moves 1 us per access:
    # polling for 0.3 s would read the board thousands of times, sleeping on the node a few.
    assert board.interrupt_node == pathlib.Path("/dev/korvic_sim/uio")
    assert board.settings.uio_path is None
    before = board.now()
    if wait == "events":
        assert next(board.events(timeout=0.3), None) is None
    else:
        assert board.wait_compare(timeout=0.3) is False
    assert board.now() - before < dt.timedelta(microseconds=100)


def test_a_named_node_is_the_one_waited_on(config_with):
    with korvic.Board(config_with("UIO_PATH=/dev/korvic_sim/uio")) as named:
        assert named.settings.uio_path == pathlib.Path("/dev/korvic_sim/uio")
        assert named.interrupt_node == pathlib.Path("/dev/korvic_sim/uio")
        events = named.events(timeout=30)
        event_signal()
        assert next(events) == named.event_time()
