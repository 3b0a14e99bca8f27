"""The shipped .pyi stubs must describe the built modules (regenerate with `make stubs`)."""

from pathlib import Path

import pytest

stubs = pytest.importorskip("stubs")

MODULES = stubs.extension_modules()


def test_every_extension_module_found():
    assert "py_narvo_pop.cohorts" in MODULES and "py_narvo_pop.exceptions" in MODULES


@pytest.mark.parametrize("name", MODULES)
def test_stub_up_to_date(name):
    import importlib

    module = importlib.import_module(name)
    shipped = Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi")
    assert shipped.exists(), f"{shipped.name} missing: run `make stubs`"
    assert shipped.read_text() == stubs.render_stub(name), f"{shipped.name} is out of date: run `make stubs`"
