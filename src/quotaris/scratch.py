"""Hidden scratch directories that a killed writer does not leave behind for good.

A writer builds its output in a scratch directory beside the destination and
renames it into place.  Killed on the way, it leaves the scratch directory
behind.  Each scratch directory is named ``<prefix><token><suffix>`` and owned
through the lock file ``<prefix><token>.lock``, which its writer holds locked
(``flock``) for as long as it lives; every entry of the same token (the
scratch directory, or a directory the writer moved aside under another
suffix) belongs to that writer.  The next writer with the same prefix removes
the entries of tokens no live process holds.  Where the platform has no
advisory locks, an owner cannot be told dead from alive, and nothing is
removed.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import uuid
from collections.abc import Iterator
from pathlib import Path

__all__ = [
    "LOCK_SUFFIX",
    "abandoned_entries",
    "locked",
    "remove_abandoned",
    "scratch_directory",
    "sibling",
]

LOCK_SUFFIX = ".lock"

try:
    import fcntl
except ImportError:  # no advisory locks
    fcntl = None


def _token_of(name: str, prefix: str) -> str | None:
    """The token of a scratch entry's name, None if the name is not one."""
    if not name.startswith(prefix):
        return None
    # A token is followed by at most one suffix: the entries of a destination
    # whose name extends this one's (".market.v2.<token>.partial" under the
    # prefix ".market.") are another writer's, never this one's.
    token, _, suffix = name[len(prefix) :].partition(".")
    return token if token and token.isalnum() and "." not in suffix else None


def _owner_alive(lock: Path) -> bool:
    """Whether a live process holds ``lock``; a missing lock file has no owner."""
    if fcntl is None:
        return True
    try:
        handle = open(lock, "rb")  # noqa: SIM115 -- closed below, after the probe
    except FileNotFoundError:
        return False
    except OSError:
        return True
    with handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        fcntl.flock(handle, fcntl.LOCK_UN)
        return False


def abandoned_entries(parent: Path, prefix: str) -> dict[str, list[Path]]:
    """The scratch entries under ``parent`` whose writer is gone, by token.

    Lock files are included, after the entries they own.
    """
    if fcntl is None:
        return {}
    try:
        names = os.listdir(parent)
    except FileNotFoundError:
        return {}
    by_token: dict[str, list[Path]] = {}
    for name in sorted(names):
        token = _token_of(name, prefix)
        if token is not None:
            by_token.setdefault(token, []).append(parent / name)
    abandoned = {}
    for token, entries in by_token.items():
        lock = parent / f"{prefix}{token}{LOCK_SUFFIX}"
        if not _owner_alive(lock):
            entries.sort(key=lambda entry: entry == lock)
            abandoned[token] = entries
    return abandoned


def remove_abandoned(parent: Path, prefix: str) -> list[Path]:
    """Remove the scratch entries under ``parent`` whose writer is gone; return them."""
    removed = []
    for entries in abandoned_entries(parent, prefix).values():
        for entry in entries:
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry, ignore_errors=True)
            else:
                with contextlib.suppress(FileNotFoundError):
                    entry.unlink()
            removed.append(entry)
    return removed


@contextlib.contextmanager
def scratch_directory(parent: Path, prefix: str, suffix: str = "") -> Iterator[Path]:
    """A fresh directory ``parent/<prefix><token><suffix>``, owned while the block runs.

    Abandoned entries of the same prefix are removed first.  The directory is
    created with the usual permissions (unlike ``mkdtemp``'s) and removed on
    leaving unless the block moved it away.
    """
    parent = Path(parent)
    remove_abandoned(parent, prefix)
    with _held_lock(parent, prefix) as token:
        path = parent / f"{prefix}{token}{suffix}"
        try:
            path.mkdir()
            yield path
        finally:
            shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def _held_lock(parent: Path, prefix: str) -> Iterator[str]:
    """A fresh token whose lock file this process holds until the block ends."""
    while True:
        token = uuid.uuid4().hex
        lock = parent / f"{prefix}{token}{LOCK_SUFFIX}"
        with open(lock, "xb") as handle:
            if fcntl is not None:
                fcntl.flock(handle, fcntl.LOCK_EX)
                # A cleaner may have taken the file for abandoned between its
                # creation and the lock, and removed it: then start afresh.
                try:
                    same = os.stat(lock).st_ino == os.fstat(handle.fileno()).st_ino
                except FileNotFoundError:
                    same = False
                if not same:
                    continue
            try:
                yield token
            finally:
                with contextlib.suppress(FileNotFoundError):
                    lock.unlink()
            return


def sibling(scratch: Path, prefix: str, suffix: str) -> Path:
    """Another entry owned by the writer of ``scratch``: same token, other suffix."""
    token = _token_of(scratch.name, prefix)
    if token is None:
        raise ValueError(f"{scratch} is not a scratch entry of prefix {prefix!r}")
    return scratch.with_name(f"{prefix}{token}{suffix}")


@contextlib.contextmanager
def locked(lock_path: Path) -> Iterator[None]:
    """Hold an exclusive lock on ``lock_path`` while the block runs.

    Where the platform has no advisory locks this waits for nothing; writers
    that rename finished output into place still never expose a partial one.
    """
    if fcntl is None:
        yield
        return
    with open(lock_path, "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)
