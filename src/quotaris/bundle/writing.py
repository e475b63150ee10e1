"""Writing a bundle: validate, write into hidden scratch, move into place.

The bundle is written into a hidden scratch directory beside the destination
(see :mod:`quotaris.scratch`) and renamed into place at the end, so a failure
never leaves a half-written bundle, and the scratch of a writer that was
killed is removed by the next write.  Where two directories cannot be
exchanged in one step, replacing a bundle takes two renames; a writer killed
between them leaves the old bundle in a hidden ``.replaced`` directory, which
the next write or open puts back
(:func:`~quotaris.bundle.places.recover_replaced`).  Other writers of
whole directories use the same steps (:func:`replace_directory`).
"""

from __future__ import annotations

import ctypes
import datetime
import errno
import hashlib
import json
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from quotaris.bundle.files import FORMAT_VERSION, IDS_KEY, MANIFEST_NAME, file_name
from quotaris.bundle.places import (
    REPLACED_SUFFIX,
    STAGING_SUFFIX,
    forget,
    fsync_directory,
    recover_replaced,
    scratch_prefix,
)
from quotaris.scratch import scratch_directory, sibling
from quotaris.served import DAILY_TABLES, date_column_of, given_long_tables, long_arrow
from quotaris.source import BundleError
from quotaris.tables import BundleTables
from quotaris.validate import INSTRUMENT_TYPES, day_text, session_days, validate_tables
from quotaris.version import __version__

__all__ = [
    # Defined in quotaris.bundle.places; offered here too, beside replace_directory,
    # to the writers of other directories that replace them the same way.
    "REPLACED_SUFFIX",
    "STAGING_SUFFIX",
    "check_destination",
    "recover_replaced",
    "replace_directory",
    "scratch_prefix",
    "write_bundle",
]


def write_bundle(path, tables: BundleTables, *, overwrite: bool = False) -> Path:
    """Validate ``tables`` and store them as a bundle at ``path``; return the path.

    The bundle is written into a hidden sibling directory and renamed into
    place at the end, so a failure never leaves a half-written bundle.  An
    existing bundle is replaced only with ``overwrite=True`` (atomically where
    the system can exchange two directories); a directory that is not a
    bundle is never replaced, except an empty one.
    """
    checked, matrices = validate_tables(tables)
    destination = Path(os.path.abspath(os.fspath(path)))
    try:
        recover_replaced(destination)
    except OSError as exc:
        raise BundleError(f"cannot write bundle {destination}: {exc}") from exc
    check_destination(destination, overwrite)
    try:
        destination.parent.mkdir(parents=True, exist_ok=True)
        scratch = scratch_directory(destination.parent, scratch_prefix(destination), STAGING_SUFFIX)
        with scratch as staging:
            _write_contents(staging, checked, matrices)
            _move_into_place(staging, destination, overwrite)
    except OSError as exc:
        raise BundleError(f"cannot write bundle {destination}: {exc}") from exc
    forget(destination)
    return destination


def check_destination(destination: Path, overwrite: bool) -> None:
    """Refuse to write a bundle at ``destination`` unless it is free or may be replaced.

    Free is a missing path or an empty directory; only a bundle is replaced,
    and only with ``overwrite``.
    """
    if not os.path.lexists(destination):
        return
    if destination.is_dir() and not any(destination.iterdir()):
        return
    if not overwrite:
        raise BundleError(f"{destination} already exists; pass overwrite=True to replace it")
    if not (destination.is_dir() and (destination / MANIFEST_NAME).is_file()):
        raise BundleError(
            f"{destination} exists and is not a bundle (no {MANIFEST_NAME}); refusing to replace it"
        )


def replace_directory(staging: Path, destination: Path, prefix: str) -> None:
    """Put the finished scratch directory ``staging`` in place of the directory ``destination``.

    One exchange where the system has it; else two renames, the old directory
    waiting between them in a ``.replaced`` sibling of ``staging`` (same owner,
    see :mod:`quotaris.scratch`) that :func:`recover_replaced` puts back if
    the writer is killed there.  ``prefix`` is ``staging``'s scratch prefix.
    """
    if _exchange_directories(staging, destination):
        shutil.rmtree(staging, ignore_errors=True)  # now holds the replaced directory
        return
    replaced = sibling(staging, prefix, REPLACED_SUFFIX)
    os.rename(destination, replaced)
    try:
        os.rename(staging, destination)
    except BaseException:
        os.rename(replaced, destination)
        raise
    shutil.rmtree(replaced, ignore_errors=True)


