"""The search options: threshold, bucket cap, and the shape or what to choose it by."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from . import shape as shapes
from .errors import InputError
from .signing import LshShape

DEFAULT_SHAPE = LshShape(3, 256, 16)


@dataclass(frozen=True)
class Search:
    threshold: float
    cap: int
    recall: float
    budget: float  # random candidates per vector
    families: int | None = None  # any of the three given: the shape is not chosen
    bits: int | None = None
    bands: int | None = None

    @property
    def given(self) -> LshShape | None:
        if self.families is None and self.bits is None and self.bands is None:
            return None
        return LshShape(DEFAULT_SHAPE.families if self.families is None else self.families,
                        DEFAULT_SHAPE.bits if self.bits is None else self.bits,
                        DEFAULT_SHAPE.bands if self.bands is None else self.bands)

    def choose(self, background: np.ndarray, count: int) -> shapes.Choice:
        shape = self.given
        if shape is None:
            return shapes.choose(background, count, self.threshold, self.recall, self.budget)
        return shapes.given(shape, background, count, self.threshold, self.recall, self.budget)


def positive(text: str, option: str, at_most: float | None = None) -> float:
    """A number above 0 (and at most `at_most`), or the one-line error."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)) or (at_most is not None and value > at_most):
        limit = f" and at most {at_most:g}" if at_most is not None else ""
        raise InputError(f"{option} must be a number above 0{limit} (got {text!r})")
    return value
