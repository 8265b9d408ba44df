"""Checks of the command line made before any work starts, so a bad value is
one message, never a traceback from deep inside a stage after minutes of work."""

from __future__ import annotations

import argparse

from .corpus import LEVELS
from .options import DEFAULT_SHAPE
from .shape import MAX_BAND_DIGITS, MAX_SLOTS

MAX_FAMILIES = 1024
MAX_BITS = 4 * MAX_BAND_DIGITS * MAX_SLOTS  # per signature: the most bands the job forms, each of 64 bits (131072)


def problem(args: argparse.Namespace) -> str | None:
    """The first thing wrong with the options, or None."""
    if args.families is not None and not 1 <= args.families <= MAX_FAMILIES:
        return f"--families must lie between 1 and {MAX_FAMILIES}"
    if args.bits is not None and not 64 <= args.bits <= MAX_BITS:
        return f"--bits must lie between 64 (the shortest signature) and {MAX_BITS}"
    if args.bands is not None:
        bits = DEFAULT_SHAPE.bits if args.bits is None else args.bits
        digits = -(-bits // 4)
        if not 1 <= args.bands <= digits:
            # A band is at least one hex digit of its family's signature.
            return f"--bands counts bands per family: between 1 and {digits}, the hex digits of a {bits}-bit signature"
    if args.partition_rows < 1:
        return "--partition-rows must be at least 1"
    if args.max_bucket < 0:
        return "--max-bucket must be 0 (no cap) or more"
    if not -1.0 <= args.threshold <= 1.0:
        return "--threshold must lie between -1 and 1"
    if args.out is not None and not args.out:
        return "--out must name a folder"
    if args.input is None:
        return _corpus_problem(args)
    return None


def _corpus_problem(args: argparse.Namespace) -> str | None:
    if args.size < 1 or args.dim < 2:
        return "--size must be at least 1 and --dim at least 2 (a planted pair needs a second direction)"
    if args.pairs < 0 or args.copies < 0 or args.seed < 0:
        return "--pairs, --copies and --seed must be 0 or more"
    needed = 2 * (len(LEVELS) * args.pairs + args.copies)
    if args.size < needed:
        return (f"--size {args.size} is too small: {args.pairs} pairs at each of {len(LEVELS)} levels and "
                f"{args.copies} copies take {needed} distinct vectors")
    return None
