#!/usr/bin/env python3
"""The docs test bites: run_examples.py over small documentation trees, one per case, must
run, skip or fail each as the table says.

    runner_test.py BUILD_DIR
"""

import pathlib
import subprocess
import sys
import tempfile

TIME = "$ korvic_sim --virtual --start 2026-03-28T12:34:56.789120 --step 1us -- korvic time\n"
CASES = [
    # (what, file, text, a line the listing must hold, exit status)
    ("output as printed", "README.md", f"```console\n{TIME}2026-03-28T12:34:56.789123Z\n```\n",
     "ran     README.md:1\n", 0),
    ("output that drifted", "README.md", f"```console\n{TIME}2026-03-28T12:34:56.789124Z\n```\n",
     "ran     README.md:1: FAILED\n", 1),
    ("host-clock: numbers by place", "README.md",
     "<!-- example: host-clock -->\n```console\n$ korvic_sim -- korvic time\n1999-01-01T00:00:00.5Z\n```\n",
     "ran     README.md:2\n", 0),
    ("host-clock: words still count", "README.md",
     "<!-- example: host-clock -->\n```console\n$ korvic_sim -- korvic --json time\n1999-01-01T00:00:00.5Z\n```\n",
     "ran     README.md:2: FAILED\n", 1),
    ("a script that fails", "README.md", "```sh\ntrue\nkorvic time   # no board here\ntrue\n```\n",
     "exit status 1", 1),
    ("skipped, with its reason", "README.md",
     "<!-- example: skip needs a board -->\n```sh\nfalse\n```\n",
     "skipped README.md:2: needs a board\n", 0),
    ("a fence that says nothing", "README.md", "```\nfalse\n```\n",
     "problem README.md:1: a code block names what it holds", 1),
    ("other languages are not run", "README.md", "```text\n$ false\nfalse\n```\n",
     "0 examples ran, 0 skipped, 0 problems", 0),
    ("leading blanks of the output kept", "README.md", "```console\n$ echo '  a'\n  a\n```\n",
     "ran     README.md:1\n", 0),
    ("a block indented in a list", "README.md", "1. step\n\n   ```console\n   $ echo '  a'\n     a\n   ```\n",
     "ran     README.md:3\n", 0),
    ("a manual page's example", "man/x.1",
     ".SH EXAMPLES\n.EX\n$ echo a\\-\\-b \\(aqc  d\\(aq\na--b c  d\n.EE\n",
     "ran     man/x.1:2\n", 0),
]


def main():
    build = sys.argv[1]
    runner = pathlib.Path(__file__).with_name("run_examples.py")
    failed = 0
    for what, name, text, listed, status in CASES:
        with tempfile.TemporaryDirectory() as tree:
            (pathlib.Path(tree) / "docs").mkdir()
            (pathlib.Path(tree) / "man").mkdir()
            (pathlib.Path(tree) / "README.md").write_text("")
            (pathlib.Path(tree) / name).write_text(text)
            r = subprocess.run([sys.executable, runner, tree, build], capture_output=True, text=True)
        if listed not in r.stdout or r.returncode != status:
            failed += 1
            print(f"FAILED {what}: status {r.returncode} (not {status}), {listed!r} not in:\n{r.stdout}{r.stderr}")
        else:
            print(f"ok     {what}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
