"""Checksummed binary table frames for NumPy columns."""

__version__ = "0.1.0"
