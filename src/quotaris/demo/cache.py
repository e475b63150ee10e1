"""The demo market's bundle in the user's cache: built once under a lock, then reused.

A build works in a hidden scratch directory ``.demo-v<version>-<token>``
beside the bundle (see :mod:`quotaris.scratch`) and renames the finished
bundle into place.  A build that is killed leaves its scratch directory
behind; the next build removes those no live builder holds.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

from quotaris.demo.market import build_demo_tables
from quotaris.scratch import locked, scratch_directory
from quotaris.source import BundleError

__all__ = ["DEMO_VERSION", "cache_dir", "demo_bundle_path"]

#: Bumped whenever the simulated content changes, so cached bundles are rebuilt.
DEMO_VERSION = 4


def cache_dir() -> Path:
    """``$PLOVERA_CACHE_DIR``, else ``$XDG_CACHE_HOME/plovera``, else ``~/.cache/plovera``."""
    explicit = os.environ.get("PLOVERA_CACHE_DIR")
    if explicit:
        return Path(explicit).expanduser()
    xdg = os.environ.get("XDG_CACHE_HOME")
    # Relative XDG paths are invalid and must be ignored.
    base = Path(xdg) if xdg and os.path.isabs(xdg) else Path.home() / ".cache"
    return base / "plovera"


def demo_bundle_path(progress: bool = True) -> Path:
    """The path of the demo market's bundle, built into the user's cache on first use.

    The cache is ``$PLOVERA_CACHE_DIR``, else ``$XDG_CACHE_HOME/plovera``, else
    ``~/.cache/plovera``.  A bundle from an older demo version or in a bundle
    format this installation cannot open is rebuilt.  ``progress`` shows a
    progress bar on standard error while building.
    """
    cache = cache_dir()
    target = cache / f"demo-v{DEMO_VERSION}"
    if _is_usable(target):
        return target
    cache.mkdir(parents=True, exist_ok=True)
    with locked(cache / f"{target.name}.lock"):
        if _is_usable(target):  # another process built it while we waited
            return target
        with scratch_directory(cache, f".{target.name}-") as scratch:
            staging = scratch / target.name
            _write_demo_bundle(staging, progress)
            if target.exists():
                # Unusable leftovers go into the scratch directory, which is removed.
                os.replace(target, scratch / "outdated")
            try:
                os.replace(staging, target)
            except OSError:
                if not _is_usable(target):  # not a concurrent builder that got there first
                    raise
    return target


def _is_usable(path: Path) -> bool:
    from quotaris.bundle import BundleSource

    if not path.exists():
        return False
    try:
        BundleSource(path)
    except BundleError:  # written in another bundle format, or damaged
        return False
    return True


def _write_demo_bundle(path: Path, progress: bool) -> None:
    from tqdm import tqdm

    from quotaris.bundle import write_bundle

    if not progress:
        write_bundle(path, build_demo_tables())
        return
    with tqdm(total=100, desc="demo market", unit="%", file=sys.stderr) as bar:
        shown = ""

        def report(fraction: float, stage: str) -> None:
            nonlocal shown
            if stage != shown:
                bar.set_postfix_str(stage)
                shown = stage
            bar.update(round(90 * fraction) - bar.n)

        tables = build_demo_tables(progress=report)
        report(1.0, "writing")
        write_bundle(path, tables)
        bar.update(100 - bar.n)
