"""Alpha signals: tables of dates by stocks, checked for predictive power before use."""

from plovera.signals.check import SignalCheck, check_signal, wide_signal
from plovera.signals.objective import SIGNAL_OBJECTIVES, SignalObjective

__all__ = ["SIGNAL_OBJECTIVES", "SignalCheck", "SignalObjective", "check_signal", "wide_signal"]
