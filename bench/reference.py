"""The plain C++ loop the native figures are measured against.

``reference_ns(cohorts, weeks)`` compiles bench/kernel_reference.cpp with
g++ -O2 into a temporary directory and returns its nanoseconds per
cohort-week (best of three runs); mode "full" adds the parous suckers,
pruning and exact totals a chain's week also computes.
"""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def reference_ns(cohorts: int, weeks: int, mode: str = "") -> float:
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "kernel_reference"
        subprocess.run(["g++", "-O2", "-std=c++17", str(HERE / "kernel_reference.cpp"), "-o", str(exe)], check=True)
        args = [str(exe), str(cohorts), str(weeks), *([mode] if mode else [])]
        return min(float(subprocess.run(args, check=True, capture_output=True, text=True).stdout.split()[0])
                   for _ in range(3))
