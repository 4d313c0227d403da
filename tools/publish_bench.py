"""Copies the last full benchmark run into the tracked files that show it: the
chart of each section into docs/_static/bench-section-N.svg and the tables into
the README, between its bench-tables markers, keeping the sections the README
already shows.

    python tools/publish_bench.py

A quick run or one limited by --only is refused: its numbers are rough or
partial.
"""

import json
import re
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
README = ROOT / "README.md"
STATIC = ROOT / "docs" / "_static"
START = "<!-- bench-tables: start, written by tools/bench.sh --publish -->"
END = "<!-- bench-tables: end -->"


def sections(markdown):
    """The '### Title' sections of bench/results/table.md, by title; a title
    that recurs (the scaling tables, one per set of sizes) keeps every table."""
    found = {}
    for block in re.split(r"^### ", markdown, flags=re.MULTILINE)[1:]:
        title, _, body = block.partition("\n")
        found[title] = "\n\n".join(filter(None, [found.get(title), body.strip()]))
    return found


def readme_with(tables, readme):
    head, start, rest = readme.partition(START)
    block, end, tail = rest.partition(END)
    if not start or not end:
        sys.exit(f"{README.name} lacks the markers {START!r} ... {END!r}")
    shown = re.findall(r"^#### (.+)$", block, flags=re.MULTILINE)
    missing = [title for title in shown if title not in tables]
    if missing:
        sys.exit(f"the last run has no section {missing}: nothing published")
    body = "\n\n".join(f"#### {title}\n\n{tables[title]}" for title in shown)
    return f"{head}{START}\n\n{body}\n\n{END}{tail}"


def main():
    run = json.loads((RESULTS / "ratios.json").read_text())
    if run["quick"] or run.get("only") is not None:
        sys.exit("the last run was a quick or partial one: run tools/bench.sh in full first")
    readme = readme_with(sections((RESULTS / "table.md").read_text()), README.read_text())
    charts = sorted(RESULTS.glob("ratios-section-*.svg"))
    if not charts:
        sys.exit("the last run drew no section charts")
    for old in [*STATIC.glob("bench-section-*.svg"), STATIC / "bench.svg"]:
        old.unlink(missing_ok=True)
    for chart in charts:
        shutil.copyfile(chart, STATIC / chart.name.replace("ratios-", "bench-"))
    README.write_text(readme)
    print(f"published the run of {run['python'].split()[0]}: {len(charts)} charts in docs/_static and {README.name}")


if __name__ == "__main__":
    main()
