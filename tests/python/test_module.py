"""The module as a whole, on a board that runs on the host's clock: the interpreter's own
signal handling in place, the real clock, and the package's types and help."""

import ast
import datetime as dt
import faulthandler
import inspect
import pathlib
import pydoc
import re
import signal
import time

import korvic
from conftest import UTC

PACKAGE = pathlib.Path(korvic.__file__).parent


def test_interpreter_signal_handlers_stay_the_programs(board):
    # pytest's faulthandler holds SIGSEGV, Python holds SIGINT; a Python handler for
    # SIGSEGV too: the simulator serves every register access in front of them all.
    assert faulthandler.is_enabled()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    faults = []
    old = signal.signal(signal.SIGSEGV, lambda signum, frame: faults.append(signum))
    try:
        assert signal.getsignal(signal.SIGSEGV) is not old
        times = [board.now() for _ in range(100)]
        assert times == sorted(times) and faults == []
    finally:
        # None: a handler installed outside Python (the sanitizer's), which Python cannot
        # put back; the default action stands in for it.
        signal.signal(signal.SIGSEGV, signal.SIG_DFL if old is None else old)


def test_board_on_the_host_clock(board):
    assert abs(board.now() - dt.datetime.now(UTC)) < dt.timedelta(seconds=5)
    s = board.sample()
    assert abs(s.before - time.time_ns()) < 5e9
    assert 0 <= s.uncertainty < 1 and abs(s.offset) < 1


def test_preset_now_sets_the_board_to_the_system_clock(board):
    p = board.preset_now()
    assert p.preset.microsecond == 0 and p.preset.tzinfo == UTC
    assert 1 <= p.attempts <= 10 and p.write_cost > 0
    assert dt.timedelta(0) <= p.read_back.board - p.preset < dt.timedelta(milliseconds=100)
    assert p.residual_ns == p.read_back.offset_ns
    # Within half its bracket of the system clock, and a margin for a loaded machine.
    assert abs(p.residual) < p.read_back.uncertainty / 2 + 1e-3
    assert abs(board.sample().offset) < 2e-3


def stub_classes():
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def spaced(signature):
    return re.sub(r"\s*=\s*", " = ", signature)


def test_stubs_declare_what_the_module_holds():
    classes = stub_classes()
    assert set(classes) == {n for n in korvic.__all__ if n[0].isupper()}
    special = {"__init__", "__enter__", "__exit__", "__iter__", "__next__"}
    for name, node in classes.items():
        cls = getattr(korvic, name)
        declared = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
        held = {n for n in vars(cls) if not n.startswith("_")}
        held |= {n for n in special & set(vars(cls)) if (getattr(cls, n).__doc__ or "").startswith(n + "(self")}
        assert set(declared) == held, name
        for method, f in declared.items():
            member = inspect.getattr_static(cls, method)
            if isinstance(member, property):
                assert [ast.unparse(d) for d in f.decorator_list] == ["property"], method
                continue
            stub = f"{method}({ast.unparse(f.args)}) -> {ast.unparse(f.returns)}"
            assert spaced(member.__doc__.splitlines()[0]) == spaced(stub)


def test_help_reads_well():
    text = pydoc.render_doc(korvic.Board, renderer=pydoc.plaintext)
    for name, member in vars(korvic.Board).items():
        if not name.startswith("_"):
            assert name in text
            doc = member.__doc__ or ""
            assert len(doc.strip().splitlines()) >= (1 if isinstance(member, property) else 3), name
    assert "timezone-aware datetime in UTC" in text
    assert re.fullmatch(r"\d+\.\d+\.\d+", korvic.__version__)

