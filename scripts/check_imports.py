"""Check the morvex package's import graph: no cycle, and the run layer's one-way rules.

    python scripts/check_imports.py [--edges] [--package DIR]   # exit 1 on a violation

Every import of a morvex module counts, at the top of a file or inside a function (an import
placed in a function to let a circle load is still a circle); imports only for type checkers
(under ``if TYPE_CHECKING:``) do not. Rules besides "no cycle":
  - nothing under morvex/run imports a front door (correlate, sequence, cli, job, the app,
    demo);
  - a front door enters the run layer only through run/plan, run/execute and run/watch (the
    watched run, which the job starts as it starts run_sequence);
  - only morvex/run/execute.py imports dask or distributed;
  - the worker side (every other module of morvex/run) imports neither run/execute nor
    run/watch, so a task never drags the client's side onto a worker.
"""

from __future__ import annotations

import ast
import pathlib
import sys

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "morvex"
FRONT_DOORS = {"morvex.correlate", "morvex.sequence", "morvex.cli", "morvex.job",
               "morvex.app", "morvex.demo"}
RUN_ENTRIES = {"morvex.run.plan", "morvex.run.execute", "morvex.run.watch"}
CLIENT_SIDE = {"morvex.run.execute", "morvex.run.watch"}
BACKENDS = {"dask", "distributed"}


def _within(name: str, rooms: set[str]) -> bool:
    """Whether module `name` is one of `rooms` or inside one (morvex.app.views)."""
    return any(name == room or name.startswith(room + ".") for room in rooms)


def module_name(path: pathlib.Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _is_type_checking(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def imports_of(path: pathlib.Path, modules: set[str]) -> tuple[set[str], set[str]]:
    """(morvex modules, other top-level packages) that the file at `path` imports."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
    inside: set[str] = set()
    outside: set[str] = set()

    def visit(node: ast.AST) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and _is_type_checking(child):
                for other in child.orelse:
                    visit(other)
                continue
            if isinstance(child, ast.Import):
                for alias in child.names:
                    add(alias.name)
            elif isinstance(child, ast.ImportFrom):
                base = child.module or ""
                if child.level:
                    anchor = package.split(".")
                    anchor = anchor[:len(anchor) - (child.level - 1)]
                    base = ".".join(anchor + ([base] if base else []))
                add(base)
                for alias in child.names:  # `from . import tasks` names a module
                    if f"{base}.{alias.name}" in modules:
                        add(f"{base}.{alias.name}")
            visit(child)

    def add(target: str) -> None:
        if target.split(".")[0] == "morvex":
            while target not in modules and "." in target:
                target = target.rsplit(".", 1)[0]
            if target in modules and target != name:
                inside.add(target)
        elif target:
            outside.add(target.split(".")[0])

    visit(ast.parse(path.read_text(), str(path)))
    return inside, outside


def graph() -> tuple[dict[str, set[str]], dict[str, set[str]]]:
    files = sorted(PACKAGE.rglob("*.py"))
    modules = {module_name(f) for f in files}
    edges, external = {}, {}
    for file in files:
        edges[module_name(file)], external[module_name(file)] = imports_of(file, modules)
    # A package's __init__ is imported with any of its modules: an edge from a module to a
    # package that contains it makes no cycle of its own (every module of morvex "imports"
    # morvex).
    for source, targets in edges.items():
        edges[source] = {t for t in targets if not source.startswith(t + ".")}
    return edges, external


def cycles(edges: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components with more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []
    counter = [0]

    def connect(node: str) -> None:
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for target in edges.get(node, ()):
            if target not in index:
                connect(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for node in sorted(edges):
        if node not in index:
            connect(node)
    return found


def violations(edges: dict[str, set[str]], external: dict[str, set[str]]) -> list[str]:
    problems = [f"import cycle: {' -> '.join(c)}" for c in cycles(edges)]
    for source, targets in sorted(edges.items()):
        if _within(source, {"morvex.run"}):
            for door in sorted(t for t in targets if _within(t, FRONT_DOORS)):
                problems.append(f"{source} imports the front door {door}")
            if source not in CLIENT_SIDE:
                for client in sorted(targets & CLIENT_SIDE):
                    problems.append(f"{source} imports {client}: the worker side knows "
                                    "neither execute nor watch")
        if _within(source, FRONT_DOORS):
            for room in sorted(t for t in targets
                               if t.startswith("morvex.run.") and t not in RUN_ENTRIES):
                problems.append(f"{source} imports {room}: front doors enter the run layer "
                                "through run.plan, run.execute and run.watch")
    for source, packages in sorted(external.items()):
        for backend in sorted(packages & BACKENDS):
            if source != "morvex.run.execute":
                problems.append(f"{source} imports {backend}: only morvex.run.execute knows "
                                "the backend")
    return problems


def main(argv: list[str]) -> int:
    global PACKAGE
    if "--package" in argv:
        PACKAGE = pathlib.Path(argv[argv.index("--package") + 1]).resolve()
    edges, external = graph()
    if "--edges" in argv:
        for source in sorted(edges):
            for target in sorted(edges[source]):
                print(f"{source} -> {target}")
    problems = violations(edges, external)
    print(f"{sum(len(t) for t in edges.values())} import edges between {len(edges)} modules; "
          f"{len(problems)} problem(s)")
    for problem in problems:
        print(f"  {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
