"""The --out folder: both result files change together or not at all.

Two files renamed one after the other can't be replaced together: a run
killed between the renames would leave a new pairs.parquet beside an old
duplicates.parquet. So a run writes both into a hidden sibling folder,
".<name>.near-dup-<random>", and then swaps the two folders in one step
(renameat2 with RENAME_EXCHANGE on Linux): at every moment --out holds the
earlier run's two files or this run's two. The earlier files, now in the
sibling, are deleted afterwards. Because the whole folder is swapped, --out
may hold nothing but the job's own files; anything else would be swapped
away, so such a folder is refused before any work.

A run killed before it finishes leaves its sibling behind; the next run for
the same --out removes it at start. Each live run holds a lock on its own
sibling, so it is never mistaken for a stale one.

Where the exchange is missing (another system, or a file system without it),
the earlier folder is renamed aside and the new one put in its place: a run
killed between those two renames leaves no --out, and the next start puts
the earlier folder back.

Each file carries the run's id in its Parquet metadata, "near_dup.run_id":
the SHA-256 of both files' rows and of the pairs file's metadata, so files
with the same id belong together, and runs that find the same results (one
process or Dask) write the same bytes.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import hashlib
import os
import sys
import tempfile
from typing import Any

import numpy as np

from .errors import InputError
from .libs import load

FILES = ("pairs.parquet", "duplicates.parquet")
TAG = ".near-dup-"  # the siblings are "." + name + TAG + random
AT_FDCWD, RENAME_EXCHANGE = -100, 2
RUN_ID = b"near_dup.run_id"


class ResultFolder:
    """The --out folder of one run: prepared at start, swapped in by `commit`."""

    def __init__(self, out: str) -> None:
        self.out = out  # as the user wrote it, for messages
        self.target = os.path.realpath(out)  # a link to a folder: the folder is swapped, the link stays
        self.parent, name = os.path.split(self.target)
        self.prefix = f".{name}{TAG}"
        self.committed = False
        _check_target(out, self.target)
        # Known before the work is spent, not after: the sibling goes beside
        # --out, and the earlier files are deleted from inside it.
        try:
            os.makedirs(self.parent, exist_ok=True)
            _writable(out, self.parent, f" its folder {self.parent}")
            self._clean_stale()
            os.makedirs(self.target, exist_ok=True)
            _writable(out, self.target, "")
            _check_contents(out, self.target)
            self.work = tempfile.mkdtemp(prefix=self.prefix, dir=self.parent)
        except OSError as exc:
            raise InputError(f"--out {out}: {exc.strerror}") from None
        self._lock = os.open(self.work, os.O_RDONLY)
        fcntl.flock(self._lock, fcntl.LOCK_EX)

    def commit(self, tables: dict[str, Any]) -> str:
        """Writes the tables (one per name of FILES) and swaps them into --out; returns the run id."""
        pq = load("pyarrow.parquet")
        run_id = _run_id([tables[name] for name in FILES])
        try:
            for name in FILES:
                table = tables[name]
                table = table.replace_schema_metadata({**(table.schema.metadata or {}), RUN_ID: run_id})
                with open(os.path.join(self.work, name), "wb") as f:
                    pq.write_table(table, f)
                    f.flush()
                    os.fsync(f.fileno())
            os.chmod(self.work, os.stat(self.target).st_mode & 0o7777)  # mkdtemp's 0700 would hide them
            _fsync(self.work)
            earlier = self._swap()
            self.committed = True
            _fsync(self.parent)
        except OSError as exc:
            raise InputError(f"--out {self.out}: cannot write the results ({exc.strerror})") from None
        _remove(earlier)
        return run_id.decode()

    def close(self) -> None:
        """Releases the lock; an uncommitted sibling goes."""
        if self._lock >= 0:
            os.close(self._lock)
            self._lock = -1
            if not self.committed:
                _remove(self.work)

    def _swap(self) -> str:
        """Puts the new folder in place; returns where the earlier one went."""
        if _exchange(self.work, self.target):
            return self.work
        aside = tempfile.mkdtemp(prefix=self.prefix + "old-", dir=self.parent)
        os.rename(self.target, aside)  # (an empty folder is replaced)
        os.rename(self.work, self.target)
        return aside

    def _clean_stale(self) -> None:
        """Removes what killed runs left: their siblings, and after a run killed
        between the fallback's two renames, puts the earlier folder back."""
        for entry in sorted(os.listdir(self.parent)):
            if not entry.startswith(self.prefix):
                continue
            path = os.path.join(self.parent, entry)
            if entry.startswith(self.prefix + "old-") and not os.path.exists(self.target):
                os.rename(path, self.target)
            elif _unlocked(path):
                _remove(path)


