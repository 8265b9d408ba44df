"""Where the vectors come from: the generated corpus, a .npy file or Parquet.

Every source is cut into blocks of consecutive rows. A block is a small
picklable description that reads its own rows when asked, so a Dask worker
reads its part of a file itself instead of receiving it from the client.
Blocks carry the file's absolute path: a worker runs in a folder of its own.
"""

from __future__ import annotations

import itertools
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np

from .errors import InputError
from .libs import load

NPY_MAGIC = b"\x93NUMPY"
PARQUET_MAGIC = b"PAR1"


class Block(Protocol):
    @property
    def start(self) -> int: ...  # input row of the block's first vector

    def read(self) -> tuple[np.ndarray, np.ndarray]:
        """(ids, vectors): one id per row and a C-contiguous float matrix."""
        ...


@dataclass(frozen=True)
class Source:
    description: str
    count: int  # rows
    dim: int
    ids_are_text: bool
    blocks: list[Block]
    ids_are_unsigned: bool = False  # uint64 ids: kept as such, 2^63 and above included

    @property
    def id_dtype(self) -> np.dtype[Any]:
        return np.dtype(object if self.ids_are_text else np.uint64 if self.ids_are_unsigned else np.int64)


@dataclass(frozen=True)
class ArrayBlock:
    start: int
    vectors: np.ndarray

    def read(self) -> tuple[np.ndarray, np.ndarray]:
        return np.arange(self.start, self.start + len(self.vectors), dtype=np.int64), self.vectors


@dataclass(frozen=True)
class NpyBlock:
    path: str
    start: int
    stop: int

    def read(self) -> tuple[np.ndarray, np.ndarray]:
        with reading(self.path):
            mapped = np.load(self.path, mmap_mode="r")
        # A copy in native byte order and C order: the module reads such rows
        # straight from memory, any other layout only through iteration.
        rows = np.ascontiguousarray(mapped[self.start:self.stop], dtype=mapped.dtype.newbyteorder("="))
        return np.arange(self.start, self.stop, dtype=np.int64), rows


@dataclass(frozen=True)
class ParquetBlock:
    """Whole row groups, or rows [skip, skip + take) of one row group too large for a block."""
    path: str
    row_groups: tuple[int, ...]
    start: int
    id_column: str
    vector_column: str
    dim: int
    skip: int = 0
    take: int = -1  # -1: the whole row groups

    def read(self) -> tuple[np.ndarray, np.ndarray]:
        columns = [self.id_column, self.vector_column]
        with reading(self.path):
            if self.take < 0:
                pq = load("pyarrow.parquet")
                table = pq.ParquetFile(self.path).read_row_groups(list(self.row_groups), columns=columns)
            else:
                table = _stream(self.path, self.row_groups[0], columns, self.skip, self.take)
        ids = id_values(table.column(self.id_column))
        return ids, list_matrix(table.column(self.vector_column), self.start, self.dim)


# Parquet can't seek to a row inside a row group: a reader decodes from the
# group's start. The stream that read one range is kept for the next, so a
# process reading a large group's ranges in order decodes each row once.
_streams: dict[tuple[str, int, tuple[str, ...]], tuple[int, Any, list[Any]]] = {}


def _stream(path: str, group: int, columns: list[str], skip: int, take: int) -> Any:
    pa, pq = load("pyarrow"), load("pyarrow.parquet")
    key = (path, group, tuple(columns))
    state = _streams.pop(key, None)
    _streams.clear()  # one open stream at most
    if state is None or state[0] > skip:
        state = (0, pq.ParquetFile(path).iter_batches(batch_size=take, row_groups=[group], columns=columns), [])
    position, batches, pending = state  # `pending` batches start at `position`, then `batches` go on
    end, collected = skip + take, []
    for batch in itertools.chain(pending, batches):
        first, position = position, position + batch.num_rows
        if position <= skip:
            continue
        low, high = max(skip - first, 0), min(end - first, batch.num_rows)
        collected.append(batch.slice(low, high - low))
        if position >= end:
            _streams[key] = (end, batches, [batch.slice(high)] if high < batch.num_rows else [])
            break
    schema = pq.ParquetFile(path).schema_arrow
    return pa.Table.from_batches(collected, pa.schema([schema.field(c) for c in columns]))


