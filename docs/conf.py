"""Sphinx configuration of vexal's documentation site (`scripts/docs` builds it)."""
import os
import re
import subprocess
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent

project = "vexal"
author = "the vexal developers"
copyright = "the vexal developers"

try:
    from importlib.metadata import version as _version

    release = _version("vexal")
except Exception:  # a source tree without the package installed
    release = "0+unknown"
version = release

extensions = [
    "myst_nb",  # Markdown pages (myst-parser) and notebooks executed during the build
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",  # MathJax 3 copied into _static: no network needed to read the equations
]

# Getting started takes the README's first steps (one level up) by {include}; executed
# notebooks' leftovers are not pages.
exclude_patterns = ["_build", "requirements.txt", "jupyter_execute", "**.ipynb_checkpoints"]
source_suffix = {".md": "myst-nb", ".ipynb": "myst-nb", ".rst": "restructuredtext"}
root_doc = "index"

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

# Notebooks are stored without outputs and run on every build, so a tutorial
# that no longer runs fails the build.
nb_execution_mode = "force"
nb_execution_timeout = 300
nb_execution_raise_on_error = True
nb_execution_show_tb = True
# Anything a tutorial writes to stderr (a warning) fails the build too.
nb_output_stderr = "warn"

autodoc_member_order = "bysource"
# Signatures show the names and defaults; the types go to the description,
# where a parameter is described (a result record's thirty fields stay short).
autodoc_typehints = "description"
autodoc_typehints_description_target = "documented_params"
autodoc_default_options = {"members": True, "undoc-members": False}
# Docstrings write names in single backquotes (`Plan`, `solve_many`): read
# them as cross-references where the target exists, plain code elsewhere.
default_role = "py:obj"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

html_theme = "furo"
html_title = f"vexal {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
html_copy_source = False

# The notebooks' kernels inherit this environment: without a backend set,
# they draw figures inline, into the page (a backend such as Agg would leave
# only "<Figure size ...>").
os.environ.pop("MPLBACKEND", None)

GENERATED = DOCS / "_generated"  # the command-line help, written at each build

_COMPILED = None  # the compiled _vexal, kept for its records' defaults


def _document_stub() -> None:
    """Lets autodoc read `_vexal` from its type stub.

    The compiled module carries signatures but no docstrings; the stub
    `vexal-py/_vexal.pyi` has both, with the fields' units. The package `vexal`
    is imported first, in full, so that it keeps the compiled classes; then
    the stub, executed as Python, stands in for `_vexal` in this process only
    (the notebooks and the command-line help run in processes of their own)."""
    import importlib
    import types

    for name in ("planning", "study", "cases", "closed_loop", "flight", "trajectory", "plotting", "table"):
        importlib.import_module(f"vexal.{name}")
    global _COMPILED
    _COMPILED = sys.modules["_vexal"]
    path = ROOT / "vexal-py" / "_vexal.pyi"
    module = types.ModuleType("_vexal")
    module.__file__ = str(path)
    # A stub names its classes before they exist: annotations stay text. On
    # the first line, so that line numbers stay the file's.
    source = "from __future__ import annotations; " + path.read_text()
    exec(compile(source, str(path), "exec"), module.__dict__)
    sys.modules["_vexal"] = module


_document_stub()


def _write_cli_help(app: object) -> None:
    """`vexal <command> --help` of the installed package, captured for the
    command-line page, so that page never drifts from the parser."""
    GENERATED.mkdir(exist_ok=True)
    env = dict(os.environ, COLUMNS="88", NO_COLOR="1")
    for command in (None, "plan", "config", "study", "fly"):
        argv = [sys.executable, "-m", "vexal"] + ([command] if command else []) + ["--help"]
        text = subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout
        target = GENERATED / f"help-{command or 'vexal'}.txt"
        if not target.exists() or target.read_text() != text:  # unchanged files keep the pages cached
            target.write_text(text)


def _plain_docstring(app: object, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    """Docstrings are written as plain text for `help()`: a bar (`|u|`, the
    norm) is literal, and a quoted name may take a plural s (`Plan`s)."""
    for i, line in enumerate(lines):
        line = line.replace("|", r"\|")
        lines[i] = re.sub(r"(`[^`\s][^`]*`)(?=\w)", r"\1\\ ", line)


def _stub_defaults(app: object, what: str, name: str, obj: object, options: object, signature: str | None,
                   return_annotation: str | None) -> tuple[str | None, str | None] | None:
    """The stub writes a vector's default as `...`: show the compiled record's
    own default instead (`initial_position=[450.0, -330.0, 2400.0]`)."""
    if what != "class" or not name.startswith("_vexal.") or not signature or "Ellipsis" not in signature:
        return None
    default = getattr(_COMPILED, name.split(".")[1])()

    def shown(field: str) -> str:
        value = getattr(default, field)
        # A record inside a record is its class's default.
        return f"{type(value).__name__}()" if type(value).__module__ == "builtins" and hasattr(
            _COMPILED, type(value).__name__) else repr(value)

    signature = re.sub(r"(\w+)=Ellipsis", lambda m: f"{m[1]}={shown(m[1])}", signature)
    return signature, return_annotation


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("builder-inited", _write_cli_help)
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.connect("autodoc-process-signature", _stub_defaults)
