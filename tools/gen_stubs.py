"""Write the .pyi stubs of every extension module of the installed package
into python/py_narvo_pop/ (run through `make stubs`)."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stubs import extension_modules, render_stub  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent / "python"

for name in extension_modules():
    target = ROOT.joinpath(*name.split(".")).with_suffix(".pyi")
    target.write_text(render_stub(name))
    print(f"wrote {target.relative_to(ROOT.parent)}")
