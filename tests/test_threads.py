"""Many threads calling the module at once.

* A stress run: every function and constructor called from several threads
  with a tiny switch interval, with arguments whose hooks give the lock away
  in the middle of a conversion, every result compared with one computed
  beforehand from the reference model.
* First-use races, each in a fresh interpreter: several threads released
  together raise the first internal failure (which creates the panic class)
  and the first type-mismatch error (which looks up collections.abc.Sequence)
  at the same moment. Every thread must see the same panic class and the
  right messages, and no run may hang.
* The one-time lookup of collections.abc.Sequence, made slow on purpose:
  threads that need it while it runs wait for it instead of running it again,
  and a lookup that needs itself ends as an internal failure, not a hang.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time


from support import reference_model as model
import zarvik_lumetra_native as zln
from conftest import SANITIZED, panic_class, same_floats

THREADS = 8
STRESS_SECONDS = 1.0 if SANITIZED else 3.0
RACE_RUNS = 8 if SANITIZED else 30


class YieldingFloat:
    """A number whose conversion gives the interpreter lock away."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


VEC = [0.5, -0.25, 0.125, 1.0, -0.75]
HOOKED_VEC = [YieldingFloat(x) for x in VEC]


def _family_fields(r):
    return (r.family, r.bits, r.signature, r.bands)


def _cases():
    """(name, call, expected) with the expectation from the model."""
    sims = [(f, b, s, list(bs)) for f, b, s, bs in model.simhash_lsh_multi(VEC, 2, 66, 3)]
    cases = [
        ("normalize_vector", lambda: zln.normalize_vector(HOOKED_VEC), model.normalize_vector(VEC)),
        (
            "simhash_lsh_multi",
            lambda: [_family_fields(r) for r in zln.simhash_lsh_multi(HOOKED_VEC, YieldingIndex(2), 66, bands=3)],
            sims,
        ),
        ("hamming_distance_hex", lambda: zln.hamming_distance_hex("ff0f" * 16, "0f" * 32), model.hamming_distance_hex("ff0f" * 16, "0f" * 32)),
        ("cosine_from_hamming", lambda: zln.cosine_from_hamming(YieldingIndex(5), 11), model.cosine_from_hamming(5, 11)),
        ("compute_embedding_sha256", lambda: zln.compute_embedding_sha256(HOOKED_VEC), model.compute_embedding_sha256(VEC)),
        (
            "LshFamily",
            lambda: _family_fields(zln.LshFamily(YieldingIndex(1), 64, "ab", ("a", "b"))),
            (1, 64, "ab", ["a", "b"]),
        ),
        ("LshConfig", lambda: (lambda c: (c.families, c.bits, c.bands))(zln.LshConfig(bits=YieldingIndex(128))), (3, 128, 16)),
    ]
    return cases


def _errors():
    """Calls that fail, with the failure class and message they must raise."""
    return [
        (lambda: zln.hamming_distance_hex("0g", "00"), None, model.UNWRAP_NONE_MESSAGE),
        (lambda: zln.normalize_vector(3), TypeError, "'int' object is not an instance of 'Sequence'"),
        (lambda: zln.cosine_from_hamming(-1, 3), OverflowError, None),
    ]


def _same(got, want):
    if isinstance(want, list) and want and isinstance(want[0], float):
        return same_floats(got, want)
    if isinstance(want, float):
        return same_floats([got], [want])
    return got == want


def test_many_threads_calling_everything_at_once():
    cases = _cases()
    errors = _errors()
    panic = panic_class()
    counts = [0] * THREADS
    failures = []
    stop = time.monotonic() + STRESS_SECONDS
    start = threading.Barrier(THREADS)

    def worker(k):
        start.wait()
        i = k
        while time.monotonic() < stop and not failures:
            name, call, want = cases[i % len(cases)]
            got = call()
            if not _same(got, want):
                failures.append((name, got, want))
            call_err, exc_type, message = errors[i % len(errors)]
            try:
                call_err()
                failures.append(("no error", i))
            except BaseException as exc:  # noqa: BLE001
                if exc_type is None:
                    ok = type(exc) is panic and exc.args == (message,)
                else:
                    ok = type(exc) is exc_type and (message is None or str(exc) == message)
                if not ok:
                    failures.append(("wrong error", repr(exc)))
            counts[k] += 2
            i += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads), "a thread hung"
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[:3]
    assert all(c > 0 for c in counts), counts
    print(f"\nthread stress: {THREADS} threads, {sum(counts)} calls ({min(counts)}..{max(counts)} per thread)")


