"""Choosing the signature shape from the corpus itself.

One SimHash bit of two vectors at cosine c agrees with probability
p = 1 - acos(c)/pi, so a band of w bits matches with p^w and a pair shares at
least one of L independent bands with 1 - (1 - p^w)^L. Recall at the
threshold is that probability at the threshold; the random candidates are
the mean of it over a sample of random pairs (embeddings are not orthogonal:
their background cosine is well above 0, which is what sets the cost) times
(n - 1)/2 pairs per vector. The cheapest shape is the one with the fewest
signature bits, since signing costs in proportion to them. Bands of one
family are as independent as bands of different families; a chosen shape
puts its bands in as few families of at most 1,024 bits as fit, at most 16
families: the region whose hyperplane signs the signing core caches.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .signing import LshShape

SAMPLE_PAIRS = 20_000
MAX_BAND_DIGITS = 16  # keys of at most 64 bits
MAX_SLOTS = 2048  # bands in all: each is one pass over the corpus
# The signing core caches the hyperplane signs of 16 families of up to 1,024
# bits; signs beyond that are computed for every vector, several times slower.
MAX_FAMILIES = 16
FAMILY_DIGITS = 256


@dataclass(frozen=True)
class Choice:
    shape: LshShape
    recall: float  # predicted at the threshold
    per_vector: float  # predicted random candidates per vector
    met: bool  # both the recall and the candidate budget hold
    chosen: bool  # False when the user gave the shape


def match_probability(cosines: np.ndarray, band_bits: int, slots: int) -> np.ndarray:
    """Probability that two vectors at these cosines share at least one of `slots` bands."""
    agree = 1.0 - np.arccos(np.clip(cosines, -1.0, 1.0)) / math.pi
    probability: np.ndarray = -np.expm1(slots * np.log1p(-np.minimum(agree ** band_bits, 1.0 - 1e-300)))
    return probability


def predict(shape: LshShape, background: np.ndarray, count: int, threshold: float) -> tuple[float, float]:
    """(recall at the threshold, random candidates per vector) of a shape."""
    recall = float(match_probability(np.array([threshold]), shape.band_bits, shape.slots)[0])
    mean = float(match_probability(background, shape.band_bits, shape.slots).mean()) if len(background) else 0.0
    return recall, mean * (count - 1) / 2


def choose(background: np.ndarray, count: int, threshold: float, recall: float, budget: float) -> Choice:
    """The shape with the fewest signature bits meeting both the recall and the
    candidate budget; where none does, the best recall within the budget.
    Shapes within the signing core's cached families come first."""
    choice = _choose(background, count, threshold, recall, budget, MAX_FAMILIES)
    return choice if choice.met else _choose(background, count, threshold, recall, budget, MAX_SLOTS)


def _choose(background: np.ndarray, count: int, threshold: float, recall: float, budget: float,
            max_families: int) -> Choice:
    cosines, weights = _histogram(background)
    best: Choice | None = None
    fallback: Choice | None = None
    for digits in range(1, MAX_BAND_DIGITS + 1):
        at_threshold = match_probability(np.array([threshold]), 4 * digits, 1)[0]
        background_one = match_probability(cosines, 4 * digits, 1)
        for wanted in range(1, MAX_SLOTS + 1):
            shape = layout(digits, wanted, max_families)
            if shape is None or shape.slots != wanted:
                continue  # (the same shape as a smaller count, or none)
            slots = shape.slots
            if best is not None and shape.total_bits > best.shape.total_bits:
                break  # more bands only cost more from here
            got = float(-math.expm1(slots * math.log1p(-min(at_threshold, 1.0 - 1e-300))))
            per_vector = float(np.dot(weights, -np.expm1(slots * np.log1p(-np.minimum(background_one, 1.0 - 1e-300)))))
            per_vector *= (count - 1) / 2
            if per_vector > budget:
                break  # more bands only add candidates
            candidate = Choice(shape, got, per_vector, got >= recall, True)
            if candidate.met and _better(candidate, best):
                best = candidate
            # Without a shape meeting both: the best recall, then the most
            # candidates the budget allows (at threshold -1 every recall is 0).
            if fallback is None or _rank(candidate, budget) > _rank(fallback, budget):
                fallback = candidate
    # (binned cosines rank the shapes; the chosen one's figures are computed from the sample itself)
    shape = best.shape if best is not None else fallback.shape if fallback is not None else LshShape(1, 64, 1)
    got, per_vector = predict(shape, background, count, threshold)
    return Choice(shape, got, per_vector, best is not None, True)


def given(shape: LshShape, background: np.ndarray, count: int, threshold: float, recall: float, budget: float) -> Choice:
    got, per_vector = predict(shape, background, count, threshold)
    return Choice(shape, got, per_vector, got >= recall and per_vector <= budget, False)


def layout(digits: int, slots: int, max_families: int = MAX_FAMILIES) -> LshShape | None:
    """At least `slots` bands of `digits` hex digits in as few families as fit
    (at most FAMILY_DIGITS digits a family), the bands shared out evenly; None
    where that takes more than `max_families` families."""
    most = FAMILY_DIGITS // digits
    families = -(-slots // most)
    if families > max_families:
        return None
    bands = -(-slots // families)
    return LshShape(families, max(4 * digits * bands, 64), bands) if digits * bands >= 16 else None


def _rank(choice: Choice, budget: float) -> tuple[float, float, int]:
    """Recall, then candidates (to a hundredth of the budget), then fewer bits."""
    return round(choice.recall, 4), round(choice.per_vector / budget, 2), -choice.shape.total_bits


def _better(candidate: Choice, best: Choice | None) -> bool:
    if best is None:
        return True
    return (candidate.shape.total_bits, candidate.per_vector) < (best.shape.total_bits, best.per_vector)


def _histogram(background: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Sample cosines in 4,001 bins: the sums over thousands of shapes stay cheap."""
    if len(background) == 0:
        return np.zeros(1), np.zeros(1)
    edges = np.linspace(-1.0, 1.0, 4002)
    counts, _ = np.histogram(background, bins=edges)
    centres = (edges[:-1] + edges[1:]) / 2
    keep = counts > 0
    return centres[keep], counts[keep] / len(background)
