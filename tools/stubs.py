"""Stub rendering shared by tools/gen_stubs.py and the stub test."""

from __future__ import annotations

import importlib
import importlib.machinery
import pkgutil
import types

from nanobind.stubgen import StubGen


def extension_modules() -> list[str]:
    """Dotted names of the package's extension modules, sorted."""
    import py_narvo_pop

    names = []
    for info in pkgutil.walk_packages(py_narvo_pop.__path__, "py_narvo_pop."):
        spec = importlib.util.find_spec(info.name)
        if spec and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            names.append(info.name)
    return sorted(names)


def render_stub(name: str) -> str:
    module = importlib.import_module(name)
    assert isinstance(module, types.ModuleType)
    gen = StubGen(module, include_docstrings=True, include_private=True)
    gen.put(module)
    return gen.get()
