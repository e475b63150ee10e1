"""Alpha signals: tables of dates by stocks, checked for predictive power before use."""

from plovera.signals.check import SignalCheck, check_signal, wide_signal

__all__ = ["SignalCheck", "check_signal", "wide_signal"]
