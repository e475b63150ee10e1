"""The files of a bundle: their names, the manifest, verification and decoding.

Opening a bundle reads every file once, checks its size and SHA-256 digest
against the manifest and its Parquet footer against the recorded shape, so a
missing, truncated or corrupt file is refused when the bundle is opened.  The
verified bytes are kept, and each table is decoded from them when it is first
asked for: what is served is exactly what was verified.  There is no "already
verified" shortcut keyed on size and modification time: such a record cannot
notice bit rot or a copy that keeps the old times, and would then serve
corrupt numbers silently.
"""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from quotaris.served import DAILY_TABLES, LONG_TABLES, column_days, column_numbers, signal_of
from quotaris.source import BundleError

__all__ = [
    "COLUMNS_READ",
    "FORMAT_VERSION",
    "IDS_KEY",
    "KNOWN_TABLES",
    "MANIFEST_NAME",
    "Directory",
    "check_size",
    "decode_daily",
    "decode_trading_dates",
    "file_name",
    "read_manifest",
    "stamp",
    "unlisted_files",
    "verify",
]

#: Version of the on-disk layout this package writes and reads.
FORMAT_VERSION = 1

MANIFEST_NAME = "manifest.json"

_REQUIRED_TABLES = ("instruments", "trading_dates", "price_change_rate")
#: The tables of fixed names; signal tables are named after their signals (see signal_of).
KNOWN_TABLES = ("instruments", "trading_dates", *DAILY_TABLES, *LONG_TABLES)
#: The columns opening a bundle reads of a daily table: its values alone.
COLUMNS_READ = {name: [name] for name in DAILY_TABLES}
#: Schema metadata of a daily table: its identifiers, in the order of the value blocks.
IDS_KEY = b"order_book_ids"


def file_name(table: str) -> str:
    return f"{table}.parquet"