def _tool_version() -> str:
    return f"quotaris {__version__}"


def _write_contents(staging: Path, tables: BundleTables, matrices: dict[str, np.ndarray]) -> None:
    days = session_days(tables.trading_dates)
    arrow_tables = {
        "instruments": pa.Table.from_pandas(tables.instruments, preserve_index=False),
        "trading_dates": pa.table({"date": pa.array(days.astype("datetime64[D]"), pa.date32())}),
    }
    for name, values in matrices.items():
        ids = [str(column) for column in getattr(tables, name).columns]
        arrow_tables[name] = _daily_arrow(name, days, ids, values)
    for name, frame in given_long_tables(tables).items():
        arrow_tables[name] = long_arrow(frame, date_column_of(name))
    files = {}
    for name, table in arrow_tables.items():
        target = staging / file_name(name)
        if name in DAILY_TABLES:
            pq.write_table(
                table,
                target,
                compression="snappy",
                use_dictionary=["date", "order_book_id"],
                write_statistics=False,
            )
        else:
            pq.write_table(table, target, compression="zstd")
        with open(target, "rb") as written:
            digest = hashlib.file_digest(written, "sha256").hexdigest()
            os.fsync(written.fileno())
        files[target.name] = {
            "rows": table.num_rows,
            "columns": table.num_columns,
            "bytes": target.stat().st_size,
            "sha256": digest,
        }
    types = tables.instruments["type"].value_counts()
    manifest = {
        "format_version": FORMAT_VERSION,
        "calendar": tables.calendar,
        "start_date": day_text(days[0]),
        "end_date": day_text(days[-1]),
        "trading_days": len(days),
        "instruments": {kind: int(types.get(kind, 0)) for kind in INSTRUMENT_TYPES},
        "created_by": _tool_version(),
        "created_at": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "files": files,
    }
    with open(staging / MANIFEST_NAME, "w", encoding="utf-8") as out:
        json.dump(manifest, out, indent=2, ensure_ascii=False)
        out.write("\n")
        out.flush()
        os.fsync(out.fileno())
    fsync_directory(staging)


def _daily_arrow(name: str, days: np.ndarray, ids: list[str], values: np.ndarray) -> pa.Table:
    """A daily table in long form, every identifier's trading days in a block.

    Each identifier holds one value (or NaN) per trading day, in the order of
    the schema's identifier list, so a reader turns the value column into a
    days-by-identifiers matrix without moving a number.
    """
    count = len(ids)
    identifiers = pa.DictionaryArray.from_arrays(
        pa.array(np.repeat(np.arange(count, dtype=np.int32), len(days))), pa.array(ids, pa.string())
    )
    table = pa.table(
        {
            "date": pa.array(np.tile(days, count).astype("datetime64[D]"), pa.date32()),
            "order_book_id": identifiers,
            name: pa.array(np.asfortranarray(values).ravel(order="F")),
        }
    )
    return table.replace_schema_metadata({IDS_KEY: json.dumps(ids)})


def _move_into_place(staging: Path, destination: Path, overwrite: bool) -> None:
    if not os.path.lexists(destination) or not any(destination.iterdir()):
        # Renaming onto a missing path or an empty directory is atomic.
        try:
            os.rename(staging, destination)
        except OSError as exc:
            if exc.errno in (errno.EEXIST, errno.ENOTEMPTY):
                raise BundleError(
                    f"{destination} appeared while the bundle was being written"
                ) from exc
            raise
    else:
        check_destination(destination, overwrite)
        replace_directory(staging, destination, scratch_prefix(destination))
    fsync_directory(destination.parent)


def _exchange_directories(first: Path, second: Path) -> bool:
    """Swap two directories in one step (Linux renameat2); False where unsupported."""
    if not sys.platform.startswith("linux"):
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = getattr(libc, "renameat2", None)
    if renameat2 is None:
        return False
    at_fdcwd, rename_exchange = -100, 2
    renameat2.argtypes = [
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_uint,
    ]
    status = renameat2(at_fdcwd, os.fsencode(first), at_fdcwd, os.fsencode(second), rename_exchange)
    if status == 0:
        return True
    failure = ctypes.get_errno()
    if failure in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP):
        return False
    raise OSError(failure, os.strerror(failure), os.fspath(second))
