"""The version of quotaris, recorded in the bundles it writes."""

__all__ = ["__version__"]

__version__ = "0.1.0"
