"""Exceptions and warnings raised by plovera."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning"]


class InvalidArgument(Exception):
    """An argument was refused; the message names the bad value."""


class OptimizationFailed(Exception):
    """The solver found no solution; the argument is the solve's result or "failed"."""


class OptimizerWarning(Warning):
    """Something odd that the optimisation worked around."""