def _check_target(out: str, target: str) -> None:
    if os.path.exists(target) and not os.path.isdir(target):
        raise InputError(f"--out {out} exists and is not a folder")
    if os.path.ismount(target):
        raise InputError(f"--out {out} is a mount point, which can't be swapped; name a folder inside it")
    here = os.path.realpath(os.getcwd())
    if os.path.commonpath([here, target]) == target:
        raise InputError(f"--out {out} is the current folder or holds it; name a folder of its own")


def _writable(out: str, folder: str, what: str) -> None:
    if not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"--out {out}: cannot write{what} there ({os.strerror(errno.EACCES)})")


def _check_contents(out: str, target: str) -> None:
    others = []
    for entry in sorted(os.listdir(target)):
        path = os.path.join(target, entry)
        if entry in FILES and os.path.isdir(path) and not os.path.islink(path):
            raise InputError(f"--out {out} holds a folder named {entry}, where the job's file goes")
        if not _own(entry) or os.path.islink(path) or not os.path.isfile(path):
            others.append(entry)
    if others:
        shown = ", ".join(others[:5]) + (", ..." if len(others) > 5 else "")
        raise InputError(f"--out {out} holds more than the job's files ({shown}); results replace the whole "
                         "folder, so name a new folder or one holding only pairs.parquet and duplicates.parquet")


def _own(entry: str) -> bool:
    """The job's files, and the temporary files of its former writer, which
    renamed each file into place on its own."""
    return entry in FILES or any(entry.startswith(f".{name}.") and entry.endswith(".tmp") for name in FILES)


def _remove(folder: str) -> None:
    """Removes a folder of the job's: its files, then the folder. Anything
    else that appeared in it meanwhile stays, with the folder, and is named."""
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return
    for entry in entries:
        if _own(entry):
            try:
                os.unlink(os.path.join(folder, entry))
            except FileNotFoundError:
                pass
    try:
        os.rmdir(folder)
    except FileNotFoundError:
        pass
    except OSError:
        print(f"note: {folder} holds files the job did not write, so it was left in place", file=sys.stderr)


def _unlocked(folder: str) -> bool:
    """True when no live run holds the folder (its run was killed)."""
    try:
        handle = os.open(folder, os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except OSError:
        return False
    finally:
        os.close(handle)


def _exchange(a: str, b: str) -> bool:
    """Swaps two paths in one step; False where the system can't."""
    renameat2 = getattr(_libc(), "renameat2", None)
    if renameat2 is None:
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    if renameat2(AT_FDCWD, os.fsencode(a), AT_FDCWD, os.fsencode(b), RENAME_EXCHANGE) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):  # a kernel or file system without it
        return False
    raise OSError(error, os.strerror(error), b)


def _libc() -> Any:
    if not sys.platform.startswith("linux"):
        return None
    return ctypes.CDLL(None, use_errno=True)


def _fsync(folder: str) -> None:
    handle = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def _run_id(tables: list[Any]) -> bytes:
    pa = load("pyarrow")
    digest = hashlib.sha256()
    for table in tables:
        digest.update(repr(sorted((table.schema.metadata or {}).items())).encode())
        for name, column in zip(table.column_names, table.columns):
            digest.update(f"{name}:{column.type}:{len(column)}\n".encode())
            if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
                for text in column.to_pylist():
                    encoded = text.encode()
                    digest.update(len(encoded).to_bytes(8, "little") + encoded)
            else:
                digest.update(np.ascontiguousarray(column.to_numpy()).tobytes())
    return digest.hexdigest()[:32].encode()
