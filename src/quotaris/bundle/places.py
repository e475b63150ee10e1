"""Where bundles are, as their readers and writers both see it.

Beside a bundle its writers keep hidden scratch entries (see
:mod:`quotaris.scratch`); a writer killed halfway through a replacement leaves
the old bundle in a hidden ``.replaced`` directory, which whoever next opens
or writes the bundle puts back (:func:`recover_replaced`).  The process keeps
the bundles it opened in :data:`OPENED`; a writer drops the one it rewrote
(:func:`forget`).
"""

from __future__ import annotations

import os
import sys
import threading
from pathlib import Path

from quotaris.bundle.files import MANIFEST_NAME
from quotaris.scratch import abandoned_entries

__all__ = [
    "OPENED",
    "REPLACED_SUFFIX",
    "STAGING_SUFFIX",
    "OpenedBundles",
    "forget",
    "fsync_directory",
    "recover_replaced",
    "scratch_prefix",
]

#: Suffix of the hidden directory an old bundle waits in while it is replaced.
REPLACED_SUFFIX = ".replaced"
#: Suffix of the hidden directory a new directory is written in.
STAGING_SUFFIX = ".partial"


class OpenedBundles:
    """The sources of the bundles opened in this process, by resolved path.

    Hold ``lock`` while using ``sources``; look it up each time, since a
    forked child replaces it.
    """

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.sources: dict[Path, object] = {}


OPENED = OpenedBundles()


def _fresh_lock_in_child() -> None:
    # A fork copies a lock another thread of the parent holds, and no thread of
    # the child would ever release it.  What it guards is stored only once complete.
    OPENED.lock = threading.Lock()


os.register_at_fork(after_in_child=_fresh_lock_in_child)


def forget(path: Path) -> None:
    """Drop the cached source of the bundle at ``path``: it was just rewritten."""
    with OPENED.lock:
        OPENED.sources.pop(Path(path).resolve(), None)


def scratch_prefix(destination: Path) -> str:
    """The prefix of the hidden entries beside ``destination`` its writers own."""
    return f".{destination.name}."


def recover_replaced(destination: Path, marker: str = MANIFEST_NAME) -> Path | None:
    """Put back a directory a killed writer left moved aside; return where it was.

    A writer replacing ``destination`` without an atomic exchange moves the
    old directory aside, then the new one in.  Killed in between, it leaves
    the destination missing: the newest such directory holding ``marker``
    (the file that marks a complete one) whose writer is gone is renamed
    back.  With the destination present the swap completed, and the leftover
    is removed with the writer's other scratch on the next write.
    """
    if os.path.lexists(destination):
        return None
    prefix = scratch_prefix(destination)
    candidates = [
        entry
        for token, entries in abandoned_entries(destination.parent, prefix).items()
        for entry in entries
        # The exact name: ".a.b.<token>.replaced" of destination "a.b" also
        # starts with the prefix of destination "a".
        if entry.name == f"{prefix}{token}{REPLACED_SUFFIX}" and (entry / marker).is_file()
    ]
    if not candidates:
        return None
    newest = max(candidates, key=lambda entry: (entry / marker).stat().st_mtime_ns)
    try:
        os.rename(newest, destination)
    except FileNotFoundError:  # another process recovered it first
        return None
    fsync_directory(destination.parent)
    return newest


def fsync_directory(directory: Path) -> None:
    """Make the renames within ``directory`` durable (a no-op on Windows)."""
    if sys.platform == "win32":
        return
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
