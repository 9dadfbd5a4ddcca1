"""The packages' import graph: the product never loads the rehearsal tools, and nothing imports in a circle."""

import ast
import pathlib

import pytest

pytestmark = pytest.mark.python_side

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGES = ("quorvane_host", "quorvane_rehearsal")
# The one way in from the product: the command's entry point, for --exchange loopback, lazily.
LAZY_DOOR = ("quorvane_host.cli.main", "quorvane_rehearsal.loopback")


def module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imports(path):
    """(imported module, at module level?) for each import in the file, relative ones resolved."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    tree = ast.parse(path.read_text(), str(path))
    top = {id(node) for node in tree.body}
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(alias.name, id(node) in top) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            found += [(f"{base}.{alias.name}", id(node) in top) for alias in node.names]
            found.append((base, id(node) in top))
    return name, found


def graph():
    edges = {}
    for package in PACKAGES:
        for path in sorted((ROOT / package).rglob("*.py")):
            name, found = imports(path)
            edges[name] = found
    return edges


def known(target, edges):
    """``target`` as one of the packages' modules (a name imported from a module counts as it)."""
    while target and target not in edges:
        target = target.rpartition(".")[0]
    return target or None


def test_product_never_imports_the_rehearsal_tools():
    edges = graph()
    wrong = {(src, known(dst, edges) or dst, top) for src, found in edges.items()
             if src.startswith("quorvane_host") for dst, top in found if dst.split(".")[0] == "quorvane_rehearsal"}
    assert {(src, dst) for src, dst, _ in wrong} <= {LAZY_DOOR}
    assert not any(top for _, _, top in wrong), "the entry point imports the rehearsal tools only inside a function"


def test_no_import_circle():
    edges = graph()
    deps = {src: {known(dst, edges) for dst, top in found if top} - {None, src} for src, found in edges.items()}
    # A package's __init__ is loaded on the way to each of its modules: not an edge back.
    deps = {src: {d for d in ds if not src.startswith(d + ".")} for src, ds in deps.items()}
    state, cycle = {}, []

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(deps.get(node, ())):
            if state.get(nxt) == "open":
                cycle.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = "done"

    for node in sorted(deps):
        if node not in state:
            visit(node, [node])
    assert cycle == []


@pytest.mark.parametrize("where, planted", [
    ("quorvane_host/orders/gate.py", "from quorvane_rehearsal.exchange import Symbol\n"),
    ("quorvane_host/orders/gate.py", "def later():\n    from quorvane_rehearsal import relay\n"),
    ("quorvane_host/cli/main.py", "from quorvane_rehearsal.loopback import start_loopback\n"),
])
def test_the_check_sees_a_planted_import(tmp_path, monkeypatch, where, planted):
    for name in ("quorvane_host/orders/gate.py", "quorvane_host/cli/main.py", "quorvane_rehearsal/loopback.py"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("def start():\n    from quorvane_rehearsal.loopback import start_loopback\n"
                                     if name.endswith("main.py") else "")
    (tmp_path / where).write_text(planted)
    monkeypatch.setattr(__import__(__name__), "ROOT", tmp_path)
    with pytest.raises(AssertionError):
        test_product_never_imports_the_rehearsal_tools()