RACE_SCRIPT = textwrap.dedent(
    """
    import sys, threading
    sys.setswitchinterval(1e-6)
    import zarvik_lumetra_native as zln

    N = int(sys.argv[1])
    barrier = threading.Barrier(N)
    seen = [None] * N

    def panic_first(k):
        barrier.wait()
        try:
            zln.hamming_distance_hex("0g", "00")
        except BaseException as exc:
            seen[k] = ("panic", id(type(exc)), type(exc).__bases__ == (BaseException,), exc.args)

    def mismatch_first(k):
        barrier.wait()
        try:
            zln.normalize_vector(3)
        except BaseException as exc:
            seen[k] = ("mismatch", type(exc).__name__, str(exc), getattr(exc, "__notes__", None))

    def capacity_first(k):
        class Huge:
            def __len__(self): return 2**61
            def __getitem__(self, i): raise IndexError
        barrier.wait()
        try:
            zln.normalize_vector(Huge())
        except BaseException as exc:
            seen[k] = ("panic", id(type(exc)), type(exc).__bases__ == (BaseException,), exc.args)

    kinds = [panic_first, mismatch_first, capacity_first]
    threads = [threading.Thread(target=kinds[k % 3], args=(k,)) for k in range(N)]
    for t in threads: t.start()
    for t in threads: t.join()
    panics = {s[1] for s in seen if s[0] == "panic"}
    assert len(panics) == 1, seen
    for s in seen:
        if s[0] == "panic":
            assert s[2], s
            assert s[3] in (("called `Option::unwrap()` on a `None` value",), ("capacity overflow",)), s
        else:
            assert s[1:] == ("TypeError", "'int' object is not an instance of 'Sequence'",
                             ["while processing 'vector'"]), s
    print("ok", len(seen))
    """
)


def test_first_use_races_in_fresh_interpreters():
    env = dict(os.environ)
    hung = 0
    for run in range(RACE_RUNS):
        try:
            proc = subprocess.run(
                [sys.executable, "-c", RACE_SCRIPT, str(6 + run % 5)],
                capture_output=True,
                text=True,
                timeout=60,
                env=env,
            )
        except subprocess.TimeoutExpired:
            hung += 1
            continue
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.startswith("ok"), proc.stdout + proc.stderr
    assert hung == 0, f"{hung} of {RACE_RUNS} runs hung"


# collections.abc is replaced by a module whose Sequence attribute is read
# through a getter that counts its reads, gives the interpreter lock away for
# a while, and in "reentrant" mode first calls back into the module, which
# needs the very class being looked up.
ONCE_SCRIPT = textwrap.dedent(
    """
    import collections.abc, sys, threading, time, types
    sys.setswitchinterval(1e-6)
    mode, threads = sys.argv[1], int(sys.argv[2])
    reads = []
    inner = []

    class SlowAbc(types.ModuleType):
        @property
        def Sequence(self):
            reads.append(threading.get_ident())
            if mode == "reentrant" and len(reads) == 1:
                try:
                    zln.normalize_vector(3)
                except BaseException as exc:
                    inner.append((type(exc).__name__, str(exc)))
                    raise
            time.sleep(0.3)
            return collections.abc.Sequence

    sys.modules["collections.abc"] = SlowAbc("collections.abc")
    import zarvik_lumetra_native as zln

    seen = []
    barrier = threading.Barrier(threads)
    def call():
        barrier.wait()
        try:
            zln.normalize_vector(3)
        except BaseException as exc:
            seen.append((type(exc).__name__, str(exc)))
    workers = [threading.Thread(target=call) for _ in range(threads)]
    for t in workers: t.start()
    for t in workers: t.join()
    first_reads = len(reads)
    try:
        zln.normalize_vector(3)  # after a failed lookup, the next need tries again
    except BaseException as exc:
        later = (type(exc).__name__, str(exc))
    print(repr((first_reads, len(set(reads)), sorted(seen), inner, later)))
    """
)

MISMATCH = ("TypeError", "'int' object is not an instance of 'Sequence'")
REENTRANT = (
    "PanicException",
    "re-entrant request for collections.abc.Sequence: it was requested again by the thread that is creating it",
)


def _run_once_script(mode, threads):
    proc = subprocess.run(
        [sys.executable, "-c", ONCE_SCRIPT, mode, str(threads)], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return eval(proc.stdout)  # noqa: S307 - our own script's repr


def test_racing_threads_share_one_lookup():
    reads, readers, seen, _, later = _run_once_script("race", 4)
    assert (reads, readers) == (1, 1)
    assert seen == [MISMATCH] * 4
    assert later == MISMATCH


def test_lookup_that_needs_itself_is_an_internal_failure():
    reads, _, seen, inner, later = _run_once_script("reentrant", 1)
    # The nested request fails at once; the outer call ends with the same
    # internal failure, which leaves the class uncreated for the next call.
    assert inner == [REENTRANT]
    assert seen == [REENTRANT]
    assert reads == 1
    assert later == MISMATCH
