"""Write the .pyi stubs of extension modules into python/py_narvo_pop/.

    python tools/gen_stubs.py                       # every extension module
    python tools/gen_stubs.py py_narvo_pop.weather  # only these

Run through `make stubs`, or with PYTHONPATH pointing at a dev build's stage."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stubs import extension_modules, render_stub  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent / "python"

for name in sys.argv[1:] or extension_modules():
    target = ROOT.joinpath(*name.split(".")).with_suffix(".pyi")
    target.write_text(render_stub(name))
    print(f"wrote {target.relative_to(ROOT.parent)}")
