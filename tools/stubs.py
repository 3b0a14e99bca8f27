"""Stub rendering shared by tools/gen_stubs.py and the stub test."""

from __future__ import annotations

import importlib
import importlib.machinery
import pkgutil
import re
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


# Containers whose stub annotation is derived from the value they hold.
_CONTAINERS = (tuple, list, dict, set, frozenset)

# A container type left bare in an annotation (nanobind writes nb::tuple,
# nb::dict, nb::list as `tuple`, `dict`, `list`), not already subscripted. It
# is an annotation when it follows `->`, `:`, `|` or `[`, or `,` inside
# brackets; elsewhere the word is a parameter's name.
_BARE_CONTAINER = re.compile(r"\b(tuple|dict|list|set|frozenset)\b(?![\[.\w])")
_ANNOTATION_BEFORE = ("-> ", ": ", "| ", "[")
_ANY_ARGS = {"tuple": "{}, ...", "dict": "{0}, {0}", "list": "{}", "set": "{}", "frozenset": "{}"}


class _StubGen(StubGen):
    """StubGen with the fixes strict type checkers need.

    - a one-element tuple keeps its trailing comma;
    - a bare container type in a signature holds `Any`: `tuple[Any, ...]`;
    - a container constant is annotated with its element types (derived from
      the value: `tuple[str, ...]`, `dict[str, float]`), not a bare `tuple`;
    - an unhashable class (`__hash__ = None`) declares `__hash__` as the
      builtin unhashable containers do;
    - a class's `__match_args__` is written unannotated with its full value,
      so checkers infer the literal names that class patterns need;
    - the dataclass field table is typed as dataclasses types it; its
      parameters object has no public type and is left out.
    """

    def expr_str(self, e, abbrev=True):
        s = super().expr_str(e, abbrev)
        if s is not None and type(e) is tuple and len(e) == 1:
            s = s[:-1] + ",)"
        return s

    def simplify_types(self, s):
        s = super().simplify_types(s)

        def parametrise(m):
            name, before = m.group(1), s[: m.start()]
            in_brackets = before.count("[") > before.count("]")
            if not (before.endswith(_ANNOTATION_BEFORE) or (in_brackets and before.endswith(", "))):
                return name
            return f"{name}[{_ANY_ARGS[name].format(self.bind('typing', 'Any'))}]"

        return _BARE_CONTAINER.sub(parametrise, s)

    def value_type_str(self, value) -> str:
        """The annotation of `value`, with element types for containers."""
        tp = type(value)
        if tp not in _CONTAINERS:
            return self.type_str(tp)
        if tp is dict:
            if not value:
                return self.type_str("dict[typing.Any, typing.Any]")
            return (f"dict[{self.union_str(value.keys())}, "
                    f"{self.union_str(value.values())}]")
        if not value:
            return "tuple[()]" if tp is tuple else self.type_str(f"{tp.__name__}[typing.Any]")
        args = self.union_str(value)
        return f"tuple[{args}, ...]" if tp is tuple else f"{tp.__name__}[{args}]"

    def union_str(self, values) -> str:
        # Sorted for sets, whose iteration order varies from run to run.
        names = {self.value_type_str(v): None for v in values}
        return " | ".join(sorted(names) if len(names) > 1 else names)

    def put_value(self, value, name, parent=None, abbrev=True):
        in_class = isinstance(parent, type)
        if in_class and name == "__hash__" and value is None:
            classvar = self.type_str("typing.ClassVar")
            self.write_ln(f"__hash__: {classvar}[None]  # type: ignore[assignment]\n")
        elif in_class and name == "__dataclass_fields__":
            self.bind("dataclasses")
            annotation = self.type_str(
                "typing.ClassVar[dict[str, dataclasses.Field[typing.Any]]]")
            self.write_ln(f"__dataclass_fields__: {annotation} = ...\n")
        elif in_class and name == "__dataclass_params__":
            pass
        elif in_class and name == "__match_args__" and type(value) is tuple:
            self.write_ln(f"__match_args__ = {self.expr_str(value, abbrev=False)}\n")
        elif type(value) in _CONTAINERS:
            value_str = self.expr_str(value, abbrev) or "..."
            self.write_ln(f"{name}: {self.value_type_str(value)} = {value_str}\n")
        else:
            super().put_value(value, name, parent, abbrev)


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
