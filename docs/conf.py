"""Sphinx configuration: the reference is read from the package's stubs, the
guide pages are plain reStructuredText, and every example is a doctest."""

import doctest
import os
import re
from importlib.metadata import version as installed_version
from pathlib import Path

DOCS = Path(__file__).resolve().parent

project = "quillet"
author = "the quillet developers"
copyright = "the quillet developers"
# The documented package is the installed one.
release = version = installed_version("quillet")

extensions = [
    "autoapi.extension",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "sphinx.ext.napoleon",
]

# Links into the Python docs, from the inventory of Debian's python3.x-doc
# (tools/provision-python.sh --doc): these machines reach no docs site.
PYTHON_INVENTORY = os.environ.get("QUILLET_PYTHON_INVENTORY")
intersphinx_mapping = {"python": ("https://docs.python.org/3", PYTHON_INVENTORY)} if PYTHON_INVENTORY else {}

# The extension modules carry no docstrings: their documentation lives in the
# .pyi stubs, which AutoAPI reads without importing anything.
autoapi_dirs = [str(DOCS.parent / "src" / "quillet")]
autoapi_file_patterns = ["*.pyi"]
# The native modules' own stubs only re-export their package's names.
autoapi_ignore = ["*/frozen/frozen.pyi", "*/utils/utils.pyi"]
autoapi_root = "reference"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-inheritance", "special-members", "imported-members"]
autoapi_python_class_content = "class"

napoleon_google_docstring = True
napoleon_numpy_docstring = False

# Every ">>>" block, in the pages and in the stubs' docstrings, is a doctest,
# and exception messages are compared too.
doctest_test_doctest_blocks = "default"
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1

html_theme = "furo"
# Shown on every page.
html_title = f"quillet {release}"

# tools/bench.sh --publish writes one chart per section (an older run, one
# chart of them all); a checkout without any still builds.
BENCH_CHARTS = sorted((DOCS / "_static").glob("bench-section-*.svg"), key=lambda path: int(path.stem.split("-")[-1]))
BENCH_CHARTS = BENCH_CHARTS or [path for path in [DOCS / "_static" / "bench.svg"] if path.exists()]


def bench_chart(app, docname, source):
    """Put the benchmark charts, when there are any, where the performance page asks for them."""
    if docname != "performance":
        return
    if not BENCH_CHARTS:
        charts = "*No chart in this checkout:* ``tools/bench.sh --publish`` *writes them to* ``docs/_static/``."
    else:
        charts = "\n\n".join(
            f".. figure:: /_static/{chart.name}\n   :alt: ratio quillet/alternative per operation\n   :width: 100%"
            for chart in BENCH_CHARTS
        )
        charts += "\n\nRatio quillet/alternative per operation; lower is better."
    source[0] = source[0].replace("BENCH-CHART", charts)


# The stubs' type variables are private (_K, _V_co); signatures show them
# without the underscore.
PRIVATE_TYPE_NAME = re.compile(r"\b_(?=[A-Z])")


def public_names(text):
    return PRIVATE_TYPE_NAME.sub("", text) if text else text


def public_args(args):
    return [(prefix, name, public_names(annotation), default) for prefix, name, annotation, default in args]


def reference_member(app, what, name, obj, skip, options):
    """AutoAPI skips module dunders; ``quillet.__version__`` is public. A class
    lists its public methods first, then its dunders, each in stub order; no
    signature names a private type variable."""
    if what == "class":
        obj.children.sort(key=lambda member: member.name.startswith("__"))
        obj.bases = [public_names(base) for base in obj.bases]
        # The class signature is read from its constructor's raw data.
        if obj.constructor:
            data = obj.constructor.obj
            data["args"] = public_args(data["args"])
            data["overloads"] = [(public_args(args), public_names(result)) for args, result in data["overloads"]]
    if what in ("function", "method"):
        obj.args, obj.return_annotation = public_names(obj.args), public_names(obj.return_annotation)
        obj.overloads = [(public_names(args), public_names(result)) for args, result in obj.overloads]
    if what in ("property", "attribute", "data"):
        obj.annotation = public_names(obj.annotation)
    return False if name == "quillet.__version__" else None


def setup(app):
    app.connect("autoapi-skip-member", reference_member)
    app.connect("source-read", bench_chart)
