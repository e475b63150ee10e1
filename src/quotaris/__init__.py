"""Market data for plovera."""
