"""Portfolio optimisation for equity research."""
