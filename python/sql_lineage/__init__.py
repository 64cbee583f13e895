"""Column lineage for SQL: the `sql-lineage` command and the `lineage` function."""

from pkgutil import extend_path

# A development build puts the compiled engine in <build>/sql_lineage/; with that
# build folder on the path, this package finds it there.
__path__ = extend_path(__path__, __name__)

__version__ = "0.1.0"
