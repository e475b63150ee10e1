"""Reading a bundle: verify every file once, then serve its tables from memory.

An opened bundle is cached per resolved path for the life of the process; a
bundle that was rewritten since (its manifest changed) is opened afresh.
"""

from __future__ import annotations

import copy
import os
import threading
import warnings
import weakref
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

from quotaris.bundle.files import (
    COLUMNS_READ,
    MANIFEST_NAME,
    Directory,
    check_size,
    decode_daily,
    decode_trading_dates,
    file_name,
    read_manifest,
    stamp,
    unlisted_files,
    verify,
)
from quotaris.bundle.places import OPENED, forget, recover_replaced
from quotaris.served import DAILY_TABLES, ServedSource, date_column_of, decode_long, signal_of
from quotaris.source import BundleError, QuotarisWarning

__all__ = ["BundleSource", "forget"]

_EVERY_SOURCE: weakref.WeakSet[BundleSource] = weakref.WeakSet()


def _fresh_locks_in_child() -> None:
    # A fork copies locks that other threads of the parent hold, and no thread of the
    # child would ever release them.  What they guard is stored only once complete.
    # (The cache's own lock is renewed by quotaris.bundle.places.)
    for source in _EVERY_SOURCE:
        source._decoding = threading.Lock()


os.register_at_fork(after_in_child=_fresh_locks_in_child)


class BundleSource(ServedSource):
    """A :class:`~quotaris.source.DataSource` serving a bundle written by ``write_bundle``.

    ``BundleSource(path)`` verifies the bundle and loads it into memory once
    per process; calling it again with the same bundle returns the same
    object.  Raises :class:`~quotaris.source.BundleError` naming the file for a
    missing, truncated or corrupt file or an unreadable format version.  A
    file in the directory that the manifest does not list is named in a
    :class:`~quotaris.source.QuotarisWarning`, or refused with ``strict=True``.
    A bundle that a killed writer left moved aside is put back first.
    """

    _holder = "the bundle"

    def __new__(cls, path, *, strict: bool = False):
        root = Path(os.fspath(path)).resolve()
        with OPENED.lock:
            try:
                recover_replaced(root)
            except OSError as exc:
                raise BundleError(
                    f"{root}: cannot put back the bundle moved aside: {exc}"
                ) from None
            directory = Directory(root)
            try:
                current = stamp(directory)
                cached = OPENED.sources.get(root)
                if cached is None or cached._stamp != current:
                    cached = super().__new__(cls)
                    cached._load(directory, current)
                    OPENED.sources[root] = cached
                unlisted = unlisted_files(directory, cached._manifest)
            finally:
                directory.close()
        if unlisted:
            names = ", ".join(repr(name) for name in unlisted)
            message = f"{root}: files the manifest does not list: {names}"
            if strict:
                raise BundleError(message)
            warnings.warn(message, QuotarisWarning, stacklevel=2)
        return cached

    # ---------------------------------------------------------------- loading

    def _load(self, directory: Directory, current: tuple) -> None:
        self._root = directory.root
        self._stamp = current
        self._manifest = read_manifest(directory)
        entries = self._manifest["files"]
        for name, entry in entries.items():
            check_size(directory, name, entry)
        # Reading and hashing release the interpreter lock, so threads share the cores.
        workers = max(1, min(len(entries), os.cpu_count() or 1))
        with ThreadPoolExecutor(max_workers=workers) as pool:
            verified = dict(
                zip(
                    (Path(name).stem for name in entries),
                    pool.map(lambda item: verify(directory, *item), entries.items()),
                    strict=True,
                )
            )
        instruments = self._contents("instruments", verified.pop("instruments"))
        days = self._decoded_or_refused(
            "trading_dates",
            lambda: decode_trading_dates(
                self._contents("trading_dates", verified.pop("trading_dates"))
            ),
        )
        if len(days) != self._manifest["trading_days"]:
            raise BundleError(
                f"{self._root / MANIFEST_NAME}: records {self._manifest['trading_days']} "
                f"trading days, but trading_dates.parquet holds {len(days)}"
            )
        signal_names = [name for name in map(signal_of, verified) if name is not None]
        self._decoded_or_refused(
            "instruments", lambda: self._serve_market(instruments, days, signal_names)
        )
        self._verified = verified
        self._decoded: dict[str, object] = {}
        self._decoding = threading.Lock()
        _EVERY_SOURCE.add(self)

    def _where(self, table: str) -> str:
        return os.fspath(self._root / file_name(table))

    def _decoded_or_refused(self, table: str, decode):
        try:
            return decode()
        except (KeyError, ValueError, TypeError, pa.ArrowException) as exc:
            raise BundleError(f"{self._where(table)}: unexpected content: {exc}") from None

    def _contents(self, table: str, reader: pq.ParquetFile) -> pa.Table:
        # One thread per file already; Arrow's own pool would only compete for the cores.
        return self._decoded_or_refused(
            table, lambda: reader.read(columns=COLUMNS_READ.get(table), use_threads=False)
        )

    def _read(self, table: str, reader: pq.ParquetFile):
        """Decode a verified file into what the queries use."""
        contents = self._contents(table, reader)
        if table in DAILY_TABLES:
            trading_days = self._manifest["trading_days"]
            decoded = self._decoded_or_refused(table, lambda: decode_daily(contents, trading_days))
        else:
            decoded = self._decoded_or_refused(
                table, lambda: decode_long(contents, date_column_of(table))
            )
        return self._build(table, decoded)

    def _table(self, table: str):
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
