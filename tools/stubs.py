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
        module_spec = importlib.util.find_spec(info.name)
        if module_spec and isinstance(module_spec.loader, importlib.machinery.ExtensionFileLoader):
            names.append(info.name)
    return sorted(names)


class _StubGen(StubGen):
    """StubGen that writes a one-element tuple with its trailing comma."""

    def expr_str(self, e, abbrev=True):
        s = super().expr_str(e, abbrev)
        if s is not None and type(e) is tuple and len(e) == 1:
            s = s[:-1] + ",)"
        return s


# Attributes the interpreter adds to a class at run time (copyreg caches the
# slot names there on the first copy or pickle): not part of the interface.
_RUNTIME_ONLY = ("__slotnames__",)


def render_stub(name: str) -> str:
    module = importlib.import_module(name)
    assert isinstance(module, types.ModuleType)
    gen = _StubGen(module, include_docstrings=True, include_private=True)
    gen.put(module)
    kept: list[str] = []
    for line in gen.get().splitlines(keepends=True):
        if line.strip().split(":")[0] in _RUNTIME_ONLY:
            # stubgen sets such an attribute off with a blank line
            if kept and not kept[-1].strip():
                kept.pop()
            continue
        kept.append(line)
    return "".join(kept)
