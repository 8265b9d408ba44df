"""Near-duplicate search over embedding vectors with zarvik_lumetra_native.

Without --input it builds a reproducible corpus of unit vectors with planted
near-duplicate pairs at known cosine similarities, exact copies and unrelated
vectors, and reports how well the pipeline finds them. With --input it runs
the same pipeline on the user's own vectors (.npy or Parquet):

1. normalise every vector (rows with NaN or infinite values, or whose sum of
   squares overflows or vanishes in 32-bit floats, are skipped),
2. drop exact copies by their canonical SHA-256 digest, keeping the first,
3. choose the signature shape from the corpus size and the cosines of a
   sample of random pairs (unless --families, --bits or --bands is given),
4. sign every vector (SimHash) and take candidate pairs from shared bands,
5. score each candidate by the exact cosine of its normalised vectors,
   keeping those that reach --threshold, with the Hamming distance of their
   signatures and the cosine estimate derived from it.

With --out DIR it writes pairs.parquet (id_a, id_b, hamming,
cosine_estimate, cosine) and duplicates.parquet (id, kept_id). With --dask it
runs on a Dask cluster, with the same results.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from near_dup import cluster, inputs, local, option_checks, output, report
from near_dup.corpus import Corpus, make_corpus
from near_dup.errors import InputError
from near_dup.options import Search, positive
from near_dup.result_folder import ResultFolder


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    data = parser.add_argument_group("input")
    data.add_argument("--input", metavar="PATH",
                      help=".npy file (float32/float64, one row per vector) or Parquet file (default: a generated corpus)")
    data.add_argument("--id-column", metavar="NAME", help="Parquet: column of unique integer or text ids (default: id)")
    data.add_argument("--vector-column", metavar="NAME", help="Parquet: column of float lists (default: vector)")
    generated = parser.add_argument_group("generated corpus (without --input)")
    generated.add_argument("--size", type=int, default=20_000, metavar="N", help="vectors in the corpus (default: %(default)s)")
    generated.add_argument("--dim", type=int, default=384, metavar="N", help="dimension of each vector (default: %(default)s)")
    generated.add_argument("--pairs", type=int, default=500, metavar="N",
                           help="planted pairs per similarity level (default: %(default)s)")
    generated.add_argument("--copies", type=int, default=200, metavar="N", help="planted exact copies (default: %(default)s)")
    generated.add_argument("--seed", type=int, default=20261208, metavar="N",
                           help="seed of the corpus's random numbers (default: %(default)s)")
    lsh = parser.add_argument_group("search")
    lsh.add_argument("--threshold", type=float, default=0.9, metavar="T",
                     help="keep pairs whose exact cosine reaches this (default: %(default)s)")
    lsh.add_argument("--recall", default="0.95", metavar="R",
                     help="choose the shape for this predicted recall at the threshold (default: %(default)s)")
    lsh.add_argument("--candidates-per-vector", default="20", metavar="C",
                     help="... with at most this many random candidate pairs per vector (default: %(default)s)")
    lsh.add_argument("--families", type=int, metavar="N",
                     help="independent SimHash signatures per vector (default: chosen with --bits and --bands; "
                          "giving any of the three turns the choice off, and the others are then 3, 256 and 16)")
    lsh.add_argument("--bits", type=int, metavar="N", help="bits of each family's signature, 64 to 131072 (default: chosen)")
    lsh.add_argument("--bands", type=int, metavar="N",
                     help="bands per family: each signature is cut into N equal bands, at most one per hex digit, "
                          "and vectors sharing a band become candidates (default: chosen)")
    lsh.add_argument("--max-bucket", type=int, default=1000, metavar="N",
                     help="a bucket keeps only its N members earliest in input order (0: no cap; default: %(default)s)")
    run = parser.add_argument_group("running")
    run.add_argument("--out", metavar="DIR",
                     help="write pairs.parquet and duplicates.parquet here: a new folder, or one holding only "
                          "these (default: no files written)")
    run.add_argument("--dask", metavar="ADDRESS",
                     help="run on the Dask scheduler at ADDRESS, or on local:N worker processes (default: in this process)")
    run.add_argument("--scratch", metavar="DIR",
                     help="Dask: folder every worker can read and write, for the normalised rows and signatures "
                          "(default for local:N: /dev/shm)")
    run.add_argument("--partition-rows", type=int, default=10_000, metavar="N",
                     help="rows per partition of the input (default: %(default)s)")
    run.add_argument("--plot", metavar="PNG", help="also write a plot of estimated against true cosine")
    run.add_argument("--quiet", action="store_true", help="no progress bars")
    args = parser.parse_args(argv)
    wrong = option_checks.problem(args)
    if wrong is not None:
        parser.error(wrong)
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except InputError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("interrupted (--out, if given, still holds the earlier results)", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the report was piped into a reader that stopped early
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # nothing left to flush at exit
        return 1


def run(args: argparse.Namespace) -> int:
    search = Search(args.threshold, args.max_bucket, positive(args.recall, "--recall", 1.0),
                    positive(args.candidates_per_vector, "--candidates-per-vector"),
                    args.families, args.bits, args.bands)
    if args.input is not None:
        source = inputs.open_source(args.input, args.id_column, args.vector_column, args.partition_rows)
    folder = ResultFolder(args.out) if args.out is not None else None
    try:
        corpus = None
        if args.input is None:
            corpus = make_corpus(args.size, args.dim, args.pairs, args.copies, args.seed)
            source = inputs.generated(corpus.vectors, args.partition_rows)
        return search_and_report(args, search, source, corpus, folder)
    finally:
        if folder is not None:
            folder.close()


def search_and_report(args: argparse.Namespace, search: Search, source: inputs.Source, corpus: Corpus | None,
                      folder: ResultFolder | None) -> int:
    start, cpu = time.perf_counter(), time.process_time()
    if args.dask:
        result = cluster.run(args.dask, source, search, not args.quiet, args.scratch)
    else:
        result = local.run(source, search, not args.quiet)
        result.cpu["wall"] = time.process_time() - cpu
    result.seconds["wall" + (f" (Dask, {cluster.describe(args.dask)})" if args.dask else "")] = \
        time.perf_counter() - start

    if corpus is not None:
        points = report.generated(corpus, args.dim, result, args.threshold)
    else:
        report.user_input(source.description, source.dim, result, args.threshold)
    if folder is not None:
        pairs = output.pair_table(result.ids, result.pairs, result.hamming, result.estimates, result.cosines,
                                  result.choice.shape, args.threshold)
        duplicates = output.duplicate_table(result.ids, result.removed, result.removed_kept)
        run_id = folder.commit({"pairs.parquet": pairs, "duplicates.parquet": duplicates})
        print(f"wrote {pairs.num_rows} pairs to {os.path.join(args.out, 'pairs.parquet')} and {duplicates.num_rows} "
              f"exact copies to {os.path.join(args.out, 'duplicates.parquet')} (run id {run_id})")
    report.timings(result.seconds, source.count, result.cpu)
    if args.plot and corpus is not None:
        plot(args.plot, points)
    return 0


def plot(path: str, points: list[tuple[float, float]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(5, 5))
    ax.scatter([t for t, _ in points], [e for _, e in points], s=4, alpha=0.4)
    ax.plot([0.7, 1.0], [0.7, 1.0], color="black", linewidth=0.8)
    ax.set_xlabel("exact cosine")
    ax.set_ylabel("estimated cosine (SimHash)")
    ax.set_title("Planted pairs found by banded LSH")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


if __name__ == "__main__":
    sys.exit(main())
