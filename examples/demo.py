"""Prints the cleaned text and the column lineage of the SQL files named on the command line."""

import sys

from querimo_main import VexloParseMain


def main(paths):
    front_end = VexloParseMain()
    for path in paths:
        with open(path, encoding="utf-8") as handle:
            sql = handle.read()
        print(f"-- {path}, cleaned:")
        print(front_end._re_hint(sql))
        print(f"-- lineage:")
        print(f"{'database':<10} {'table':<12} {'source column':<15} output column")
        for record in front_end._parse_sql(sql):
            database = record.database if record.database is not None else "-"
            print(f"{database:<10} {record.table:<12} {record.src:<15} {record.tgt}")


if __name__ == "__main__":
    main(sys.argv[1:])