class Directory:
    """A bundle directory held open, so that every file is read from the same directory
    even if the bundle is replaced while it is being opened."""

    def __init__(self, root: Path):
        self.root = root
        self._descriptor = None
        if os.open in os.supports_dir_fd:
            try:
                self._descriptor = os.open(root, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
            except FileNotFoundError:
                raise BundleError(f"{root}: no such bundle directory") from None
            except OSError as exc:
                raise BundleError(f"{root}: cannot open the bundle: {exc}") from None
        elif not root.is_dir():
            raise BundleError(f"{root}: no such bundle directory")

    def close(self) -> None:
        if self._descriptor is not None:
            os.close(self._descriptor)

    def _open(self, name: str) -> int:
        if self._descriptor is None:
            return os.open(self.root / name, os.O_RDONLY | getattr(os, "O_BINARY", 0))
        return os.open(name, os.O_RDONLY, dir_fd=self._descriptor)

    def stat(self, name: str) -> os.stat_result:
        if self._descriptor is None:
            return os.stat(self.root / name)
        return os.stat(name, dir_fd=self._descriptor)

    def read(self, name: str) -> bytes:
        descriptor = self._open(name)
        with os.fdopen(descriptor, "rb") as stream:
            return stream.read()

    def names(self) -> list[str]:
        if self._descriptor is None or os.listdir not in os.supports_fd:
            return os.listdir(self.root)
        return os.listdir(self._descriptor)


def stamp(directory: Directory) -> tuple:
    """What changes when the bundle is rewritten: the manifest's identity and times."""
    try:
        status = directory.stat(MANIFEST_NAME)
    except FileNotFoundError:
        raise BundleError(f"{directory.root / MANIFEST_NAME}: missing; not a bundle") from None
    except OSError as exc:
        raise BundleError(f"{directory.root / MANIFEST_NAME}: unreadable: {exc}") from None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def read_manifest(directory: Directory) -> dict:
    path = directory.root / MANIFEST_NAME
    try:
        manifest = json.loads(directory.read(MANIFEST_NAME).decode("utf-8"))
    except FileNotFoundError:
        raise BundleError(f"{path}: missing; not a bundle") from None
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise BundleError(f"{path}: unreadable: {exc}") from None
    if not isinstance(manifest, dict):
        raise BundleError(f"{path}: malformed: expected a JSON object")
    version = manifest.get("format_version")
    if not isinstance(version, int) or isinstance(version, bool):
        raise BundleError(f"{path}: malformed: no format_version")
    if version != FORMAT_VERSION:
        newer = " (written by a newer version)" if version > FORMAT_VERSION else ""
        raise BundleError(
            f"{path}: bundle format version {version}{newer} cannot be read; "
            f"this version reads format {FORMAT_VERSION}"
        )
    trading_days = manifest.get("trading_days")
    if not isinstance(trading_days, int) or trading_days < 1:
        raise BundleError(f"{path}: malformed: no count of trading days")
    files = manifest.get("files")
    if not isinstance(files, dict):
        raise BundleError(f"{path}: malformed: no list of files")
    for name, entry in files.items():
        table = Path(name).stem
        known = table in KNOWN_TABLES or signal_of(table) is not None
        if not known or name != file_name(table):
            raise BundleError(f"{path}: malformed: unexpected file {name!r}")
        fields_ok = isinstance(entry, dict) and all(
            isinstance(entry.get(key), int) for key in ("rows", "columns", "bytes")
        )
        if not fields_ok or not isinstance(entry.get("sha256"), str):
            raise BundleError(f"{path}: malformed: incomplete entry for {name!r}")
    for table in _REQUIRED_TABLES:
        if file_name(table) not in files:
            raise BundleError(f"{path}: malformed: {file_name(table)} is not listed")
    return manifest


def unlisted_files(directory: Directory, manifest: dict) -> list[str]:
    """Entries of the bundle directory that the manifest does not list, sorted."""
    listed = {MANIFEST_NAME, *manifest["files"]}
    return sorted(name for name in directory.names() if name not in listed)


def check_size(directory: Directory, name: str, entry: dict) -> None:
    path = directory.root / name
    try:
        size = directory.stat(name).st_size
    except FileNotFoundError:
        raise BundleError(f"{path}: missing") from None
    except OSError as exc:
        raise BundleError(f"{path}: unreadable: {exc}") from None
    if size != entry["bytes"]:
        raise BundleError(
            f"{path}: {size} bytes, but the manifest records {entry['bytes']}: "
            "the file is truncated or was changed"
        )


def verify(directory: Directory, name: str, entry: dict) -> pq.ParquetFile:
    """Read a file, check it against its manifest entry, and open it as Parquet.

    The reader holds the verified bytes, so whatever is decoded later is
    exactly what was checked here.
    """
    path = directory.root / name
    try:
        data = directory.read(name)
    except OSError as exc:
        raise BundleError(f"{path}: unreadable: {exc}") from None
    if len(data) != entry["bytes"]:
        raise BundleError(f"{path}: changed while the bundle was being opened")
    if hashlib.sha256(data).hexdigest() != entry["sha256"]:
        raise BundleError(f"{path}: checksum mismatch: the file is corrupt or was changed")
    try:
        reader = pq.ParquetFile(pa.BufferReader(data))
    except (pa.ArrowException, OSError) as exc:
        raise BundleError(f"{path}: unreadable Parquet: {exc}") from None
    shape = (reader.metadata.num_rows, reader.metadata.num_columns)
    if shape != (entry["rows"], entry["columns"]):
        raise BundleError(
            f"{path}: {shape[0]} rows by {shape[1]} columns, but the manifest "
            f"records {entry['rows']} by {entry['columns']}"
        )
    return reader


def decode_trading_dates(table: pa.Table) -> np.ndarray:
    days = column_days(table.column("date"))
    if len(days) == 0 or (np.diff(days) <= 0).any():
        raise ValueError("trading dates must be ascending and distinct")
    return days


def decode_daily(table: pa.Table, trading_days: int) -> tuple[np.ndarray, np.ndarray]:
    """Identifiers and the days-by-identifiers matrix of a daily table.

    Only the value column is read: the writer lays the rows out identifier by
    identifier, each over all trading days, and the checksum vouches for it.
    """
    ids = json.loads(table.schema.metadata[IDS_KEY])
    if table.num_rows != len(ids) * trading_days:
        raise ValueError(f"{table.num_rows} rows for {len(ids)} identifiers")
    values = column_numbers(table.column(0)).reshape(len(ids), trading_days).T
    return np.array(ids, dtype=object), values
