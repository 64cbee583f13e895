"""Command-line column lineage for SQL files, built on the querimo_main extension."""

__version__ = "0.1.0"
