"""Market data for plovera: instruments, calendar, prices, index weights."""
