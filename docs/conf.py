"""Sphinx configuration of the documentation site (`./dev docs`)."""

import os
import re
import shutil
import sys
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# Files that scripts/build_docs.py makes before the build (pictures, the
# stubs laid out as a package) live outside the source folder.
GENERATED = Path(os.environ.get("ORV_DOCS_GENERATED", ROOT / "build" / "docs-generated"))

project = "pyorv and orvtool"
author = "the pyorv developers"
release = version = metadata.version("pyorv")
copyright = "the pyorv developers"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
    "autoapi.extension",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_generated/*.md"]  # included by the pages
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]


def _installed_stubs() -> Path:
    """The `pyorv` stubs as installed with the module (PEP 561), copied under
    the module's own name so that autoapi documents them as `pyorv`."""
    files = metadata.files("pyorv") or []
    for f in files:
        if str(f).replace("\\", "/").endswith("pyorv-stubs/__init__.pyi"):
            source = Path(str(f.locate()))
            break
    else:
        raise RuntimeError("the pyorv stubs are not installed with the module")
    target = GENERATED / "stubs" / "pyorv"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(source, target / "__init__.pyi")
    return target


autoapi_dirs = [str(_installed_stubs())]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "reference/generated"
autoapi_add_toctree_entry = False
autoapi_options = ["members", "undoc-members", "show-module-summary", "imported-members"]
autoapi_keep_files = False

autodoc_member_order = "bysource"
autodoc_typehints = "description"
# Types from outside the project: there is no inventory to link them to offline.
nitpick_ignore_regex = [
    ("py:class", r"(os|typing|collections\.abc|numpy|np|numpy\.typing|PIL|PIL\..*)\..*"),
    ("py:class", r"Image\..*"),
    ("py:class", r"(NDArray|Image|ImageFile|Any|_Int|_Text|SupportsInt|SupportsIndex|Iterable|Rendered)"),
    ("py:class", r"pyorv\._(Int|Text)"),
    ("py:.*", r"_.*"),
]

html_theme = "furo"
html_title = f"pyorv {version}"
html_static_path: list = []
html_extra_path: list = []
html_last_updated_fmt = None
html_copy_source = False
html_show_sourcelink = False
html_theme_options = {"footer_icons": [], "top_of_page_buttons": []}
suppress_warnings = ["myst.xref_missing"] if os.environ.get("ORV_DOCS_LAX") else []
sys.path.insert(0, str(HERE))


def _docstring_as_code(app: object, what: str, name: str, obj: object, options: object, lines: list) -> None:
    """The docstrings are written for `help()` and editors: `name` is code,
    and a lone `*` is multiplication, not emphasis."""
    for i, line in enumerate(lines):
        line = re.sub(r"(?<![`:])`([^`]+)`(?!`)", r"``\1``", line)
        lines[i] = re.sub(r"(?<=\s)\*(?=\s)", r"\\*", line)


def setup(app: object) -> None:
    app.connect("autodoc-process-docstring", _docstring_as_code)  # type: ignore[attr-defined]
