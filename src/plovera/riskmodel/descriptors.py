"""Raw style descriptors of every stock of a panel at the close of one day.

Each function reads the panel's rows up to and including the day ``end`` and
nothing after it, and returns one value per panel stock, NaN where the
stock's history is too short (the minimum histories below are our own
choice).  Returns are taken as excess returns: the panel carries no
risk-free rate, so it is zero.

The market return behind beta is the cap-weighted return of the stocks
listed for at least ``ESTU_MIN_LISTED_DAYS`` trading days, weighted by the
caps at the previous close (equal weights when the panel has no caps).
"""

from __future__ import annotations

import numpy as np

from .panel import MarketPanel

__all__ = [
    "BETA_HALF_LIFE",
    "BETA_MIN_DAYS",
    "BETA_WINDOW",
    "CMRA_MIN_DAYS",
    "CMRA_MONTHS",
    "ESTU_MIN_LISTED_DAYS",
    "GROWTH_MIN_POINTS",
    "GROWTH_POINTS",
    "MOMENTUM_HALF_LIFE",
    "MOMENTUM_LAG",
    "MOMENTUM_MIN_DAYS",
    "MOMENTUM_WINDOW",
    "MONTH",
    "QUARTER",
    "TURNOVER_WINDOWS",
    "VOLATILITY_HALF_LIFE",
    "beta_and_residual_volatility",
    "cumulative_range",
    "daily_volatility",
    "fundamental_ratios",
    "growth_trends",
    "half_life_weights",
    "log_turnover",
    "market_returns",
    "momentum",
    "size",
]

#: Trading days of a month and of a quarter.
MONTH, QUARTER = 21, 63
#: Trading days a stock must have been listed to enter the estimation universe.
ESTU_MIN_LISTED_DAYS = 60
BETA_WINDOW, BETA_HALF_LIFE, BETA_MIN_DAYS = 252, 63, 63
VOLATILITY_HALF_LIFE = 42
CMRA_MONTHS = 12
#: The cumulative range needs quotes over most of its year to mean anything.
CMRA_MIN_DAYS = 189
MOMENTUM_WINDOW, MOMENTUM_LAG, MOMENTUM_HALF_LIFE, MOMENTUM_MIN_DAYS = 504, 21, 126, 126
#: Quarterly points of the five-year growth trends, and how many must be present.
GROWTH_POINTS, GROWTH_MIN_POINTS = 20, 8
#: Turnover windows (trading days) of the liquidity descriptors.
TURNOVER_WINDOWS = (MONTH, QUARTER, 252)


def half_life_weights(length: int, half_life: float) -> np.ndarray:
    """Weights of ``length`` days, oldest first: a day aged a weighs 0.5^(a / half_life)."""
    age = np.arange(length - 1, -1, -1, dtype=np.float64)
    return 0.5 ** (age / half_life)


def _window(values: np.ndarray, end: int, length: int) -> np.ndarray:
    """Rows end-length+1 .. end of ``values``, NaN rows standing in before the first."""
    first = end + 1 - length
    if first >= 0:
        return values[first : end + 1]
    pad = np.full((-first, values.shape[1]), np.nan)
    return np.vstack([pad, values[: end + 1]])


def market_returns(panel: MarketPanel) -> np.ndarray:
    """Daily return of the market (T), NaN on a day no listed stock is quoted."""
    returns = panel.returns
    day = np.arange(panel.n_days)[:, None]
    seasoned = day + 1 - panel.listing_position[None, :] >= ESTU_MIN_LISTED_DAYS
    cap = panel.weighting_cap
    if cap is None:
        weight = np.ones_like(returns)
    else:
        weight = np.vstack([np.full((1, panel.n_stocks), np.nan), cap[:-1]])
    use = seasoned & np.isfinite(returns) & np.isfinite(weight) & (weight > 0)
    weight = np.where(use, weight, 0.0)
    total = weight.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(
            total > 0, (weight * np.where(use, returns, 0.0)).sum(axis=1) / total, np.nan
        )


