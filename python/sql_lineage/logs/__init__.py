"""Query logs: the lineage of every statement in a warehouse's query history.

Logs (CSV, JSON lines, Parquet) are cut into partitions that worker processes
(a local pool or Dask) read, analyse and write on their own; repeated statement
shapes are analysed once per worker. The results are Parquet datasets, a SQLite
or DuckDB lineage database, or the command's CSV / JSON rows.
"""
