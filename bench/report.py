"""The results: printed table, results.json and the ratio chart."""
import json
import math

import memory as measure_memory
import peers
import timing

# Panels of the chart and groups of the summary, by case mode.
GROUPS = (("dumps", ("dumps",)), ("loads", ("loads",)), ("dumps indent=2", ("indent",)),
          ("dumps sort_keys", ("sort",)), ("extras", ("native-types", "non-str-keys", "numpy", "loads-gc")))


def library_order(cases):
    """Libraries in column order: quibex and its variants first, then the peers in
    their fixed order."""
    seen = {c.library for case in cases for c in case.contenders}
    rank = {lib: i for i, lib in enumerate(peers.LIBRARIES)}
    return sorted(seen, key=lambda lib: (not lib.startswith("quibex"), lib != "quibex", rank.get(lib, 0), lib))


def medians(case):
    return {c.library: timing.summary(c.samples)[0] for c in case.contenders
            if c.status == "ok" and c.samples}


def ratios(case):
    """Each library's time over quibex's (above 1: quibex is faster)."""
    m = medians(case)
    base = m.get("quibex")
    return {lib: t / base for lib, t in m.items()} if base else {}


def _size(n):
    return f"{n / 1e6:.2f} MB" if n >= 1e6 else f"{n / 1e3:.0f} KB"


def _geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def group_summary(cases, libraries):
    """Geometric mean of the ratios per library over the corpora of each mode;
    extra cases are listed one by one."""
    rows = []
    for title, modes in GROUPS:
        members = [c for c in cases if c.mode in modes]
        if title == "extras":
            rows += [(c.id, [c]) for c in members]
        elif members:
            timed = sum(1 for c in members if ratios(c))
            rows.append((f"{title} ({timed} of {len(members)})", members))
    table = []
    for title, members in rows:
        r = [ratios(c) for c in members]
        table.append((title, {lib: _geomean([x[lib] for x in r if lib in x]) for lib in libraries}))
    return table


