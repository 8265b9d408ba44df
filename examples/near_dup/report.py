"""What a run prints: the shape and its candidates, recall against the planted
truth for the generated corpus, counts and exact-copy groups for a user's
input, and stage times."""

from __future__ import annotations

import numpy as np

from .corpus import Corpus
from .result import Result
from .row_checks import REASONS
from .shape import Choice, match_probability

SHOWN = 5  # rows, groups and buckets listed before "..."


def generated(corpus: Corpus, dim: int, result: Result, threshold: float) -> list[tuple[float, float]]:
    """Prints the report on the planted pairs; returns (exact, estimated) cosines of those found."""
    print(f"corpus: {len(corpus.vectors)} vectors of dimension {dim}; {len(result.removed)} exact copies removed "
          f"by digest ({len(corpus.copy_row)} planted)")
    _shape(result, threshold)
    _problems(result)
    print(f"pairs with cosine >= {threshold:g}: {len(result.pairs)}")
    print()
    print("| planted cosine | pairs | found | recall | predicted recall | mean estimate error |")
    print("|---:|---:|---:|---:|---:|---:|")
    codes = _codes(result.pairs[:, 0], result.pairs[:, 1], len(corpus.vectors))
    planted = _codes(np.minimum(corpus.pair_a, corpus.pair_b), np.maximum(corpus.pair_a, corpus.pair_b),
                     len(corpus.vectors))
    where = np.searchsorted(codes, planted)
    found = (where < len(codes)) & (codes[np.minimum(where, max(len(codes) - 1, 0))] == planted) if len(codes) \
        else np.zeros(len(planted), dtype=bool)
    shape = result.choice.shape
    for level in corpus.levels():
        mine = corpus.pair_level == level
        hits = where[mine & found]
        predicted = float(match_probability(np.array([level]), shape.band_bits, shape.slots)[0])
        error = float(np.mean(result.estimates[hits] - result.cosines[hits])) if len(hits) else float("nan")
        print(f"| {level:.2f} | {int(mine.sum())} | {len(hits)} | {len(hits) / max(int(mine.sum()), 1):.3f} | "
              f"{predicted:.3f} | {error:+.4f} |")
    hits = where[found]
    return list(zip(result.cosines[hits].tolist(), result.estimates[hits].tolist()))


def user_input(description: str, dim: int, result: Result, threshold: float) -> None:
    print(f"input: {description}: {len(result.ids)} vectors of dimension {dim}")
    _problems(result)
    _copies(result)
    _shape(result, threshold)
    print(f"pairs with cosine >= {threshold:g}: {len(result.pairs)}")


def timings(seconds: dict[str, float], count: int, cpu: dict[str, float] | None = None) -> None:
    cpu = cpu or {}
    print()
    print("| stage | total s | us per vector | CPU s |")
    print("|---|---:|---:|---:|")
    for stage, value in seconds.items():
        used = f"{cpu[stage]:.3f}" if stage in cpu else ""
        print(f"| {stage} | {value:.3f} | {value / count * 1e6:.1f} | {used} |")
    for stage, value in cpu.items():
        if stage not in seconds:
            print(f"| {stage} | | | {value:.3f} |")


def _shape(result: Result, threshold: float) -> None:
    choice: Choice = result.choice
    how = "chosen" if choice.chosen else "given"
    print(f"signatures ({how}): {choice.shape.describe()}")
    if choice.chosen and not choice.met:
        print(f"note: no shape reaches the recall asked for within the candidate budget at threshold {threshold:g}; "
              "this one has the best predicted recall within the budget")
    actual = result.candidates / result.kept if result.kept else 0.0
    print(f"candidate pairs: {result.candidates} ({actual:.2f} per vector; predicted {choice.per_vector:.2f} random "
          f"per vector); predicted recall at cosine {threshold:g}: {choice.recall:.3f}")
    if result.cuts.buckets:
        print(f"bucket cap cut {result.cuts.buckets} buckets (largest had {result.cuts.largest} members; "
              f"{result.cuts.dropped} memberships beyond the cap left out)")


def _copies(result: Result) -> None:
    groups = np.unique(result.removed_kept)
    shown = []
    for kept in groups[:SHOWN].tolist():
        rows = result.removed[result.removed_kept == kept]
        shown.append(f"{_id(result, kept)} <- {', '.join(_id(result, int(r)) for r in rows[:SHOWN])}"
                     + (", ..." if len(rows) > SHOWN else ""))
    more = "; ..." if len(groups) > SHOWN else ""
    print(f"exact copies removed by digest: {len(result.removed)} in {len(groups)} group{'' if len(groups) == 1 else 's'}"
          + (f" (kept id <- removed ids: {'; '.join(shown)}{more})" if len(groups) else ""))


def _problems(result: Result) -> None:
    for code, reason in REASONS.items():
        skipped = result.skipped[result.skip_reasons == code]
        if len(skipped):
            shown = ", ".join(_id(result, int(r)) for r in skipped[:SHOWN])
            more = ", ..." if len(skipped) > SHOWN else ""
            print(f"skipped {len(skipped)} {'row' if len(skipped) == 1 else 'rows'} {reason} (ids {shown}{more})")


def _codes(a: np.ndarray, b: np.ndarray, n: int) -> np.ndarray:
    return a.astype(np.uint64) * np.uint64(n) + b.astype(np.uint64)


def _id(result: Result, row: int) -> str:
    return str(result.ids[row])