def beta_and_residual_volatility(
    panel: MarketPanel, market: np.ndarray, end: int
) -> tuple[np.ndarray, np.ndarray]:
    """Beta (slope of the weighted regression on the market) and its residual volatility."""
    returns = _window(panel.returns, end, BETA_WINDOW)
    m = _window(market[:, None], end, BETA_WINDOW)[:, 0]
    present = np.isfinite(m)
    m = np.where(present, m, 0.0)
    valid = np.isfinite(returns) & present[:, None]
    # Weighted sums over each stock's valid days, as vector-matrix products.
    w = half_life_weights(BETA_WINDOW, BETA_HALF_LIFE)
    shown = valid.astype(np.float64)
    y = np.where(valid, returns, 0.0)
    s_w, s_x, s_xx = w @ shown, (w * m) @ shown, (w * m * m) @ shown
    s_y, s_xy, s_yy = w @ y, (w * m) @ y, w @ (y * y)
    enough = valid.sum(axis=0) >= BETA_MIN_DAYS
    with np.errstate(invalid="ignore", divide="ignore"):
        spread = s_w * s_xx - s_x * s_x
        beta = (s_w * s_xy - s_x * s_y) / spread
        alpha = (s_y - beta * s_x) / s_w
        residual = (
            s_yy
            - 2 * alpha * s_y
            - 2 * beta * s_xy
            + alpha * alpha * s_w
            + 2 * alpha * beta * s_x
            + beta * beta * s_xx
        ) / s_w
    ok = enough & (spread > 0)
    return np.where(ok, beta, np.nan), np.where(ok, np.sqrt(np.maximum(residual, 0.0)), np.nan)


def daily_volatility(panel: MarketPanel, end: int) -> np.ndarray:
    """Exponentially weighted standard deviation of daily returns over a year."""
    returns = _window(panel.returns, end, BETA_WINDOW)
    valid = np.isfinite(returns)
    w = half_life_weights(BETA_WINDOW, VOLATILITY_HALF_LIFE)
    y = np.where(valid, returns, 0.0)
    s_w = w @ valid.astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = (w @ y) / s_w
        variance = (w @ (y * y)) / s_w - mean * mean
    enough = valid.sum(axis=0) >= BETA_MIN_DAYS
    return np.where(enough, np.sqrt(np.maximum(variance, 0.0)), np.nan)


def _quoted(panel: MarketPanel, end: int, length: int) -> np.ndarray:
    """Quoted days of each stock among the ``length`` days that end with ``end``."""
    counts = panel.quoted_count
    return counts[end + 1] - counts[max(end + 1 - length, 0)]


def cumulative_range(panel: MarketPanel, end: int) -> np.ndarray:
    """Range of the cumulative log returns over the last 1 to 12 months (21-day months)."""
    length = CMRA_MONTHS * MONTH
    log_returns = np.nan_to_num(_window(panel.log_returns, end, length))
    monthly = log_returns.reshape(CMRA_MONTHS, MONTH, -1).sum(axis=1)
    cumulative = np.cumsum(monthly[::-1], axis=0)  # the latest month first
    enough = _quoted(panel, end, length) >= CMRA_MIN_DAYS
    return np.where(enough, cumulative.max(axis=0) - cumulative.min(axis=0), np.nan)


def momentum(panel: MarketPanel, end: int) -> np.ndarray:
    """Weighted sum of log returns over two years, the latest month left out."""
    last = end - MOMENTUM_LAG
    if last < 0:
        return np.full(panel.n_stocks, np.nan)
    first = max(last + 1 - MOMENTUM_WINDOW, 0)
    weight = half_life_weights(MOMENTUM_WINDOW, MOMENTUM_HALF_LIFE)[
        MOMENTUM_WINDOW - (last + 1 - first) :
    ]
    value = weight @ panel.log_returns[first : last + 1]
    enough = _quoted(panel, last, MOMENTUM_WINDOW) >= MOMENTUM_MIN_DAYS
    return np.where(enough, value, np.nan)


def size(panel: MarketPanel, end: int) -> np.ndarray:
    """Log of the total market cap."""
    cap = panel.cap_total[end]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(cap > 0, np.log(cap), np.nan)


