"""The fundamental factor risk model: exposures, factor returns, covariance, specific risk."""
