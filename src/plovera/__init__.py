"""plovera: portfolio optimisation for equity research.

One import gives the user-facing names; the compiled modules behind them (and
cvxpy with them) load on first use, so the data tools start quickly.
"""

from importlib import import_module

_EXPORTS = {
    "portfolio_optimize": "plovera.optimize",
    "OptimizationObjective": "plovera.objective",
    "MinVariance": "plovera.objective",
    "MeanVariance": "plovera.objective",
    "RiskParity": "plovera.objective",
    "MinTrackingError": "plovera.objective",
    "MaxInformationRatio": "plovera.objective",
    "MaxSharpeRatio": "plovera.objective",
    "MaxIndicator": "plovera.objective",
    "MinStyleDeviation": "plovera.objective",
    "OptimizeBenchmark": "plovera.benchmark",
    "IndexBenchmark": "plovera.benchmark",
    "OptimizationConstraint": "plovera.constraints",
    "TrackingErrorLimit": "plovera.constraints",
    "TurnoverLimit": "plovera.constraints",
    "BenchmarkComponentWeightLimit": "plovera.constraints",
    "IndustryConstraint": "plovera.constraints",
    "WildcardIndustryConstraint": "plovera.constraints",
    "StyleConstraint": "plovera.constraints",
    "WildcardStyleConstraint": "plovera.constraints",
    "MaxHoldings": "plovera.holdings",
    "MinPosition": "plovera.holdings",
    "HoldingsReport": "plovera.holdings",
    "AShareCosts": "plovera.trading",
    "TransactionCostLimit": "plovera.trading",
    "TransactionCostPenalty": "plovera.trading",
    "TradingRestriction": "plovera.trading",
    "Orders": "plovera.trading",
    "to_orders": "plovera.trading",
    "risk_report": "plovera.report",
    "RiskReport": "plovera.report",
    "Strategy": "plovera.backtest",
    "run_backtest": "plovera.backtest",
    "run_backtests": "plovera.backtest",
    "BacktestResult": "plovera.backtest",
    "BacktestError": "plovera.backtest",
    "CovModel": "plovera.const",
    "IndustryClassification": "plovera.const",
    "STYLE_FACTORS": "plovera.const",
    "InvalidArgument": "plovera.exception",
    "OptimizationFailed": "plovera.exception",
    "OptimizerWarning": "plovera.exception",
    "diagnose": "plovera.diagnosis",
    "Diagnosis": "plovera.diagnosis",
}

# Subpackages and modules reachable as attributes (plovera.backtest), loaded
# on first use like the names above.
_SUBMODULES = frozenset(
    {
        "backtest",
        "benchmark",
        "const",
        "constraints",
        "diagnosis",
        "exception",
        "helper",
        "holdings",
        "objective",
        "optimize",
        "prepared",
        "report",
        "riskmodel",
        "trading",
    }
)

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    if name in _SUBMODULES:
        return import_module(f"plovera.{name}")
    try:
        module = _EXPORTS[name]
    except KeyError:
        raise AttributeError(f"module 'plovera' has no attribute {name!r}") from None
    value = getattr(import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__) | _SUBMODULES)
