"""Data bundles: one market's tables as Parquet files in a directory.

A bundle holds data only: Parquet files and a JSON manifest, so opening one
never runs code.  The manifest records the format version, the calendar and
date range, and for every file its row and column counts, byte size and
SHA-256 digest.

Opening a bundle reads every file once, checks its size and SHA-256 digest
against the manifest and its Parquet footer against the recorded shape, so a
missing, truncated or corrupt file is refused when the bundle is opened.  The
verified bytes are kept, and each table is decoded from them when it is first
asked for: what is served is exactly what was verified, and opening costs
little more than reading and hashing.  There is no "already verified"
shortcut keyed on size and modification time: such a record cannot notice bit
rot or a copy that keeps the old times, and would then serve corrupt numbers
silently.

An opened bundle is cached per resolved path for the life of the process; a
bundle that was rewritten since (its manifest changed) is opened afresh.
"""

from __future__ import annotations

import copy
import ctypes
import dataclasses
import datetime
import errno
import hashlib
import json
import os
import shutil
import sys
import threading
import uuid
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from quotaris.source import BundleError, DataSource, Instrument, MissingData
from quotaris.tables import BundleTables
from quotaris.validate import INSTRUMENT_TYPES, day_text, session_days, validate_tables

__all__ = ["FORMAT_VERSION", "MANIFEST_NAME", "BundleSource", "write_bundle"]

#: Version of the on-disk layout this module writes and reads.
FORMAT_VERSION = 1

MANIFEST_NAME = "manifest.json"

_DAILY_TABLES = ("price_change_rate", "market_cap_total", "market_cap_float", "turnover")
_LONG_TABLES = ("index_weights", "industry", "fundamentals", "style_exposure")
_REQUIRED_TABLES = ("instruments", "trading_dates", "price_change_rate")
_KNOWN_TABLES = ("instruments", "trading_dates", *_DAILY_TABLES, *_LONG_TABLES)
_MARKET_CAP_TABLES = {"total": "market_cap_total", "float": "market_cap_float"}
_DATE_COLUMNS = {
    "index_weights": "date",
    "industry": "start_date",
    "fundamentals": "announce_date",
    "style_exposure": "date",
}
_SHOWN_IDS = 10
#: The columns opening a bundle reads of a daily table: its values alone.
_COLUMNS_READ = {name: [name] for name in _DAILY_TABLES}
_IDS_KEY = b"order_book_ids"


def _file_name(table: str) -> str:
    return f"{table}.parquet"


def _tool_version() -> str:
    try:
        return f"quotaris (plovera {metadata.version('plovera')})"
    except metadata.PackageNotFoundError:
        return "quotaris (plovera, version unknown: not installed)"


# --------------------------------------------------------------------------- writing


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
    _check_destination(destination, overwrite)
    try:
        destination.parent.mkdir(parents=True, exist_ok=True)
        # A fresh hidden sibling, created with the usual permissions (unlike mkdtemp's).
        staging = destination.with_name(f".{destination.name}.{uuid.uuid4().hex}.partial")
        staging.mkdir()
    except OSError as exc:
        raise BundleError(f"cannot write bundle {destination}: {exc}") from exc
    try:
        _write_contents(staging, checked, matrices)
        _move_into_place(staging, destination, overwrite)
    except BaseException as exc:
        shutil.rmtree(staging, ignore_errors=True)
        if isinstance(exc, OSError):
            raise BundleError(f"cannot write bundle {destination}: {exc}") from exc
        raise
    with _CACHE_LOCK:
        _OPEN_SOURCES.pop(destination.resolve(), None)
    return destination


def _check_destination(destination: Path, overwrite: bool) -> None:
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


