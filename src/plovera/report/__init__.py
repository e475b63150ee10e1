"""Risk reports: where a portfolio's risk comes from, by stock, factor and group."""

from .core import NET_TOLERANCE, TABLES, RiskDecomposition, RiskReport, risk_report

__all__ = ["NET_TOLERANCE", "TABLES", "RiskDecomposition", "RiskReport", "risk_report"]
