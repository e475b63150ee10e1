"""Stock codes as researchers write them, read as exchange identifiers.

Identifiers name the exchange by its MIC: ``600000.XSHG`` (Shanghai),
``000001.XSHE`` (Shenzhen), ``830799.BJSE`` (Beijing).  Other sources write
``600000.SH``, ``sh600000``, ``000001.SZ``, ``830799.BJ`` or the bare six
digits; :func:`to_order_book_id` reads all of these.  A bare code takes its
exchange from its leading digits; the same six digits may name a stock and an
index (``000300``), so a caller that knows it reads indices says so.
"""

from __future__ import annotations

import re

__all__ = ["EXCHANGE_SUFFIXES", "to_order_book_id"]

#: The suffixes other sources use, and the exchange each stands for.
EXCHANGE_SUFFIXES = {"SH": "XSHG", "SS": "XSHG", "SZ": "XSHE", "BJ": "BJSE"}

_SUFFIXED = re.compile(r"^(\d{6})\.(SH|SS|SZ|BJ)$", re.IGNORECASE)
_PREFIXED = re.compile(r"^(SH|SZ|BJ)(\d{6})$", re.IGNORECASE)
_BARE = re.compile(r"^\d{6}$")


def _exchange_of(digits: str, index: bool) -> str:
    if index:
        # Shenzhen's indices are 399xxx; the CSI and Shanghai ones trade as XSHG.
        return "XSHE" if digits.startswith("399") else "XSHG"
    if digits[0] in "569":
        return "XSHG"
    if digits[0] in "48" or digits.startswith("92"):
        return "BJSE"
    return "XSHE"


def to_order_book_id(code: str, index: bool = False) -> str:
    """``code`` as an exchange identifier; a code in no form known here comes back as it is.

    ``index`` reads a bare code as an index's (``000300`` is then the CSI 300,
    ``000300.XSHG``, not the stock ``000300.XSHE``).
    """
    text = code.strip()
    if match := _SUFFIXED.match(text):
        return f"{match[1]}.{EXCHANGE_SUFFIXES[match[2].upper()]}"
    if match := _PREFIXED.match(text):
        return f"{match[2]}.{EXCHANGE_SUFFIXES[match[1].upper()]}"
    if _BARE.match(text):
        return f"{text}.{_exchange_of(text, index)}"
    return code
