"""Bulk calls (each with its own worker threads) and per-call calls from
several Python threads at once.

Per-call calls of ever new shapes keep regrowing the process-wide sign
caches while bulk workers sign from their snapshots; every result must still
equal the one computed beforehand on one thread. scripts/test_tsan.sh runs
this under ThreadSanitizer, where a data race anywhere in the core or either
module fails the run.
"""

from __future__ import annotations

import threading
import time

import pytest

np = pytest.importorskip("numpy")
import zarvik_lumetra_bulk as bulk  # noqa: E402

import zarvik_lumetra_native as native  # noqa: E402
from conftest import SANITIZED  # noqa: E402

SECONDS = 2.0 if SANITIZED else 3.0
# (d, families, bits): shapes whose caches differ, so they evict each other.
SHAPES = [(64, 1, 64), (300, 3, 256), (768, 3, 256), (1100, 5, 512), (130, 16, 1024)]


def _matrix(d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((12 if SANITIZED else 40, d)).astype(np.float32)
    x[0] = 0.0
    x[1, 0] = np.nan
    return x


def test_bulk_and_per_call_threads_share_the_caches():
    cases = []
    for k, (d, families, bits) in enumerate(SHAPES):
        x = _matrix(d, k)
        cases.append((x, families, bits, bulk.sign_rows(x, families, bits, threads=1),
                      bulk.digest_rows(x, threads=1), bulk.normalize_rows(x, threads=1)))
    per_call = [(r.tolist(), f, b, [[g.signature for g in native.simhash_lsh_multi(r, f, b)]])
                for x, f, b, *_ in cases for r in x[:3]]
    failures = []
    stop = time.monotonic() + SECONDS
    counts = [0] * 6

    def bulk_worker(w):
        k = w
        while time.monotonic() < stop and not failures:
            x, families, bits, words, digests, unit = cases[k % len(cases)]
            got = bulk.sign_rows(x, families, bits, threads=2 + k % 2)
            if not np.array_equal(got, words):
                failures.append(("sign_rows", x.shape, families, bits))
            if not np.array_equal(bulk.digest_rows(x, threads=2), digests):
                failures.append(("digest_rows", x.shape))
            if not np.array_equal(bulk.normalize_rows(x, threads=3).view(np.uint32), unit.view(np.uint32)):
                failures.append(("normalize_rows", x.shape))
            i = np.arange(len(x))
            bulk.pair_cosines(x, i, i[::-1], threads=2)
            counts[w] += 1
            k += 1

    def per_call_worker(w):
        k = w
        while time.monotonic() < stop and not failures:
            row, families, bits, want = per_call[k % len(per_call)]
            got = [[g.signature for g in native.simhash_lsh_multi(row, families, bits)]]
            if got != want:
                failures.append(("simhash_lsh_multi", len(row), families, bits))
            # A new vector length now and then: the caches regrow.
            native.simhash_lsh_multi([0.5] * (50 + 37 * (k % 40)), 1 + k % 16, 64 * (1 + k % 16))
            counts[w] += 1
            k += 1

    threads = [threading.Thread(target=bulk_worker, args=(w,)) for w in range(3)]
    threads += [threading.Thread(target=per_call_worker, args=(w,)) for w in range(3, 6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:5]
    assert all(c > 0 for c in counts), counts