def _write_contents(staging: Path, tables: BundleTables, matrices: dict[str, np.ndarray]) -> None:
    days = session_days(tables.trading_dates)
    arrow_tables = {
        "instruments": pa.Table.from_pandas(tables.instruments, preserve_index=False),
        "trading_dates": pa.table({"date": pa.array(days.astype("datetime64[D]"), pa.date32())}),
    }
    for name, values in matrices.items():
        ids = [str(column) for column in getattr(tables, name).columns]
        arrow_tables[name] = _daily_arrow(name, days, ids, values)
    for name in _LONG_TABLES:
        frame = getattr(tables, name)
        if frame is not None:
            arrow_tables[name] = _long_arrow(frame, _DATE_COLUMNS[name])
    files = {}
    for name, table in arrow_tables.items():
        file_name = _file_name(name)
        target = staging / file_name
        if name in _DAILY_TABLES:
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
        files[file_name] = {
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
    _fsync_directory(staging)


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
    return table.replace_schema_metadata({_IDS_KEY: json.dumps(ids)})


def _long_arrow(frame: pd.DataFrame, date_column: str) -> pa.Table:
    """A checked long table with explicit types, so that even an empty one reads back."""
    columns = {}
    for name in frame.columns:
        values = frame[name].to_numpy()
        if name == date_column:
            columns[name] = pa.array(values.astype("datetime64[D]"), pa.date32())
        elif values.dtype.kind == "f":
            columns[name] = pa.array(values, pa.float64())
        else:
            columns[name] = pa.array(values.astype(object), pa.string())
    return pa.table(columns)


def _fsync_directory(directory: Path) -> None:
    if sys.platform == "win32":
        return
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


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
        _check_destination(destination, overwrite)
        if _exchange_directories(staging, destination):
            shutil.rmtree(staging, ignore_errors=True)  # now holds the replaced bundle
        else:
            replaced = destination.with_name(f".{destination.name}.{uuid.uuid4().hex}.replaced")
            os.rename(destination, replaced)
            try:
                os.rename(staging, destination)
            except BaseException:
                os.rename(replaced, destination)
                raise
            shutil.rmtree(replaced, ignore_errors=True)
    _fsync_directory(destination.parent)


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


# --------------------------------------------------------------------------- reading

_CACHE_LOCK = threading.Lock()
_OPEN_SOURCES: dict[Path, BundleSource] = {}


class _Directory:
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


class BundleSource(DataSource):
    """A :class:`~quotaris.source.DataSource` serving a bundle written by :func:`write_bundle`.

    ``BundleSource(path)`` verifies the bundle and loads it into memory once
    per process; calling it again with the same bundle returns the same
    object.  Raises :class:`~quotaris.source.BundleError` naming the file for a
    missing, truncated or corrupt file or an unreadable format version.
    """

    def __new__(cls, path):
        root = Path(os.fspath(path)).resolve()
        with _CACHE_LOCK:
            directory = _Directory(root)
            try:
                stamp = _stamp(directory)
                cached = _OPEN_SOURCES.get(root)
                if cached is not None and cached._stamp == stamp:
                    return cached
                source = super().__new__(cls)
                source._load(directory, stamp)
            finally:
                directory.close()
            _OPEN_SOURCES[root] = source
            return source

    # ---------------------------------------------------------------- loading

    def _load(self, directory: _Directory, stamp) -> None:
        self._root = directory.root
        self._stamp = stamp
        self._manifest = _read_manifest(directory)
        entries = self._manifest["files"]
        for file_name, entry in entries.items():
            _check_size(directory, file_name, entry)
        # Reading and hashing release the interpreter lock, so threads share the cores.
        workers = max(1, min(len(entries), os.cpu_count() or 1))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            verified = dict(
                zip(
                    (Path(file_name).stem for file_name in entries),
                    pool.map(lambda item: _verify(directory, *item), entries.items()),
                    strict=True,
                )
            )
        records, ids = self._read("instruments", verified.pop("instruments"))
        self._records: dict[str, Instrument] = records
        self._code_of = {order_book_id: code for code, order_book_id in enumerate(ids)}
        self._ids = pd.Index(ids, dtype=object)
        self._days: np.ndarray = self._read("trading_dates", verified.pop("trading_dates"))
        if len(self._days) != self._manifest["trading_days"]:
            raise BundleError(
                f"{self._root / MANIFEST_NAME}: records {self._manifest['trading_days']} "
                f"trading days, but trading_dates.parquet holds {len(self._days)}"
            )
        self._calendar = pd.DatetimeIndex(
            self._days.astype("datetime64[D]").astype("datetime64[ns]")
        )
        self._verified = verified
        self._decoded: dict[str, object] = {}
        self._decoding = threading.Lock()

    def _read(self, table: str, reader: pq.ParquetFile):
        """Decode a verified file into what the queries use."""
        path = self._root / _file_name(table)
        try:
            # One thread per file already; Arrow's own pool would only compete for the cores.
            contents = reader.read(columns=_COLUMNS_READ.get(table), use_threads=False)
            if table in _DAILY_TABLES:
                return _DailyTable(
                    path, *_decode_daily(contents, self._manifest["trading_days"]), self._ids
                )
            decoded = _DECODERS[table](contents)
        except (KeyError, ValueError, TypeError, pa.ArrowException) as exc:
            raise BundleError(f"{path}: unexpected content: {exc}") from None
        builder = {
            "index_weights": self._load_index_weights,
            "industry": self._load_industry,
            "fundamentals": self._load_fundamentals,
            "style_exposure": self._load_style_exposure,
        }.get(table)
        return decoded if builder is None else builder(decoded)

    def _table(self, table: str):
        """A table's in-memory form, decoded on first use; None if the bundle lacks it."""
        try:
            return self._decoded[table]
        except KeyError:
            pass
        with self._decoding:
            if table not in self._decoded:
                reader = self._verified.get(table)
                self._decoded[table] = None if reader is None else self._read(table, reader)
                # The file's bytes are no longer needed once decoded.
                self._verified.pop(table, None)
        return self._decoded[table]

    def _load_index_weights(self, columns: dict) -> _IndexWeights:
        self._codes_of("index_weights", columns["index_id"])
        self._codes_of("index_weights", columns["order_book_id"])
        return _IndexWeights(columns)

    def _load_industry(self, columns: dict) -> dict[str, tuple[_PointInTime, np.ndarray]]:
        """Per scheme, the memberships by instrument and start day, and their names."""
        by_scheme = {}
        schemes = columns["scheme"].values()
        for scheme in np.unique(schemes):
            rows = schemes == scheme
            by_scheme[str(scheme)] = (
                self._point_in_time(
                    "industry", columns["order_book_id"].take(rows), columns["start_date"][rows]
                ),
                columns["industry_name"].take(rows).values(),
            )
        return by_scheme

    def _load_fundamentals(self, columns: dict) -> dict[str, tuple[_PointInTime, np.ndarray]]:
        """Per field, the announcements that give it and their values."""
        by_field = {}
        for field in list(columns)[2:]:
            # Each field answers with its latest announced value: a report
            # that leaves a field empty does not hide the one before.
            announced = ~np.isnan(columns[field])
            by_field[field] = (
                self._point_in_time(
                    "fundamentals",
                    columns["order_book_id"].take(announced),
                    columns["announce_date"][announced],
                ),
                _read_only(columns[field][announced]),
            )
        return by_field

    def _load_style_exposure(self, columns: dict) -> tuple[_PointInTime, np.ndarray, pd.Index]:
        styles = list(columns)[2:]
        return (
            self._point_in_time("style_exposure", columns["order_book_id"], columns["date"]),
            _read_only(np.column_stack([columns[style] for style in styles])),
            pd.Index(styles),
        )

    def _codes_of(self, table: str, labels: _Labels) -> np.ndarray:
        """Instrument codes of a column of identifiers; all must be known."""
        codes = self._ids.get_indexer(labels.uniques)
        if (codes < 0).any():
            unknown = labels.uniques[int(np.argmax(codes < 0))]
            raise BundleError(
                f"{self._root / _file_name(table)}: unknown order_book_id {unknown!r}"
            )
        return codes[labels.positions]

    def _point_in_time(self, table: str, labels: _Labels, days: np.ndarray) -> _PointInTime:
        return _PointInTime(self._codes_of(table, labels), days)

    # ---------------------------------------------------------------- extras

    @property
    def path(self) -> Path:
        """The bundle's directory."""
        return self._root

    @property
    def manifest(self) -> dict:
        """A copy of the bundle's manifest."""
        return copy.deepcopy(self._manifest)

    def __repr__(self) -> str:
        return f"BundleSource({os.fspath(self._root)!r})"

    # ---------------------------------------------------------------- DataSource

    def instruments(self, order_book_ids: list[str]) -> list[Instrument]:
        records = self._records
        return [
            records[order_book_id] for order_book_id in order_book_ids if order_book_id in records
        ]

    def trading_dates(self) -> pd.DatetimeIndex:
        return self._calendar

    def price_change_rate(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        return self._daily_frame("price_change_rate", order_book_ids, start, end)

    def market_cap(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date, kind: str
    ) -> pd.DataFrame:
        if kind not in _MARKET_CAP_TABLES:
            raise ValueError(f"unknown market cap kind {kind!r} (expected 'total' or 'float')")
        return self._daily_frame(_MARKET_CAP_TABLES[kind], order_book_ids, start, end)

    def turnover(
        self, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        return self._daily_frame("turnover", order_book_ids, start, end)

    def index_weights(self, index_id: str, date: datetime.date) -> pd.Series | None:
        self._codes([index_id])
        day = self._day_in_range(date)
        weights = self._table("index_weights")
        if weights is None or not weights.holds(index_id):
            kind = self._records[index_id].type
            raise MissingData(
                f"the bundle holds no constituent weights of {index_id} (type {kind})"
            )
        return weights.on(index_id, day)

    def style_exposure(self, order_book_ids: list[str], date: datetime.date) -> pd.DataFrame:
        codes = self._codes(order_book_ids)
        day = self._day_in_range(date)
        exposure = self._table("style_exposure")
        if exposure is None:
            raise MissingData("the bundle holds no style exposures")
        lookup, values, styles = exposure
        rows = lookup.latest(codes, day)
        if (rows < 0).any():
            lacking = [
                order_book_id
                for order_book_id, row in zip(order_book_ids, rows, strict=True)
                if row < 0
            ]
            raise MissingData(
                f"no style exposures on or before {date:%Y-%m-%d} for {_listing(lacking)}"
            )
        return pd.DataFrame(values[rows], index=pd.Index(order_book_ids), columns=styles)

    def industry(self, order_book_ids: list[str], date: datetime.date, scheme: str) -> pd.Series:
        codes = self._codes(order_book_ids)
        day = self._day_in_range(date)
        industry = self._table("industry") or {}
        if scheme not in industry:
            raise MissingData(f"the bundle holds no industries under the scheme {scheme!r}")
        lookup, names = industry[scheme]
        rows = lookup.latest(codes, day)
        found = rows >= 0
        values = np.full(len(rows), None, dtype=object)
        values[found] = names[rows[found]]
        return pd.Series(values, index=pd.Index(order_book_ids), name=scheme, dtype=object)

    def fundamentals(
        self, order_book_ids: list[str], date: datetime.date, fields: list[str]
    ) -> pd.DataFrame:
        codes = self._codes(order_book_ids)
        day = self._day_in_range(date)
        fundamentals = self._table("fundamentals") or {}
        absent = [field for field in fields if field not in fundamentals]
        if absent:
            raise MissingData(f"the bundle holds no fundamentals {_listing(absent)}")
        result = np.full((len(codes), len(fields)), np.nan)
        for column, field in enumerate(fields):
            lookup, values = fundamentals[field]
            rows = lookup.latest(codes, day)
            found = rows >= 0
            result[found, column] = values[rows[found]]
        return pd.DataFrame(result, index=pd.Index(order_book_ids), columns=pd.Index(fields))

    # ---------------------------------------------------------------- helpers

    def _codes(self, order_book_ids: Sequence[str]) -> np.ndarray:
        code_of = self._code_of
        codes = np.fromiter(
            (code_of.get(order_book_id, -1) for order_book_id in order_book_ids),
            dtype=np.int64,
            count=len(order_book_ids),
        )
        if (codes < 0).any():
            unknown = [
                order_book_id
                for order_book_id, code in zip(order_book_ids, codes, strict=True)
                if code < 0
            ]
            raise MissingData(f"unknown order_book_id {_listing(unknown)}")
        return codes

    def _day_in_range(self, date: datetime.date) -> int:
        day = _day_number(date)
        if day < self._days[0] or day > self._days[-1]:
            raise MissingData(
                f"no data for {date:%Y-%m-%d}: the bundle covers "
                f"{day_text(self._days[0])} to {day_text(self._days[-1])}"
            )
        return day

    def _daily_frame(
        self, name: str, order_book_ids: list[str], start: datetime.date, end: datetime.date
    ) -> pd.DataFrame:
        codes = self._codes(order_book_ids)
        first, last = self._day_in_range(start), self._day_in_range(end)
        if first > last:
            raise ValueError(f"start date {start:%Y-%m-%d} is after end date {end:%Y-%m-%d}")
        table = self._table(name)
        if table is None:
            raise MissingData(f"the bundle holds no {name.replace('_', ' ')}")
        begin = int(np.searchsorted(self._days, first, side="left"))
        stop = int(np.searchsorted(self._days, last, side="right"))
        return pd.DataFrame(
            table.select(codes, begin, stop),
            index=self._calendar[begin:stop],
            columns=pd.Index(order_book_ids),
            copy=False,
        )


def _listing(names: Sequence[str]) -> str:
    shown = ", ".join(repr(name) for name in names[:_SHOWN_IDS])
    if len(names) > _SHOWN_IDS:
        shown += f" and {len(names) - _SHOWN_IDS} more"
    return shown


_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()


def _day_number(date: datetime.date) -> int:
    if isinstance(date, datetime.datetime):
        date = date.date()
    return date.toordinal() - _EPOCH_ORDINAL


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


class _DailyTable:
    """A wide daily table in memory: trading days by the identifiers it holds."""

    def __init__(self, file_name, ids, values, instrument_ids):
        codes = instrument_ids.get_indexer(ids)
        if (codes < 0).any():
            raise BundleError(
                f"{file_name}: unknown order_book_id {ids[int(np.argmax(codes < 0))]!r}"
            )
        self.values = _read_only(values)
        self.column_of_code = np.full(len(instrument_ids), -1, dtype=np.int64)
        self.column_of_code[codes] = np.arange(len(codes))

    def select(self, codes: np.ndarray, begin: int, stop: int) -> np.ndarray:
        """Rows ``begin:stop`` of the instruments' columns; NaN for one the table lacks."""
        columns = self.column_of_code[codes]
        absent = columns < 0
        selected = self.values[begin:stop].take(np.where(absent, 0, columns), axis=1)
        if absent.any():
            selected[:, absent] = np.nan
        return selected


class _PointInTime:
    """The latest row on or before a day, per instrument.

    Rows are keyed by (instrument code, day) in one sorted int64 array, so a
    query for many instruments is a single ``searchsorted``.
    """

    _DAY_OFFSET = 2**31

    def __init__(self, codes: np.ndarray, days: np.ndarray):
        keys = (codes.astype(np.int64) << 32) + (days.astype(np.int64) + self._DAY_OFFSET)
        order = np.argsort(keys, kind="stable")
        self._keys = keys[order]
        self._codes = codes[order]
        self._rows = order

    def latest(self, codes: np.ndarray, day: int) -> np.ndarray:
        """Row of each code's latest entry on or before ``day``; -1 where there is none."""
        if len(self._keys) == 0:
            return np.full(len(codes), -1, dtype=np.int64)
        wanted = (codes << 32) + (day + self._DAY_OFFSET)
        at = np.searchsorted(self._keys, wanted, side="right") - 1
        safe = np.maximum(at, 0)
        found = (at >= 0) & (self._codes[safe] == codes)
        return np.where(found, self._rows[safe], -1)


class _IndexWeights:
    """Constituent weights by index and review day, sorted by constituent."""

    def __init__(self, columns: dict[str, np.ndarray]):
        # Rows come sorted by index, review day and constituent.
        index_ids, days = columns["index_id"].values(), columns["date"]
        self._ids = columns["order_book_id"].values()
        self._weights = _read_only(columns["weight"])
        self._by_index: dict[str, tuple[np.ndarray, np.ndarray]] = {}
        new_block = np.ones(len(days), dtype=bool)
        new_block[1:] = (index_ids[1:] != index_ids[:-1]) | (days[1:] != days[:-1])
        starts = np.flatnonzero(new_block)
        ends = np.append(starts[1:], len(days))
        for index_id in np.unique(index_ids[starts]):
            mine = index_ids[starts] == index_id
            self._by_index[str(index_id)] = (
                days[starts[mine]],
                np.column_stack((starts[mine], ends[mine])),
            )
        self._constituents: dict[tuple[int, int], pd.Index] = {}

    def holds(self, index_id: str) -> bool:
        return index_id in self._by_index

    def on(self, index_id: str, day: int) -> pd.Series | None:
        days, spans = self._by_index[index_id]
        at = int(np.searchsorted(days, day, side="right")) - 1
        if at < 0:
            return None
        start, end = (int(bound) for bound in spans[at])
        constituents = self._constituents.get((start, end))
        if constituents is None:
            constituents = self._constituents.setdefault(
                (start, end), pd.Index(self._ids[start:end])
            )
        return pd.Series(self._weights[start:end].copy(), index=constituents, name=index_id)


# --------------------------------------------------------------------------- file decoding


def _stamp(directory: _Directory) -> tuple:
    try:
        status = directory.stat(MANIFEST_NAME)
    except FileNotFoundError:
        raise BundleError(f"{directory.root / MANIFEST_NAME}: missing; not a bundle") from None
    except OSError as exc:
        raise BundleError(f"{directory.root / MANIFEST_NAME}: unreadable: {exc}") from None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _read_manifest(directory: _Directory) -> dict:
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
    for file_name, entry in files.items():
        table = Path(file_name).stem
        if table not in _KNOWN_TABLES or file_name != _file_name(table):
            raise BundleError(f"{path}: malformed: unexpected file {file_name!r}")
        fields_ok = isinstance(entry, dict) and all(
            isinstance(entry.get(key), int) for key in ("rows", "columns", "bytes")
        )
        if not fields_ok or not isinstance(entry.get("sha256"), str):
            raise BundleError(f"{path}: malformed: incomplete entry for {file_name!r}")
    for table in _REQUIRED_TABLES:
        if _file_name(table) not in files:
            raise BundleError(f"{path}: malformed: {_file_name(table)} is not listed")
    return manifest


def _check_size(directory: _Directory, file_name: str, entry: dict) -> None:
    path = directory.root / file_name
    try:
        size = directory.stat(file_name).st_size
    except FileNotFoundError:
        raise BundleError(f"{path}: missing") from None
    except OSError as exc:
        raise BundleError(f"{path}: unreadable: {exc}") from None
    if size != entry["bytes"]:
        raise BundleError(
            f"{path}: {size} bytes, but the manifest records {entry['bytes']}: "
            "the file is truncated or was changed"
        )


def _verify(directory: _Directory, file_name: str, entry: dict) -> pq.ParquetFile:
    """Read a file, check it against its manifest entry, and open it as Parquet.

    The reader holds the verified bytes, so whatever is decoded later is
    exactly what was checked here.
    """
    path = directory.root / file_name
    try:
        data = directory.read(file_name)
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


def _days_of(column: pa.ChunkedArray) -> np.ndarray:
    return column.cast(pa.date32()).to_numpy().astype("datetime64[D]").astype(np.int64)


def _decode_instruments(table: pa.Table) -> tuple[dict[str, Instrument], list[str]]:
    columns = [table.column(field.name).to_pylist() for field in dataclasses.fields(Instrument)]
    records = {values[0]: Instrument(*values) for values in zip(*columns, strict=True)}
    return records, columns[0]


def _decode_trading_dates(table: pa.Table) -> np.ndarray:
    days = _days_of(table.column("date"))
    if len(days) == 0 or (np.diff(days) <= 0).any():
        raise ValueError("trading dates must be ascending and distinct")
    return days


def _numbers(column: pa.ChunkedArray) -> np.ndarray:
    # Converting chunk by chunk is several times faster than through the chunked array.
    if column.num_chunks == 1:
        return column.chunk(0).to_numpy(zero_copy_only=False)
    return column.combine_chunks().to_numpy(zero_copy_only=False)


def _decode_daily(table: pa.Table, trading_days: int):
    """Identifiers and the days-by-identifiers matrix of a daily table.

    Only the value column is read: the writer lays the rows out identifier by
    identifier, each over all trading days, and the checksum vouches for it.
    """
    ids = json.loads(table.schema.metadata[_IDS_KEY])
    if table.num_rows != len(ids) * trading_days:
        raise ValueError(f"{table.num_rows} rows for {len(ids)} identifiers")
    values = _numbers(table.column(0)).reshape(len(ids), trading_days).T
    return np.array(ids, dtype=object), values


class _Labels:
    """A text column as its distinct values and each row's position among them."""

    def __init__(self, uniques: np.ndarray, positions: np.ndarray):
        self.uniques = uniques
        self.positions = positions

    @classmethod
    def of(cls, column: pa.ChunkedArray) -> _Labels:
        encoded = column.dictionary_encode().combine_chunks()
        return cls(
            np.array(encoded.dictionary.to_pylist(), dtype=object),
            encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64),
        )

    def take(self, rows: np.ndarray) -> _Labels:
        return _Labels(self.uniques, self.positions[rows])

    def values(self) -> np.ndarray:
        return self.uniques[self.positions]


def _decode_long(date_column: str) -> Callable[[pa.Table], dict]:
    """Columns by name: the date as day numbers, numbers as float64, text as labels."""

    def decode(table: pa.Table) -> dict:
        columns = {}
        for name in table.column_names:
            column = table.column(name)
            if name == date_column:
                columns[name] = _days_of(column)
            elif pa.types.is_floating(column.type):
                columns[name] = _numbers(column)
            else:
                columns[name] = _Labels.of(column)
        return columns

    return decode


_DECODERS: dict[str, Callable] = {
    "instruments": _decode_instruments,
    "trading_dates": _decode_trading_dates,
    **{name: _decode_long(_DATE_COLUMNS[name]) for name in _LONG_TABLES},
}