def print_table(cases, memory, meta, out):
    libraries = library_order(cases)
    w = out.write
    w(f"\nquibex benchmark: {meta['python']} | rounds {meta['rounds']}, "
      f"~{meta['target_ms']:g} ms per measurement, median | {meta['when']}\n")
    w("versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()) + "\n")
    w("ms/call: median over rounds; MB/s: 10^6 bytes of JSON per second (the stdlib's output"
      " for dumps, the input for loads); ±: half the range over rounds;"
      " vs quibex: the library's time / quibex's (>1: quibex is faster)\n\n")
    header = f"{'case':<30} {'size':>9}  {'library':<14} {'ms/call':>9} {'MB/s':>8} {'±':>4} {'vs quibex':>9}  note\n"
    w(header)
    w("-" * (len(header) + 20) + "\n")
    for case in cases:
        r = ratios(case)
        first = True
        for c in sorted(case.contenders, key=lambda c: libraries.index(c.library)):
            label = f"{case.id:<30} {_size(case.size):>9}" if first else " " * 40
            first = False
            if c.status == "ok" and c.samples:
                median, _, spread = timing.summary(c.samples)
                ratio = f"{r[c.library]:.2f}" if c.library in r else "-"
                w(f"{label}  {c.library:<14} {median * 1e3:9.3f} {case.size / median / 1e6:8.1f}"
                  f" {spread * 100:3.0f}% {ratio:>9}  {c.note}\n")
            else:
                w(f"{label}  {c.library:<14} {'-':>9} {'-':>8} {'':>4} {'-':>9}  "
                  f"{c.status.upper()}: {c.reason}\n")
        detail = [case.detail] if case.detail else []
        if 0 < case.rounds < meta["rounds"]:
            detail.append(f"{case.rounds} rounds: heavy case")
        if detail:
            w(f"{'':40}  ({'; '.join(detail)})\n")
    w("\nsummary: time / quibex time, geometric mean over each mode's corpora (>1: quibex is faster)\n")
    table = group_summary(cases, libraries)
    others = [lib for lib in libraries if lib != "quibex"]
    w(f"{'':30}" + "".join(f"{lib:>14}" for lib in others) + "\n")
    for title, row in table:
        w(f"{title:<30}" + "".join(f"{row[lib]:14.2f}" if row.get(lib) else f"{'-':>14}"
                                   for lib in others) + "\n")
    if memory:
        measure_memory.print_report(memory, out)


def results_json(cases, memory, meta):
    out = {"meta": meta, "cases": [], "memory": memory}
    for case in cases:
        r = ratios(case)
        entry = {"id": case.id, "subject": case.subject, "mode": case.mode, "bytes": case.size,
                 "detail": case.detail, "rounds": case.rounds, "libraries": {}}
        for c in case.contenders:
            item = {"status": c.status, "note": c.note}
            if c.status == "ok" and c.samples:
                median, best, spread = timing.summary(c.samples)
                item.update(median_s=median, min_s=best, spread=spread, repeat=c.repeat,
                            samples_s=c.samples, mb_per_s=case.size / median / 1e6,
                            ratio_to_quibex=r.get(c.library))
            else:
                item["reason"] = c.reason
            entry["libraries"][c.library] = item
        out["cases"].append(entry)
    libraries = library_order(cases)
    out["summary"] = {title: row for title, row in group_summary(cases, libraries)}
    return json.dumps(out, indent=2, ensure_ascii=False)


def _minor_label(value, _):
    """Labels the minor ticks 2 and 5 of each decade, so that a panel spanning
    less than a decade still has a readable scale."""
    if value <= 0:
        return ""
    mantissa = round(value / 10 ** math.floor(math.log10(value)), 6)
    return f"{value:g}x" if mantissa in (2, 5) else ""


def plot(cases, path, title):
    """Grouped bars of each library's time over quibex's, one panel per mode, on a
    log scale. A case without a quibex time is labelled and left empty."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    libraries = [lib for lib in library_order(cases) if lib != "quibex"]
    colours = {lib: plt.get_cmap("tab10")(i) for i, lib in enumerate(libraries)}
    panels = [(t, [c for c in cases if c.mode in modes]) for t, modes in GROUPS]
    panels = [(t, members) for t, members in panels if members]
    if not panels:
        return False
    fig, axes = plt.subplots(len(panels), 1, figsize=(14, 3.4 * len(panels) + 0.8), squeeze=False)
    width = 0.8 / len(libraries)
    for ax, (panel, members) in zip(axes[:, 0], panels):
        for j, lib in enumerate(libraries):
            xs, ys = [], []
            for i, case in enumerate(members):
                r = ratios(case)
                if lib in r:
                    xs.append(i - 0.4 + (j + 0.5) * width)
                    ys.append(r[lib])
            if xs:
                ax.bar(xs, ys, width, label=lib, color=colours[lib])
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.yaxis.set_minor_formatter(FuncFormatter(_minor_label))
        ax.set_xticks(range(len(members)))
        labels = [(c.subject if panel != "extras" else c.id) + ("" if ratios(c) else "\n(no quibex time)")
                  for c in members]
        ax.set_xticklabels(labels, rotation=15, ha="right", fontsize=8)
        ax.set_xlim(-0.6, max(len(members), 4) - 0.4)
        ax.set_ylabel("time / quibex time")
        ax.set_title(panel, fontsize=10, loc="left")
        ax.grid(axis="y", which="major", alpha=0.3)
    height = fig.get_figheight()
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[lib]) for lib in libraries]
    fig.suptitle(title + "  (above 1x: quibex is faster)", fontsize=11, y=1 - 0.12 / height)
    fig.legend(handles, libraries, ncol=len(libraries), fontsize=9, loc="upper center",
               bbox_to_anchor=(0.5, 1 - 0.4 / height))
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.85 / height))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True
