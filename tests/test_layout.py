"""The package's import graph: no module imports one of a higher layer, and
no modules import each other round in a circle (lazy imports count too: a
circle broken by a late import is still one)."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "vantor"
# Lowest first; a module may import its own layer and those below.
LAYERS = [
    {"vantor.errors", "vantor.bindings", "vantor.net", "vantor._service_settings", "vantor.extras", "vantor.runner"},
    {"vantor.tools"},
    {"vantor.services"},
    {"vantor.recap", "vantor.transcripts", "vantor.interchange"},
    {"vantor.batch", "vantor.studio", "vantor.demo", "vantor.doctor"},
    {"vantor.commands"},
    {"vantor.cli", "vantor.launch", "vantor.__main__", "vantor"},
]


def _modules() -> dict[str, tuple[Path, bool]]:
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = ("vantor",) + path.relative_to(PACKAGE).with_suffix("").parts
        package = parts[-1] == "__init__"
        found[".".join(parts[:-1] if package else parts)] = (path, package)
    return found


def _submodule(name: str, modules: dict[str, tuple[Path, bool]]) -> str | None:
    # The engine and the settings are built, not in the tree: leaves below every layer.
    return name if name in modules or name in ("vantor.vantor", "vantor._service_settings") else None


def import_graph() -> dict[str, set[str]]:
    modules, graph = _modules(), {}
    for name, (path, package) in modules.items():
        here = name if package else name.rpartition(".")[0]
        wanted = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                wanted |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = here.split(".")[:len(here.split(".")) - node.level + 1] if node.level else []
                module = ".".join(base + ([node.module] if node.module else []))
                wanted |= {_submodule(f"{module}.{a.name}", modules) or module for a in node.names}
        graph[name] = {m for m in wanted if m in modules and m != name}
    return graph


def _layer(module: str) -> int:
    # "vantor" is the package's facade alone; any other name covers its submodules.
    matches = [(len(n), i) for i, names in enumerate(LAYERS) for n in names
               if module == n or (n != "vantor" and module.startswith(n + "."))]
    assert matches, f"{module} belongs to no layer; add it to LAYERS"
    return max(matches)[1]


def circles(graph: dict[str, set[str]]) -> list[set[str]]:
    """Each set of modules that reach each other through their imports."""
    reach = {m: set() for m in graph}
    for start in graph:
        todo = list(graph[start])
        while todo:
            m = todo.pop()
            if m not in reach[start]:
                reach[start].add(m)
                todo.extend(graph[m])
    groups = {frozenset({m} | {o for o in reach[m] if m in reach[o]}) for m in graph if m in reach[m]}
    return [set(g) for g in groups]


def test_no_module_imports_a_higher_layer_nor_imports_round_in_a_circle():
    graph = import_graph()
    upward = sorted(f"{a} -> {b}" for a, deps in graph.items() for b in deps if _layer(b) > _layer(a))
    assert upward == []
    assert circles(graph) == []


def test_the_check_sees_an_upward_import_and_a_circle():
    graph = {"vantor.tools": {"vantor.recap.checks.preflight"}, "vantor.recap.checks.preflight": {"vantor.tools"}}
    assert (_layer("vantor.tools"), _layer("vantor.recap.checks.preflight"), _layer("vantor")) == (1, 3, 6)
    with pytest.raises(AssertionError, match="no layer"):
        _layer("vantor.newcomer")
    assert circles(graph) == [{"vantor.tools", "vantor.recap.checks.preflight"}]
    assert circles({"a": {"b"}, "b": set()}) == []


def test_the_recap_is_in_its_rooms():
    # Users import the API from vantor.recap; everything else has its room.
    recap = PACKAGE / "recap"
    assert sorted(p.name for p in recap.glob("*.py")) == ["__init__.py", "api.py"]
    rooms = sorted(p.name for p in recap.iterdir() if p.is_dir() and p.name != "__pycache__")
    assert rooms == ["captions", "checks", "engine", "fit", "framing", "sound", "timeline"]
    assert all((recap / room / "__init__.py").is_file() for room in rooms)