def generated(vectors: np.ndarray, block_rows: int) -> Source:
    blocks: list[Block] = [ArrayBlock(s, vectors[s:s + block_rows]) for s in range(0, len(vectors), block_rows)]
    return Source("generated corpus", len(vectors), vectors.shape[1], False, blocks)


@contextmanager
def reading(path: str) -> Iterator[None]:
    """A file that can't be read becomes one line naming it, and the Dask
    worker that tried when it was one."""
    try:
        yield
    except OSError as exc:
        # (pyarrow puts its own sentence in strerror; the errno's text is the telling part)
        reason = os.strerror(exc.errno) if exc.errno else str(exc)
        raise InputError(f"{_reader()}cannot read {path} ({reason})") from None


def _reader() -> str:
    distributed = sys.modules.get("distributed")
    if distributed is not None:
        try:
            return f"Dask worker {distributed.get_worker().address} "
        except ValueError:  # not inside a worker
            pass
    return ""


def open_source(path: str, id_column: str | None, vector_column: str | None, block_rows: int) -> Source:
    if not os.path.exists(path):
        raise InputError(f"no such file: {path}")
    if os.path.isdir(path):
        raise InputError(f"{path} is a directory, not a .npy or Parquet file")
    with reading(path), open(path, "rb") as f:
        magic = f.read(8)
    if magic.startswith(NPY_MAGIC):
        if id_column is not None or vector_column is not None:
            raise InputError("--id-column and --vector-column apply to Parquet input only")
        return _open_npy(path, block_rows)
    if magic.startswith(PARQUET_MAGIC):
        return _open_parquet(path, id_column or "id", vector_column or "vector", block_rows)
    raise InputError(f"{path} is neither a .npy file nor a Parquet file")


def _open_npy(path: str, block_rows: int) -> Source:
    try:
        # A header declaring an absurd shape overflows NumPy's size
        # arithmetic, which warns before it raises: the error says it all.
        with np.errstate(all="ignore"):
            mapped = np.load(path, mmap_mode="r")
    except (ValueError, OSError, EOFError) as exc:
        raise InputError(f"{path}: cannot be memory-mapped as a .npy array ({exc})") from None
    if mapped.dtype.kind != "f" or mapped.dtype.itemsize not in (4, 8):
        raise InputError(f"{path} holds {mapped.dtype} values; expected float32 or float64")
    if mapped.ndim != 2:
        raise InputError(f"{path} has shape {mapped.shape}; expected 2 dimensions (one row per vector)")
    count, dim = mapped.shape
    if count == 0:
        raise InputError(f"{path} holds no vectors (shape {mapped.shape})")
    if dim == 0:
        raise InputError(f"{path} holds empty vectors (shape {mapped.shape})")
    where = os.path.abspath(path)
    blocks: list[Block] = [NpyBlock(where, s, min(s + block_rows, count)) for s in range(0, count, block_rows)]
    return Source(f"{path} (.npy, {mapped.dtype.name} vectors)", count, dim, False, blocks)


