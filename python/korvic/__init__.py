"""The korvic timing board from Python.

    import korvic
    with korvic.Board("korvic_cfg.dat") as board:
        print(board.now())              # datetime in UTC, to the microsecond
        for t in board.events(count=3):
            print("event at", t)

Board is the board; see help(korvic.Board). Every time is a timezone-aware
datetime in UTC; every call that waits lets Ctrl-C through.
"""

from ._korvic import (
    Board,
    BoardBusy,
    Compare,
    EventIterator,
    PresetNow,
    Sample,
    Settings,
    Status,
    StatusBit,
    __version__,
)

__all__ = [
    "Board",
    "BoardBusy",
    "Compare",
    "EventIterator",
    "PresetNow",
    "Sample",
    "Settings",
    "Status",
    "StatusBit",
    "__version__",
]
