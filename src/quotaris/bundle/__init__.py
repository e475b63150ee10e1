"""Data bundles: one market's tables as Parquet files in a directory.

A bundle holds data only: Parquet files and a JSON manifest, so opening one
never runs code.  The manifest records the format version, the calendar and
date range, and for every file its row and column counts, byte size and
SHA-256 digest.  :mod:`~quotaris.bundle.writing` stores a bundle,
:mod:`~quotaris.bundle.reading` serves one; :mod:`~quotaris.bundle.files`
holds what both know of the files, and :mod:`~quotaris.bundle.places` what
both know of where bundles are (the hidden entries beside one, the bundles
already opened).
"""

from quotaris.bundle.files import FORMAT_VERSION, MANIFEST_NAME
from quotaris.bundle.reading import BundleSource
from quotaris.bundle.writing import check_destination, recover_replaced, write_bundle

__all__ = [
    "FORMAT_VERSION",
    "MANIFEST_NAME",
    "BundleSource",
    "check_destination",
    "recover_replaced",
    "write_bundle",
]
