#!/usr/bin/env python3
"""Runs the shell examples of README.md, docs/*.md and the manual pages on the simulated
board, each in a fresh empty directory, and checks what they show.

    run_examples.py SOURCE_DIR BUILD_DIR [WHERE...]

WHERE (file:line, or any part of it) picks examples; by default every one runs. What is an
example, what is compared and how it is masked: docs/QUALITY.md, "The docs are tests".
"""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile

TIME_LIMIT = 60  # seconds per example
MARK = re.compile(r"example:\s*(skip|host-clock|with)\b\s*(.*?)\s*(-->)?$")
ROFF = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\(ti", "~"), ("\\&", ""), ("\\e", "\\")]


class Example:
    def __init__(self, where, lines, marks):
        self.where, self.lines = where, lines
        self.skip = next((why for what, why in marks if what == "skip"), None)
        self.host_clock = any(what == "host-clock" for what, _ in marks)
        self.files = [f for what, names in marks if what == "with" for f in names.split()]

    def commands(self):
        """(command, shown output or None): a session's "$ " lines, else one script."""
        if not self.lines or not self.lines[0].startswith("$ "):
            return [("\n".join(self.lines), None)]
        steps = []
        lines = iter(self.lines)
        for line in lines:
            if line.startswith("$ "):
                cmd = line[2:]
                while cmd.endswith("\\"):
                    cmd += "\n" + next(lines, "")
                steps.append((cmd, []))
            else:
                steps[-1][1].append(line)
        return steps


def mark_of(line):
    m = MARK.search(line)
    return (m.group(1), m.group(2)) if m else None


def markdown(path, name, problems):
    examples, marks, fence = [], [], None
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if fence is not None:
            indent, ticks, info, start, body, block_marks = fence
            if line.strip() == ticks:
                if info in ("sh", "console"):
                    examples.append(Example(f"{name}:{start}", body, block_marks))
                fence = None
            else:
                body.append(line.lstrip() if line[:indent].strip() else line[indent:])
            continue
        m = re.match(r"^(\s*)(```+)\s*(\S*)", line)
        if m:
            if not m.group(3):
                problems.append(f"{name}:{number}: a code block names what it holds (sh, console, text, ...)")
            fence = (len(m.group(1)), m.group(2), m.group(3), number, [], marks)
            marks = []
        elif line.lstrip().startswith("<!--") and mark_of(line):
            marks = marks + [mark_of(line)]
        elif line.strip():
            marks = []
    return examples


def manual(path, name):
    """The .EX/.EE blocks of the EXAMPLES section, roff escapes undone."""
    examples, marks, body, section = [], [], None, ""
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
        if section != "EXAMPLES":
            continue
        if line.startswith('.\\"') and mark_of(line):
            marks.append(mark_of(line))
        elif line.startswith(".EX"):
            body, start = [], number
        elif line.startswith(".EE") and body is not None:
            examples.append(Example(f"{name}:{start}", body, marks))
            body, marks = None, []
        elif body is not None:
            for roff, text in ROFF:
                line = line.replace(roff, text)
            body.append(line)
        elif line.startswith(".PP"):
            marks = []
    return examples


def masked(text, example, run_dir):
    """What a comparison sees: the run's paths and names, and with host-clock every number,
    by their place rather than their value."""
    text = text.replace(str(run_dir / "tmp"), "/tmp").replace(str(run_dir / "work"), "~")
    text = re.sub(r"korvic_sim\.[A-Za-z0-9]{6}", "korvic_sim.XXXXXX", text)
    text = re.sub(r"\b(pid|process) [0-9]+", r"\1 N", text)
    if example.host_clock:
        text = re.sub(r"[+-]?[0-9]+", "N", text)
    return [line.rstrip() for line in text.rstrip("\n").split("\n")] if text.strip() else []


def run(example, env, fixtures):
    """None when the example does what it shows, else what went wrong."""
    run_dir = pathlib.Path(tempfile.mkdtemp(prefix="korvic_docs."))
    try:
        (run_dir / "work").mkdir()
        (run_dir / "tmp").mkdir()
        for f in example.files:
            shutil.copy(fixtures[f], run_dir / "work" / f)
        env = dict(env, HOME=str(run_dir / "work"), PWD=str(run_dir / "work"), TMPDIR=str(run_dir / "tmp"))
        for cmd, shown in example.commands():
            p = subprocess.Popen(["sh", "-c" if shown else "-ec", cmd], cwd=run_dir / "work", env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 start_new_session=True)
            try:
                out = p.communicate(timeout=TIME_LIMIT)[0].decode(errors="replace")
            except subprocess.TimeoutExpired:
                out = f"(more than {TIME_LIMIT} s)"
            finally:
                try:  # whatever the command left running in its session
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                p.wait()
            if shown:
                want, got = masked("\n".join(shown), example, run_dir), masked(out, example, run_dir)
                if want != got:
                    return "$ " + cmd + "\nshown:\n" + "\n".join(want) + "\nprinted:\n" + "\n".join(got)
            elif p.returncode != 0:
                tail = "\n".join(out.rstrip("\n").split("\n")[-30:])
                return f"{cmd}\nexit status {p.returncode}, the end of its output:\n{tail}"
        return None
    finally:
        shutil.rmtree(run_dir, ignore_errors=True)


def main():
    source, build = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2]).resolve()
    picked = sys.argv[3:]
    problems, examples = [], []
    for path in [source / "README.md"] + sorted((source / "docs").glob("*.md")):
        examples += markdown(path, str(path.relative_to(source)), problems)
    for path in sorted((source / "man").glob("*.[18]")):
        examples += manual(path, str(path.relative_to(source)))
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVIC_")}
    env.update(PATH=f"{build / 'bin'}:{env.get('PATH', '/usr/bin:/bin')}", LC_ALL="C.UTF-8")
    if (build / "python" / "korvic").is_dir():
        env["PYTHONPATH"] = str(build / "python")
    fixtures = {"read_time": build / "bin" / "read_time_example"}
    ran = skipped = 0
    for ex in examples:
        if picked and not any(p in ex.where for p in picked):
            continue
        missing = [f for f in ex.files if f not in fixtures or not fixtures[f].exists()]
        if ex.skip is not None or missing:
            print(f"skipped {ex.where}: {ex.skip or 'no ' + ', '.join(missing) + ' in this build'}")
            skipped += 1
            continue
        failure = run(ex, env, fixtures)
        print(f"ran     {ex.where}" + (": FAILED\n" + failure if failure else ""), flush=True)
        ran += 1
        if failure:
            problems.append(f"{ex.where}: does not do what it shows")
    for p in problems:
        print("problem", p)
    print(f"{ran} examples ran, {skipped} skipped, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
