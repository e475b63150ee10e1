"""The risk model of the current market data: built on first use, then kept.

A bundle's model is saved as ``<cache>/riskmodel/<key>.npz`` (the cache of
:func:`quotaris.demo.cache_dir`).  The key digests the bundle's file
checksums, the model's format and the estimation parameters, so a model is
never reused for other data.  A model is written to a scratch file and
renamed into place, so an interrupted build leaves the previous model whole;
builds of one cache directory take turns under a lock.  When a bundle gains
trading days, the model of its previous content is extended rather than
rebuilt, provided the data of the days it covers is unchanged.

Any other source (a ``MemorySource``) has no checksums: its model is built in
memory and kept for as long as the source lives.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import time
import warnings
import weakref
import zipfile
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import Path

import numpy as np
import pandas as pd

import quotaris
from quotaris.bundle import BundleSource
from quotaris.demo.cache import cache_dir
from quotaris.scratch import locked, scratch_directory

from .model import RiskModel
from .panel import MarketPanel
from .parameters import PARAMETERS

__all__ = [
    "MODEL_FORMAT",
    "RiskModelWarning",
    "build_risk_model",
    "model_key",
    "read_model",
    "risk_model",
    "store_directory",
    "stored_model",
    "stored_model_path",
    "write_model",
]

#: Bumped whenever what a build computes changes, so stored models are rebuilt.
MODEL_FORMAT = 2
#: The share of a build's progress bar that loading the panel takes.
_LOAD_SHARE = 0.3

_SAVED_FIELDS = tuple(f.name for f in dataclasses.fields(RiskModel) if not f.name.startswith("_"))
_in_memory: weakref.WeakKeyDictionary[object, RiskModel] = weakref.WeakKeyDictionary()
_by_key: dict[str, RiskModel] = {}


class RiskModelWarning(UserWarning):
    """A stored risk model could not be used and is being rebuilt."""


def store_directory() -> Path:
    """Where bundles' risk models are kept: ``riskmodel`` in the plovera cache."""
    return cache_dir() / "riskmodel"


def model_key(source: BundleSource) -> str:
    """The key of ``source``'s model: a digest of its files and of how models are built."""
    files = source.manifest["files"]
    identity = {
        "format": MODEL_FORMAT,
        "fields": _SAVED_FIELDS,
        "parameters": repr(sorted(PARAMETERS.items(), key=lambda item: item[0].name)),
        "files": sorted((name, entry["sha256"]) for name, entry in files.items()),
    }
    return hashlib.sha256(json.dumps(identity).encode("utf-8")).hexdigest()[:40]


def stored_model_path(source: BundleSource) -> Path:
    """The file that holds, or will hold, ``source``'s model."""
    return store_directory() / f"{model_key(source)}.npz"


def risk_model(progress: bool | None = None) -> RiskModel:
    """The risk model of the current quotaris source, built on first use.

    ``progress`` shows a progress bar on standard error while building: True
    always, False never, None when standard error is a terminal.
    """
    source = quotaris.get_source()
    if not isinstance(source, BundleSource):
        model = _in_memory.get(source)
        if model is None:
            model = build_risk_model(progress=progress)
            _in_memory[source] = model
        return model
    key = model_key(source)
    model = _by_key.get(key)
    if model is None:
        model = _stored_or_built(source, key, progress)
        # One bundle's model at a time: a superseded one is not asked for again.
        _by_key.clear()
        _by_key[key] = model
    return model


def stored_model(source: BundleSource) -> tuple[RiskModel, dict, Path] | None:
    """``source``'s stored model, its metadata and file; None when none is built yet.

    A damaged file is a ValueError naming it.
    """
    path = stored_model_path(source)
    if not path.exists():
        return None
    model, meta = read_model(path)
    return model, meta, path


def build_risk_model(progress: bool | None = None) -> RiskModel:
    """Build the model of the current source afresh (nothing is read or written)."""
    return _build(None, progress)


def _build(previous: RiskModel | None, progress: bool | None) -> RiskModel:
    """The model of the current source, extending ``previous`` if its days' data is unchanged."""
    with _progress_bar(progress) as report:
        panel = MarketPanel.load(progress=lambda done, stage: report(_LOAD_SHARE * done, stage))

        def building(done: float, stage: str) -> None:
            report(_LOAD_SHARE + (1 - _LOAD_SHARE) * done, stage)

        model = None
        # A model whose stocks the panel lacks cannot digest it: build afresh.
        with suppress(ValueError, KeyError):
            unchanged = previous is not None and (
                previous.data_digest(panel) == previous.data_digest_hex
            )
            if unchanged:
                # Not an extension (fewer days, other styles): build afresh.
                model = previous.extend(panel, progress=building)
        if model is None:
            model = RiskModel.build(panel, progress=building)
        return model


