"""The study package's structure: one-way layers, no import loop, a declared public surface."""

import importlib
import subprocess
import sys
from pathlib import Path

import grimp
import pytest

import tarvokit

LAYERS = ["model", "engine", "data", "studies", "views", "command"]  # bottom to top
ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def graph():
    return grimp.build_graph("tarvokit")


def layer_of(module: str) -> int | None:
    parts = module.split(".")
    return LAYERS.index(parts[1]) if len(parts) > 1 and parts[1] in LAYERS else None


def test_no_module_imports_a_layer_above_its_own(graph):
    upward = []
    for module in graph.modules:
        mine = layer_of(module)
        for imported in graph.find_modules_directly_imported_by(module):
            theirs = layer_of(imported)
            if mine is not None and theirs is not None and theirs > mine:
                upward.append(f"{module} -> {imported}")
    assert upward == []


def test_the_import_graph_has_no_loop(graph):
    # Every import counts: at the top of a module, inside a function, under TYPE_CHECKING.
    edges = {m: graph.find_modules_directly_imported_by(m) for m in graph.modules}
    state: dict[str, int] = {}  # 1 on the current path, 2 done
    loops = []

    def visit(module: str, path: list[str]) -> None:
        state[module] = 1
        for imported in sorted(edges[module]):
            if imported == "tarvokit":  # the package's lazy front door
                continue
            if state.get(imported) == 1:
                loops.append(path[path.index(imported):] + [imported])
            elif imported not in state:
                visit(imported, path + [imported])
        state[module] = 2

    for module in sorted(edges):
        if module not in state:
            visit(module, [module])
    assert loops == []


def test_the_layers_contract_holds():
    completed = subprocess.run([str(Path(sys.executable).parent / "lint-imports")], cwd=ROOT,
                               capture_output=True, text=True)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "1 kept, 0 broken" in completed.stdout


@pytest.mark.parametrize("name", sorted(tarvokit.__all__))
def test_every_public_name_resolves(name):
    assert getattr(tarvokit, name) is not None


def test_importing_the_package_loads_no_layer_until_a_name_is_used():
    code = ("import sys, tarvokit; "
            "print(sorted(m for m in sys.modules if m.startswith('tarvokit.')))")
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               check=True)
    assert completed.stdout.strip() == "[]"


def test_every_layer_is_a_package_with_a_declared_surface():
    for layer in LAYERS:
        module = importlib.import_module(f"tarvokit.{layer}")
        assert module.__doc__, layer
    for layer in ("model", "engine", "data", "studies", "views"):
        module = importlib.import_module(f"tarvokit.{layer}")
        assert all(hasattr(module, name) for name in module.__all__), layer
