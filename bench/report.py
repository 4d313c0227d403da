"""Rows of results, and the tables and chart made of them.

A row compares quillet with one alternative. Its ratio is quillet/alternative
(lower is better) and meets its target when at most the target; a "budget"
row instead holds quillet's value against an absolute target in its unit.
"""

SECTIONS = {
    "targets": "Targets",
    "hash quality": "Hash quality: objects whose hash an earlier one of the corpus has",
    "peers": "Peers: immutable mappings from other packages",
    "more": "Other operations",
    "C++": "The attrs cache's map (C++)",
    "scaling": "Scaling",
}


def row(
    section,
    operation,
    alternative,
    quillet,
    other,
    target,
    unit,
    quillet_stdev=0.0,
    other_stdev=0.0,
    note="",
    family=None,
    size=None,
    kind="ratio",
    **_,
):
    ratio = quillet / other if kind == "ratio" and other else None
    return {
        "section": section,
        "operation": operation,
        "alternative": alternative,
        "note": note,
        "quillet": quillet,
        "quillet_stdev": quillet_stdev,
        "other": other,
        "other_stdev": other_stdev,
        "ratio": ratio,
        "target": target,
        "unit": unit,
        "kind": kind,
        "family": family,
        "size": size,
    }


def count(n):
    return f"{n:,}".replace(",", " ")


def text_size(n):
    for unit, scale in (("MB", 1_000_000), ("KB", 1_000)):
        if n >= scale:
            return f"{n / scale:g} {unit}"
    return f"{n} B"


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_bytes(size):
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(size) >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


def show(r, side):
    value, spread = r[side], r[f"{side}_stdev"]
    if r["unit"] == "s":
        return f"{format_time(value)} +- {format_time(spread)}" if spread else format_time(value)
    if r["unit"] == "B":
        return format_bytes(value)
    return f"{value:.0f} {r['unit']}"


def met(r):
    value = r["quillet"] if r["kind"] == "budget" else r["ratio"]
    return value is not None and value <= r["target"]


def show_target(r):
    """The target and whether it is met, or "-" without a target."""
    if r["target"] is None:
        return "-"
    target = f"<= {r['target']:g} {r['unit']}" if r["kind"] == "budget" else f"{r['target']:.2f}"
    return f"{target} {'met' if met(r) else 'NOT MET'}"


def show_ratio(r):
    if r["ratio"] is None:
        return "-"
    return f"{r['ratio']:.2f}" if r["ratio"] < 100 else f"{r['ratio']:.0f}"


def alternative_label(r):
    return f"{r['alternative']} ({r['note']})" if r["note"] else r["alternative"]


def sections(rows):
    for section, title in SECTIONS.items():
        chosen = [r for r in rows if r["section"] == section]
        if chosen and section != "scaling":
            yield title, chosen


def scaling_groups(rows):
    """{(sizes, ...): {(family, alternative): {size: row}}} for every row with a size."""
    families = {}
    for r in rows:
        if r["family"] is not None:
            families.setdefault((r["family"], r["alternative"]), {})[r["size"]] = r
    groups = {}
    for key, by_size in families.items():
        groups.setdefault(tuple(sorted(by_size)), {})[key] = by_size
    return groups


def size_label(family, size):
    return text_size(size) if family.startswith("TextWalker") else count(size)


def scaling_cell(r):
    return "" if r is None else f"{show_ratio(r)} ({show(r | {'quillet_stdev': 0.0}, 'quillet')})"


def print_tables(rows, skipped):
    header = f"{'operation':58} {'alternative':50} {'quillet':>20} {'alternative':>20} {'ratio':>7}  target"
    for title, chosen in sections(rows):
        print(f"\n{title}\n{header}\n{'-' * len(header)}")
        for r in chosen:
            print(
                f"{r['operation']:58} {alternative_label(r):50} {show(r, 'quillet'):>20} "
                f"{show(r, 'other'):>20} {show_ratio(r):>7}  {show_target(r)}"
            )
    for sizes, group in scaling_groups(rows).items():
        family = next(iter(group))[0]
        columns = "".join(f"{size_label(family, s):>24}" for s in sizes)
        print(f"\n{SECTIONS['scaling']}: ratio (quillet's value) by size\n{'operation':34} {'alternative':28}{columns}")
        for (name, alternative), by_size in group.items():
            cells = "".join(f"{scaling_cell(by_size.get(s)):>24}" for s in sizes)
            print(f"{name:34} {alternative:28}{cells}")
    for skip in skipped:
        print(f"skipped: {skip['operation']} vs {skip['alternative']}: {skip['reason']}")