def log_turnover(panel: MarketPanel, end: int) -> list[np.ndarray]:
    """Log of the monthly share turnover averaged over one, three and twelve months.

    The mean over traded days, so that suspensions do not read as illiquidity;
    a window needs a third of its days traded (at most 20).
    """
    out = []
    for length in TURNOVER_WINDOWS:
        turnover = _window(panel.turnover, end, length)
        traded = np.isfinite(turnover) & (turnover > 0)
        count = traded.sum(axis=0)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(traded, turnover, 0.0).sum(axis=0) / count
            out.append(np.where(count >= min(length // 3, 20), np.log(MONTH * mean), np.nan))
    return out


def fundamental_ratios(panel: MarketPanel, end: int) -> dict[str, np.ndarray]:
    """Descriptors from the latest announced fundamentals and the cap; fields lacking are left out.

    earnings_to_price, cash_flow_to_price, book_to_price, market_leverage,
    debt_to_assets, book_leverage.  Ratios over a non-positive book value or
    total assets are undefined and NaN.
    """
    fundamentals = panel.fundamentals
    known = fundamentals.at(end)
    values = {name: known[:, k] for k, name in enumerate(fundamentals.fields)}
    cap = panel.cap_total[end]
    cap = np.where(cap > 0, cap, np.nan)
    out = {}
    with np.errstate(invalid="ignore", divide="ignore"):
        if "ttm_earnings" in values:
            out["earnings_to_price"] = values["ttm_earnings"] / cap
        if "ttm_operating_cash_flow" in values:
            out["cash_flow_to_price"] = values["ttm_operating_cash_flow"] / cap
        book = values.get("book_value")
        debt = values.get("total_debt")
        if book is not None:
            out["book_to_price"] = book / cap
        if debt is not None:
            out["market_leverage"] = (cap + debt) / cap
            if "total_assets" in values:
                assets = values["total_assets"]
                out["debt_to_assets"] = np.where(assets > 0, debt / assets, np.nan)
            if book is not None:
                out["book_leverage"] = np.where(book > 0, (book + debt) / book, np.nan)
    return out


def growth_trends(panel: MarketPanel, end: int) -> dict[str, np.ndarray]:
    """Five-year trends of sales and earnings per share: slope on time over the mean.

    Per-share values come from quarterly points: the value known then, times
    the price over the cap then (shares up to a constant of the stock, which
    the ratio of slope and mean does not see).  The mean is taken of absolute
    values, so that losses do not flip or blow up the trend.
    """
    fundamentals = panel.fundamentals
    wanted = {"sales_growth": "ttm_sales", "earnings_growth": "ttm_earnings"}
    wanted = {name: f for name, f in wanted.items() if f in fundamentals.fields}
    if not wanted:
        return {}
    days = end - QUARTER * np.arange(GROWTH_POINTS)
    days = days[days >= 0]
    columns = [fundamentals.fields.index(f) for f in wanted.values()]
    known = np.stack([fundamentals.at(int(day))[:, columns] for day in days])  # P × N × F
    with np.errstate(invalid="ignore", divide="ignore"):
        per_cap = np.exp(panel.log_price[days]) / np.where(
            panel.cap_total[days] > 0, panel.cap_total[days], np.nan
        )
        per_share = known * per_cap[:, :, None]
    years = -np.arange(len(days), dtype=np.float64)[:, None, None] / 4.0
    present = np.isfinite(per_share)
    count = present.sum(axis=0)
    y = np.where(present, per_share, 0.0)
    x = np.where(present, years, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        x_mean = x.sum(axis=0) / count
        y_mean = y.sum(axis=0) / count
        slope = ((x - x_mean) * (y - y_mean) * present).sum(axis=0) / (
            ((x - x_mean) ** 2 * present).sum(axis=0)
        )
        scale = (np.abs(y) * present).sum(axis=0) / count
        trend = np.where((count >= GROWTH_MIN_POINTS) & (scale > 0), slope / scale, np.nan)
    return {name: trend[:, k] for k, name in enumerate(wanted)}
