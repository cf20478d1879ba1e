"""Reads the board's time again and again, and checks every reading against the simulator's
offset: the board's time less the middle of the bracket must lie within half the bracket
(the latch is somewhere in it), and one microsecond below (the board's finest digit). It
prints one JSON line: how many readings, how many off, how many times the board's time went
back, and the largest excess in nanoseconds (below zero: the narrowest margin).

    sample_reader.py AHEAD_NS (--count N | --seconds S) [--lock-wait SECONDS] [--pause SECONDS]
"""

import argparse
import json
import time

import korvic


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ahead_ns", type=int)
    parser.add_argument("--count", type=int)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--lock-wait", type=float)
    parser.add_argument("--pause", type=float, help="between readings")
    args = parser.parse_args()
    end = time.monotonic() + args.seconds if args.seconds is not None else None
    n = off = back = 0
    worst = None
    last = None
    with korvic.Board(lock_wait=args.lock_wait) as board:
        while n != args.count and (end is None or time.monotonic() < end):
            s = board.sample()
            half = (s.after - s.before) / 2
            excess = max(s.offset_ns - args.ahead_ns - half, args.ahead_ns - s.offset_ns - half - 1000)
            worst = excess if worst is None else max(worst, excess)
            off += excess > 0
            back += last is not None and s.board < last
            last = s.board
            n += 1
            if args.pause:
                time.sleep(args.pause)
    print(json.dumps({"n": n, "off": off, "back": back, "worst_ns": worst}, separators=(",", ":")))


if __name__ == "__main__":
    main()
