#!/usr/bin/env bash
# The main job end to end on a generated corpus, as a user runs it: the
# report with its per-stage table, wall and CPU time and peak RSS (input pages
# included) from /usr/bin/time, and recall against the planted truth. With
# --dask, the same input on `--dask local:2` too, its files compared byte for
# byte with one process's. Not run by scripts/bench.sh: a million vectors
# take minutes and gigabytes.
#
#   bash benchmarks/main_job.sh 200000 [--dim 768] [--dask] [--work DIR]
set -euo pipefail
ZLN_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PY="${PY:-$ZLN_ROOT/.venv-3.12/bin/python}"
size="$1"; shift
dim=768 dask=0 work=""
while [ $# -gt 0 ]; do
    case "$1" in
        --dim) dim="$2"; shift 2 ;;
        --dask) dask=1; shift ;;
        --work) work="$2"; shift 2 ;;
        *) echo "error: unknown option $1" >&2; exit 2 ;;
    esac
done
work="${work:-${TMPDIR:-/tmp}/zln-main-job-$size-$dim}"
timed() {  # label, command...: the command's output, then one line of /usr/bin/time's figures
    local label="$1"; shift
    /usr/bin/time -f "$label: wall %e s, CPU %U s user + %S s system, peak RSS %M KiB" "$@"
}
if [ ! -f "$work/corpus/truth.parquet" ]; then
    "$PY" "$ZLN_ROOT/examples/make_corpus.py" --size "$size" --dim "$dim" --out "$work/corpus"
fi
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
timed "one process" "$PY" "$ZLN_ROOT/examples/demo.py" --quiet --input "$work/corpus/vectors.npy" --out "$work/one"
"$PY" "$ZLN_ROOT/examples/check_recall.py" --corpus "$work/corpus" --out "$work/one"
if [ "$dask" = 1 ]; then
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    timed "dask local:2" "$PY" "$ZLN_ROOT/examples/demo.py" --quiet --input "$work/corpus/vectors.npy" \
        --out "$work/dask" --dask local:2
    for name in pairs.parquet duplicates.parquet; do
        cmp "$work/one/$name" "$work/dask/$name" && echo "$name: identical bytes"
    done
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