def _stored_or_built(source: BundleSource, key: str, progress: bool | None) -> RiskModel:
    directory = store_directory()
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"{key}.npz"
    with locked(directory / "build.lock"):
        if path.exists():
            try:
                return read_model(path)[0]
            except ValueError as error:
                warnings.warn(f"{error}; rebuilding it", RiskModelWarning, stacklevel=3)
        bundle = os.fspath(source.path)
        model = _build(_previous_model(directory, bundle, path), progress)
        write_model(model, path, bundle=bundle)
        for superseded in _models_of(directory, bundle):
            if superseded != path:
                superseded.unlink(missing_ok=True)
        _remove_orphans(directory)
        return model


def _remove_orphans(directory: Path) -> None:
    """Remove the models of bundles that are gone: nothing can ask for them again."""
    for candidate in directory.glob("*.npz"):
        try:
            bundle = _read_meta(candidate).get("bundle")
        except ValueError:
            continue
        if bundle and not os.path.isdir(bundle):
            candidate.unlink(missing_ok=True)


def _models_of(directory: Path, bundle: str) -> Iterator[Path]:
    """The stored models built from the bundle at ``bundle``, whatever its content then."""
    for candidate in sorted(directory.glob("*.npz")):
        try:
            meta = _read_meta(candidate)
        except ValueError:
            continue
        if meta.get("bundle") == bundle:
            yield candidate


def _previous_model(directory: Path, bundle: str, path: Path) -> RiskModel | None:
    """A readable model of an earlier content of the same bundle."""
    for candidate in _models_of(directory, bundle):
        if candidate == path:
            continue
        try:
            return read_model(candidate)[0]
        except ValueError:
            continue
    return None


# ------------------------------------------------------------------ files


def write_model(model: RiskModel, path: Path, *, bundle: str | None = None) -> None:
    """Save ``model`` to ``path`` atomically: a reader sees the old file or the whole new one."""
    path = Path(path)
    arrays: dict[str, np.ndarray] = {}
    values: dict[str, object] = {}
    kinds: dict[str, str] = {}
    for name in _SAVED_FIELDS:
        value = getattr(model, name)
        if isinstance(value, pd.DatetimeIndex):
            arrays[name], kinds[name] = value.to_numpy(dtype="datetime64[ns]"), "dates"
        elif isinstance(value, pd.Index):
            arrays[name], kinds[name] = value.to_numpy(dtype=str), "index"
        elif isinstance(value, np.ndarray):
            arrays[name], kinds[name] = value, "array"
        elif isinstance(value, tuple):
            values[name], kinds[name] = list(value), "tuple"
        else:
            values[name], kinds[name] = value, "value"
    meta = {
        "format": MODEL_FORMAT,
        "fields": list(_SAVED_FIELDS),
        "kinds": kinds,
        "values": values,
        "bundle": bundle,
        "first_date": str(model.dates[0].date()),
        "last_date": str(model.dates[-1].date()),
        "written": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }
    arrays["__meta__"] = np.array(json.dumps(meta))
    with scratch_directory(path.parent, f".{path.stem}-") as scratch:
        staging = scratch / path.name
        with open(staging, "wb") as handle:
            np.savez(handle, **arrays)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(staging, path)


def _read_meta(path: Path) -> dict:
    try:
        with open(path, "rb") as handle, np.load(handle, allow_pickle=False) as stored:
            return json.loads(str(stored["__meta__"]))
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile) as error:
        raise ValueError(f"{path}: not a readable risk model ({error})") from None


def read_model(path: Path) -> tuple[RiskModel, dict]:
    """The model saved in ``path`` and its metadata; a damaged file is a ValueError naming it."""
    try:
        with open(path, "rb") as handle, np.load(handle, allow_pickle=False) as stored:
            meta = json.loads(str(stored["__meta__"]))
            if meta.get("format") != MODEL_FORMAT or meta.get("fields") != list(_SAVED_FIELDS):
                raise ValueError("written by another version of plovera")
            fields = {}
            for name in _SAVED_FIELDS:
                kind = meta["kinds"][name]
                if kind == "dates":
                    fields[name] = pd.DatetimeIndex(stored[name])
                elif kind == "index":
                    fields[name] = pd.Index(stored[name].astype(object), dtype=object)
                elif kind == "array":
                    fields[name] = stored[name]
                elif kind == "tuple":
                    fields[name] = tuple(meta["values"][name])
                else:
                    fields[name] = meta["values"][name]
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile) as error:
        raise ValueError(f"{path}: not a readable risk model ({error})") from None
    return RiskModel(**fields), meta


@contextmanager
def _progress_bar(progress: bool | None):
    from tqdm import tqdm

    with tqdm(
        total=100,
        desc="risk model",
        unit="%",
        bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed} {postfix}",
        disable=None if progress is None else not progress,
    ) as bar:
        shown = [-1, ""]

        def report(done: float, stage: str) -> None:
            percent = round(100 * min(max(done, 0.0), 1.0))
            if [percent, stage] != shown:
                shown[:] = percent, stage
                bar.n = percent
                bar.set_postfix_str(stage)

        yield report