def markdown(rows, skipped):
    lines = []
    for title, chosen in sections(rows):
        lines += [
            f"### {title}",
            "",
            "| operation | alternative | quillet | alternative | ratio | target |",
            "|---|---|---:|---:|---:|---|",
        ]
        lines += [
            f"| {r['operation']} | {alternative_label(r)} | {show(r, 'quillet')} | {show(r, 'other')} "
            f"| {show_ratio(r)} | {show_target(r)} |"
            for r in chosen
        ]
        lines.append("")
    for sizes, group in scaling_groups(rows).items():
        family = next(iter(group))[0]
        lines += [
            f"### {SECTIONS['scaling']}: ratio (quillet's value) by size",
            "",
            "| operation | alternative | " + " | ".join(size_label(family, s) for s in sizes) + " |",
            "|---|---|" + "---:|" * len(sizes),
        ]
        lines += [
            f"| {name} | {alternative} | " + " | ".join(scaling_cell(by_size.get(s)) for s in sizes) + " |"
            for (name, alternative), by_size in group.items()
        ]
        lines.append("")
    lines += [f"Skipped: {s['operation']} vs {s['alternative']}: {s['reason']}" for s in skipped]
    return "\n".join(lines) + "\n"


def chart_value(r):
    """What the bar shows: the ratio, or a budget row's share of its budget."""
    if r["kind"] == "budget":
        return r["quillet"] / r["target"], 1.0
    return r["ratio"], r["target"]


def chart_label(r):
    label = f"{r['operation']}\nvs {alternative_label(r)}"
    return f"{label}, share of the budget" if r["kind"] == "budget" else label


XLABEL = (
    "quillet / alternative (time or memory), log scale: lower is better; "
    "green meets its target, red does not, grey has none"
)


def chart_groups(rows):
    groups = list(sections(rows))
    scaled = [r for r in rows if r["section"] == "scaling"]
    if scaled:
        groups.append((SECTIONS["scaling"], scaled))
    return groups


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.fonttype"] = "none"
    import matplotlib.pyplot as plt

    return plt


def plot(rows, paths, title):
    """Every section in one figure, each with its own scale: the walker's
    memory against a cursor spans five decades."""
    plt = pyplot()
    groups = chart_groups(rows)
    figure, axes_list = plt.subplots(
        len(groups),
        1,
        figsize=(12, 0.42 * len(rows) + 1.6 * len(groups)),
        height_ratios=[len(chosen) for _, chosen in groups],
        squeeze=False,
        layout="constrained",
    )
    for axes, (heading, chosen) in zip(axes_list[:, 0], groups, strict=True):
        draw_section(axes, heading, chosen)
    axes_list[0, 0].legend(loc="upper right")
    axes_list[-1, 0].set_xlabel(XLABEL)
    figure.suptitle(title)
    for path in paths:
        path.parent.mkdir(parents=True, exist_ok=True)
        figure.savefig(path, dpi=110)
    plt.close(figure)


def plot_sections(rows, folder, title):
    """One chart per section, sized to be read at the width of a docs page:
    ratios-section-N.svg, in the order of the tables."""
    plt = pyplot()
    for old in folder.glob("ratios-section-*.svg"):
        old.unlink()
    for number, (heading, chosen) in enumerate(chart_groups(rows), start=1):
        figure, axes = plt.subplots(figsize=(8, 0.5 * len(chosen) + 1.4), layout="constrained")
        draw_section(axes, heading, chosen)
        axes.legend(loc="best", fontsize=7)
        axes.set_xlabel(XLABEL.replace("; ", ";\n"), fontsize=7)
        figure.suptitle(title, fontsize=9)
        figure.savefig(folder / f"ratios-section-{number}.svg")
        plt.close(figure)


def draw_section(axes, heading, chosen):
    values = [chart_value(r) for r in chosen]
    positions = range(len(chosen))
    colours = [
        "tab:grey" if target is None or value is None else "tab:green" if value <= target else "tab:red"
        for value, target in values
    ]
    drawn = [(p, value, colour) for p, (value, _), colour in zip(positions, values, colours, strict=True) if value]
    axes.barh([p for p, _, _ in drawn], [v for _, v, _ in drawn], color=[c for _, _, c in drawn])
    marks = [(target, p) for (_, target), p in zip(values, positions, strict=True) if target is not None]
    axes.scatter(
        [t for t, _ in marks], [p for _, p in marks], marker="|", s=200, color="black", label="target", zorder=3
    )
    axes.set_yticks(list(positions), [chart_label(r) for r in chosen], fontsize=7)
    axes.set_ylim(len(chosen) - 0.5, -0.5)
    axes.set_xscale("log")
    axes.axvline(1.0, color="grey", linewidth=0.8)
    axes.set_title(heading, fontsize=9, loc="left")
