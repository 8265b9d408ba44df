"""pytest option ``--leak-check``: repeat each test until memory stops growing.

With the option, every selected test is run once as a warm-up and then in
rounds of ``--leak-check-calls`` further runs (same fixture values). After
each round the garbage collector runs and the figures are taken: memory
traced by tracemalloc (interpreter allocations, started for the whole
session), the process's resident set size (native allocations) and, on a
debug interpreter, the total reference count (``sys.gettotalrefcount()``:
one reference kept too many per call shows there even when the object is
too small for the memory figures; left out for tests marked
``numpy_objects`` when NumPy's own reference operations do not count in
that total, as with a NumPy built for release interpreters). As soon as a
round grows no figure
beyond its tolerance, the test passes. If every one of
``--leak-check-rounds`` rounds grows one of them, something grows steadily
with repetition and the test fails with the figures.

A summary line at the end gives how many tests were checked and the largest
growth seen in a final (stable) round.
"""

from __future__ import annotations

import array
import gc
import os
import sys
import tracemalloc

import pytest

TRACED_TOLERANCE = 4 << 10  # bytes per round
RSS_TOLERANCE = 256 << 10
# References per round, as a share of the runs in it: the harness's own
# bookkeeping keeps a reference or two per round whatever the test does,
# while a reference kept on a path of the test adds at least one per run.
REFCOUNT_TOLERANCE_PER_RUN = 0.2
_total_refcount = getattr(sys, "gettotalrefcount", None)  # debug interpreters only


def pytest_addoption(parser):
    group = parser.getgroup("leak-check")
    group.addoption("--leak-check", action="store_true", default=False,
                    help="repeat each test until memory stops growing; fail on steady growth")
    group.addoption("--leak-check-rounds", type=int, default=6, help="rounds before steady growth is reported")
    group.addoption("--leak-check-calls", type=int, default=4, help="runs of the test per round")


_numpy_in_total = None  # whether NumPy's reference operations count in the total


def _numpy_keeps_the_total() -> bool:
    """Whether NumPy's making and dropping of arrays leaves the total as it was."""
    global _numpy_in_total
    if _numpy_in_total is None:
        try:
            import numpy
        except ImportError:
            _numpy_in_total = True
            return True

        def once():
            numpy.empty(1)

        once()
        gc.collect()
        start = _total_refcount()
        for _ in range(100):
            once()
        gc.collect()
        _numpy_in_total = abs(_total_refcount() - start) < 20
    return _numpy_in_total


def _rss() -> int:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:  # pragma: no cover - not Linux
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _measure():
    gc.collect()
    refs = _total_refcount() if _total_refcount is not None else 0
    return tracemalloc.get_traced_memory()[0], _rss(), refs


class _Stats:
    checked = 0
    unrepeated = 0
    refs_left_out = 0
    rounds = 0
    worst_traced = 0
    worst_rss = 0
    worst_refs = 0
    start_rss = 0
    end_rss = 0
    peak_traced = 0


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "numpy_objects: the test makes or reads NumPy arrays (see the leak check's reference figure)"
    )
    if config.getoption("--leak-check", default=False) and not tracemalloc.is_tracing():
        tracemalloc.start()
        _Stats.start_rss = _rss()


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    config = pyfuncitem.config
    if not config.getoption("--leak-check", default=False):
        return None
    func = pyfuncitem.obj
    names = pyfuncitem._fixtureinfo.argnames
    args = {name: pyfuncitem.funcargs[name] for name in names}
    if "monkeypatch" in names:
        # A reused monkeypatch keeps every replaced value for its undo, so
        # repeating such a test grows memory by design: run it once only.
        _Stats.unrepeated += 1
        func(**args)
        return True
    func(**args)  # warm-up: one-time caches and lazily created objects
    func(**args)
    rounds = config.getoption("--leak-check-rounds")
    calls = config.getoption("--leak-check-calls")
    refcount_tolerance = int(calls * REFCOUNT_TOLERANCE_PER_RUN)
    if (
        _total_refcount is not None
        and pyfuncitem.get_closest_marker("numpy_objects") is not None
        and not _numpy_keeps_the_total()
    ):
        refcount_tolerance = sys.maxsize
        _Stats.refs_left_out += 1
    judged_refs = refcount_tolerance != sys.maxsize
    # The figures of every round are kept as raw numbers: keeping them as
    # Python objects would itself add references in each round.
    history = array.array("q", bytes(8 * 3 * rounds))
    before = _measure()
    for r in range(rounds):
        for _ in range(calls):
            func(**args)
        after = _measure()
        grew = history[3 * r : 3 * r + 3] = array.array("q", (a - b for a, b in zip(after, before)))
        _Stats.rounds += 1
        before = after
        if grew[0] <= TRACED_TOLERANCE and grew[1] <= RSS_TOLERANCE and grew[2] <= refcount_tolerance:
            _Stats.checked += 1
            _Stats.worst_traced = max(_Stats.worst_traced, grew[0])
            _Stats.worst_rss = max(_Stats.worst_rss, grew[1])
            if judged_refs:
                _Stats.worst_refs = max(_Stats.worst_refs, grew[2])
            _Stats.peak_traced = max(_Stats.peak_traced, tracemalloc.get_traced_memory()[1])
            return True
    rows = [history[3 * r : 3 * r + 3] for r in range(rounds)]
    pytest.fail(
        "memory or references grow steadily with repetition (per round of %d runs, "
        "traced bytes / RSS bytes / references): %s"
        % (calls, ", ".join(f"{t:+d}/{r:+d}/{n:+d}" for t, r, n in rows)),
        pytrace=False,
    )


def pytest_terminal_summary(terminalreporter, config):
    if not config.getoption("--leak-check", default=False):
        return
    _Stats.end_rss = _rss()
    refs = ""
    if _total_refcount is not None:
        refs = f", references {_Stats.worst_refs}"
        if _Stats.refs_left_out:
            refs += f" ({_Stats.refs_left_out} NumPy tests judged without it: NumPy's references are not in the total)"
    terminalreporter.write_line(
        f"leak check: {_Stats.checked} tests stable after {_Stats.rounds} rounds "
        f"({_Stats.unrepeated} using monkeypatch run once); "
        f"largest growth in a final round: traced {_Stats.worst_traced} B, RSS {_Stats.worst_rss} B{refs}; "
        f"peak traced {_Stats.peak_traced >> 10} KiB; RSS {_Stats.start_rss >> 20} -> {_Stats.end_rss >> 20} MiB"
    )
