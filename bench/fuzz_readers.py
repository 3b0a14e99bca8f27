"""Fuzzing figures for the field-file readers: many generated files (.csv,
.xlsx, .xls; free headers and headers of known columns) through every reader
and from_file, and a table of outcomes per reader. An outcome marked with '!'
is an error outside the documented ones (a fault to fix).

    PYTHONPATH=<stage> python bench/fuzz_readers.py [files per kind]
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from test_fuzz_readers import outcome_table  # noqa: E402


def main() -> None:
    per_kind = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    started = time.perf_counter()
    record, files = outcome_table(per_kind)
    seconds = time.perf_counter() - started
    print(f"pandas {pd.__version__}: {files} files, {seconds:.1f} s")
    unexpected = 0
    for target, outcomes in record.items():
        total = sum(outcomes.values())
        print(f"\n{target}: {total} cases")
        for kind, count in outcomes.most_common():
            print(f"  {count:6d}  {kind}")
            if kind.startswith("!"):
                unexpected += count
    print(f"\nundocumented errors: {unexpected}")


if __name__ == "__main__":
    main()
