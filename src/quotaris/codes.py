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
import warnings

import numpy as np
import pandas as pd

from quotaris.source import QuotarisWarning

__all__ = [
    "EXCHANGE_SUFFIXES",
    "EXPECTED_FORM",
    "ORDER_BOOK_ID",
    "CodeReader",
    "code_text",
    "to_order_book_id",
]

#: How identifiers are written, for messages about codes in other forms.
EXPECTED_FORM = "identifiers are written as 600000.XSHG, 000001.XSHE, 830799.BJSE"

#: The suffixes other sources use, and the exchange each stands for.
EXCHANGE_SUFFIXES = {"SH": "XSHG", "SS": "XSHG", "SZ": "XSHE", "BJ": "BJSE"}

#: An A-share or index identifier as the market data writes it.
ORDER_BOOK_ID = re.compile(r"^\d{6}\.(XSHG|XSHE|BJSE)$")

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


def code_text(column: pd.Series) -> list[str]:
    """Identifier cells as text; whole numbers (a code read as a number lost its
    leading zeros) as six digits."""
    if pd.api.types.is_integer_dtype(column.dtype):
        return [f"{value:06d}" for value in column.tolist()]
    return ["" if pd.isna(value) else str(value) for value in column.tolist()]


class CodeReader:
    """Reads identifiers written as other sources write them (``600000.SH``, bare six
    digits) as the instruments' own, and says once which it converted."""

    def __init__(self, known: set[str] | None = None) -> None:
        self.known: set[str] = set(known or ())
        self.converted: dict[str, str] = {}

    def of_instruments(self, frame: pd.DataFrame) -> pd.DataFrame:
        if "order_book_id" not in frame.columns:
            return frame  # refused, naming the column, by the instruments' checks
        index = (
            frame["type"].astype(str).str.strip().eq("INDX").to_numpy()
            if "type" in frame.columns
            else np.zeros(len(frame), dtype=bool)
        )
        raw = code_text(frame["order_book_id"])
        ids = [
            self._convert(code, to_order_book_id(code, flag))
            for code, flag in zip(raw, index, strict=True)
        ]
        return frame.assign(order_book_id=ids)

    def of_table(self, frame: pd.DataFrame) -> pd.DataFrame:
        """``frame`` with its ``order_book_id`` and ``index_id`` columns read."""
        for column in ("order_book_id", "index_id"):
            if column in frame.columns:
                # The same six digits may be a stock and an index: the column says which.
                index = column == "index_id"
                raw = code_text(frame[column])
                lookup = {code: self.resolve(code, index) for code in dict.fromkeys(raw)}
                frame = frame.assign(**{column: [lookup[code] for code in raw]})
        return frame

    def resolve(self, code: str, index: bool = False) -> str:
        """The known identifier ``code`` stands for, or ``code`` as written when none is
        known (for the caller to refuse, naming it as written)."""
        if code in self.known:
            return code
        for candidate in (to_order_book_id(code, index), to_order_book_id(code, not index)):
            if candidate in self.known:
                return self._convert(code, candidate)
        return code

    def _convert(self, code: str, order_book_id: str) -> str:
        if order_book_id != code:
            self.converted.setdefault(code, order_book_id)
        return order_book_id

    def notify(self, stacklevel: int = 3) -> None:
        """Warn once of the codes converted so far, with a few examples."""
        if not self.converted:
            return
        examples = ", ".join(f"{code} → {oid}" for code, oid in list(self.converted.items())[:3])
        warnings.warn(
            f"read {len(self.converted)} codes written in other forms as exchange identifiers "
            f"(such as {examples}); {EXPECTED_FORM}",
            QuotarisWarning,
            stacklevel=stacklevel,
        )