def _open_parquet(path: str, id_column: str, vector_column: str, block_rows: int) -> Source:
    pa, pq = load("pyarrow"), load("pyarrow.parquet")
    try:
        file = pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as exc:
        raise InputError(f"{path}: not a readable Parquet file ({exc})") from None
    schema = file.schema_arrow
    for role, name in (("id", id_column), ("vector", vector_column)):
        if schema.get_field_index(name) < 0:
            raise InputError(f"{path} has no {role} column {name!r} (columns: {', '.join(schema.names)})")
    vector_type = schema.field(vector_column).type
    if not (pa.types.is_list(vector_type) or pa.types.is_large_list(vector_type) or pa.types.is_fixed_size_list(vector_type)) \
            or vector_type.value_type not in (pa.float32(), pa.float64()):
        raise InputError(f"column {vector_column!r} holds {vector_type}; expected a list of float32 or float64")
    id_type = schema.field(id_column).type
    ids_are_text = pa.types.is_string(id_type) or pa.types.is_large_string(id_type)
    if not (ids_are_text or pa.types.is_integer(id_type)):
        raise InputError(f"id column {id_column!r} holds {id_type}; expected integers or strings")
    count = file.metadata.num_rows
    if count == 0:
        raise InputError(f"{path} holds no rows")
    _check_ids(pq.read_table(path, columns=[id_column]).column(0), id_column)
    first = next(file.iter_batches(batch_size=1, columns=[vector_column])).column(0)
    if not first.is_valid()[0].as_py():
        raise InputError("row 0: the vector is missing (null)")
    dim = len(first[0].values)
    if dim == 0:
        raise InputError("row 0: empty vector")
    where = os.path.abspath(path)
    blocks: list[Block] = []
    group: list[int] = []
    start = rows = 0
    for index in range(file.num_row_groups):
        size = file.metadata.row_group(index).num_rows
        if size > block_rows:  # a large group alone, in ranges of block_rows
            if group:
                blocks.append(ParquetBlock(where, tuple(group), start, id_column, vector_column, dim))
                group, start = [], rows
            for skip in range(0, size, block_rows):
                blocks.append(ParquetBlock(where, (index,), rows + skip, id_column, vector_column, dim, skip, block_rows))
            rows += size
            start = rows
            continue
        group.append(index)
        rows += size
        if rows - start >= block_rows or index == file.num_row_groups - 1:
            blocks.append(ParquetBlock(where, tuple(group), start, id_column, vector_column, dim))
            group, start = [], rows
    if group:
        blocks.append(ParquetBlock(where, tuple(group), start, id_column, vector_column, dim))
    value_type = np.dtype(vector_type.value_type.to_pandas_dtype()).name
    return Source(f"{path} (Parquet, {value_type} vectors)", count, dim, ids_are_text, blocks, id_type == pa.uint64())


def _check_ids(ids: Any, name: str) -> None:
    pc = load("pyarrow.compute")
    if ids.null_count:
        row = pc.index(pc.is_null(ids), True).as_py()
        raise InputError(f"id column {name!r} has no value at row {row}")
    counts = pc.value_counts(ids)
    repeated = counts.filter(pc.greater(counts.field("counts"), 1))
    if len(repeated):
        raise InputError(f"id column {name!r} holds {repeated[0]['values'].as_py()!r} more than once; ids must be unique")


def id_values(column: Any) -> np.ndarray:
    pa = load("pyarrow")
    if column.type == pa.uint64():
        return np.asarray(column.to_numpy(), dtype=np.uint64)
    if pa.types.is_integer(column.type):
        return np.asarray(column.cast(pa.int64()).to_numpy(), dtype=np.int64)
    return np.array(column.to_pylist(), dtype=object)


def list_matrix(column: Any, start: int, dim: int) -> np.ndarray:
    """A list-of-floats column as a (rows, dim) matrix; missing, empty or ragged rows are errors."""
    pc = load("pyarrow.compute")
    lists = column.combine_chunks()
    if lists.null_count:
        raise InputError(f"row {start + pc.index(pc.is_null(lists), True).as_py()}: the vector is missing (null)")
    lengths = pc.list_value_length(lists).to_numpy(zero_copy_only=False)
    wrong = np.flatnonzero(lengths != dim)
    if len(wrong):
        row, length = start + int(wrong[0]), int(lengths[wrong[0]])
        if length == 0:
            raise InputError(f"row {row}: empty vector")
        raise InputError(f"row {row}: vector of length {length}, but row 0 has length {dim} (ragged lists)")
    values = lists.flatten()
    if values.null_count:
        position = pc.index(pc.is_null(values), True).as_py()
        raise InputError(f"row {start + position // dim}: the vector has a missing (null) element")
    return np.ascontiguousarray(values.to_numpy(zero_copy_only=False).reshape(len(lengths), dim))
