"""Sphinx configuration: the reference is read from the package's stubs, the
guide pages are plain reStructuredText, and every example is a doctest."""

import doctest
from pathlib import Path

DOCS = Path(__file__).resolve().parent

project = "quillet"
author = "the quillet developers"
copyright = "the quillet developers"

extensions = [
    "autoapi.extension",
    "sphinx.ext.doctest",
    "sphinx.ext.napoleon",
]

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

html_theme = "alabaster"
html_title = "quillet"

# tools/bench.sh writes the chart; a checkout without one still builds.
BENCH_CHART = next(
    (DOCS / "_static" / name for name in ("bench.svg", "bench.png") if (DOCS / "_static" / name).exists()), None
)


def bench_chart(app, docname, source):
    """Put the benchmark chart, when there is one, where the performance page asks for it."""
    if docname != "performance":
        return
    if BENCH_CHART is None:
        chart = "*No chart in this checkout:* ``tools/bench.sh`` *writes it to* ``docs/_static/``."
    else:
        chart = (
            f".. figure:: /_static/{BENCH_CHART.name}\n   :alt: ratio quillet/alternative per operation\n\n"
            "   Ratio quillet/alternative per operation; lower is better."
        )
    source[0] = source[0].replace("BENCH-CHART", chart)


def keep_version(app, what, name, obj, skip, options):
    """AutoAPI skips module dunders; ``quillet.__version__`` is public."""
    return False if name == "quillet.__version__" else None


def setup(app):
    app.connect("autoapi-skip-member", keep_version)
    app.connect("source-read", bench_chart)
