"""orvtool's packages import one way: each only from the packages below it
(and from itself), so that the tree reads as the pipeline."""

import ast
from pathlib import Path

import orvtool

PACKAGE = Path(orvtool.__file__).parent
# From the bottom up; a package may import those before it.
# The private module sits with its gateway (`core.native`, which alone imports it).
LAYERS = [
    ["model"],
    ["report"],
    ["_native"],
    ["core"],
    ["formats"],
    ["load"],
    ["build", "export"],
    ["run"],
    ["view"],
    ["commands"],
]
RANK = {name: rank for rank, names in enumerate(LAYERS) for name in names}
TOP = len(LAYERS)  # cli, pillow and the package itself use any


def part(module: str) -> str:
    """The package of orvtool a dotted module name lies in ("" for the top)."""
    names = module.split(".")
    return names[1] if len(names) > 1 and names[1] in RANK else ""


def imported(tree: ast.AST) -> list[str]:
    """Every orvtool module a file imports, at any depth, but for what only
    type checkers read."""
    skipped = {
        id(n)
        for node in ast.walk(tree)
        if isinstance(node, ast.If) and getattr(node.test, "id", "") == "TYPE_CHECKING"
        for n in ast.walk(node)
    }
    found: list[str] = []
    for node in ast.walk(tree):
        if id(node) in skipped:
            continue
        if isinstance(node, ast.ImportFrom) and node.level:
            found.append("." * node.level)  # relative: refused below
        elif isinstance(node, ast.ImportFrom) and node.module == "orvtool":
            found += [f"orvtool.{a.name}" for a in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("orvtool."):
            found.append(node.module)
        elif isinstance(node, ast.Import):
            found += [a.name for a in node.names if a.name.startswith("orvtool")]
    return found


def test_every_import_points_down_the_pipeline():
    wrong = []
    for path in sorted(PACKAGE.rglob("*.py")):
        module = ".".join(["orvtool", *path.relative_to(PACKAGE).with_suffix("").parts])
        mine = part(module)
        rank = RANK.get(mine, TOP) if mine or path.parent == PACKAGE else TOP
        for target in imported(ast.parse(path.read_text(encoding="utf-8"))):
            theirs = part(target) if not target.startswith(".") else None
            if theirs is None or (theirs != mine and RANK.get(theirs, TOP) >= rank):
                wrong.append(f"{module} imports {target}")
    assert wrong == []


def test_the_top_holds_at_most_eight_modules_and_each_package_says_what_it_may_import():
    assert len([p for p in PACKAGE.glob("*.py")]) <= 8
    for name in RANK.keys() - {"_native"}:
        doc = ast.get_docstring(ast.parse((PACKAGE / name / "__init__.py").read_text(encoding="utf-8")))
        assert doc and "Imports:" in doc, name
