#!/usr/bin/python3
"""Draws the measured HEIC -> JPEG figures of bench/results.csv as the
picture docs/benchmarks.md shows: whole-process seconds and peak memory of
lumetra against heif-dec, vips and ImageMagick, per photo size.

Needs matplotlib from Debian's packages (apt-get install python3-matplotlib);
scripts/setup.sh does not install it, since nothing else needs it.

Usage: bench/plot_benchmarks.py [--run A|B] [--data CSV] [--out FILE]
(defaults: run B, bench/results.csv, docs/benchmarks.svg; the output's
extension picks the format, so --out /tmp/benchmarks.png gives a PNG).

Only figures in the data file are drawn. A cell marked missing (never
measured here) or failed (the tool could not convert the photo) gets no
bar, only a label saying so.
"""

import argparse
import csv
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOOLS = ["lumetra", "heif-dec", "vips", "ImageMagick"]
COLOURS = {"lumetra": "#1f6fb4", "heif-dec": "#e08a1e", "vips": "#4a9a4a", "ImageMagick": "#b03a48"}


def read_rows(path, run):
    """The data rows of one run, plus the missing and failed cells (run "-")."""
    with open(path, newline="", encoding="utf-8") as f:
        lines = [line for line in f if not line.startswith("#")]
    rows = [r for r in csv.DictReader(lines) if r["run"] in (run, "-")]
    if not any(r["run"] == run for r in rows):
        raise SystemExit(f"plot_benchmarks: no rows of run {run} in {path}")
    return rows


def photos_in_order(rows):
    """Photo labels by size, smallest first."""
    sizes = {}
    for r in rows:
        sizes[r["photo"]] = float(r["megapixels"])
    return sorted(sizes, key=sizes.get)


def draw(ax, rows, photos, column, unit, log):
    width = 0.8 / len(TOOLS)
    cells = {(r["photo"], r["tool"]): r for r in rows}
    top = max(float(r[column]) for r in rows if r["status"] == "measured")
    for t, tool in enumerate(TOOLS):
        for p, photo in enumerate(photos):
            x = p + (t - (len(TOOLS) - 1) / 2) * width
            r = cells.get((photo, tool))
            if r is not None and r["status"] == "measured":
                value = float(r[column])
                ax.bar(x, value, width * 0.92, color=COLOURS[tool], label=tool if p == 0 else None)
                ax.annotate(f"{value:g}", (x, value), ha="center", va="bottom", fontsize=7.5,
                            xytext=(0, 2), textcoords="offset points")
            else:
                status = "could not convert" if r is not None and r["status"] == "failed" else "not measured"
                base = 1.15 if log else top * 0.02
                ax.text(x, base, status, rotation=90, ha="center", va="bottom", fontsize=7,
                        color=COLOURS[tool])
                if p == 0:
                    ax.bar(x, 0, width, color=COLOURS[tool], label=tool)
    ax.set_xlim(-0.5, len(photos) - 0.5)
    ax.set_xticks(range(len(photos)))
    megapixels = {r["photo"]: r["megapixels"] for r in rows}
    ax.set_xticklabels([f"{photo}\n{megapixels[photo]} MP" for photo in photos], fontsize=8.5)
    ax.set_ylabel(unit)
    if log:
        ax.set_yscale("log")
        ax.set_ylim(1, top * 3)
    else:
        ax.set_ylim(0, top * 1.15)
    ax.grid(axis="y", alpha=0.3)
    ax.set_axisbelow(True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--run", default="B", help="which run of the data file to draw (default B)")
    parser.add_argument("--data", default=str(ROOT / "bench" / "results.csv"))
    parser.add_argument("--out", default=str(ROOT / "docs" / "benchmarks.svg"))
    args = parser.parse_args()

    rows = read_rows(args.data, args.run)
    photos = photos_in_order(rows)
    plt.rcParams["svg.hashsalt"] = "lumetra-benchmarks"  # same input, same SVG bytes
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 5))
    draw(left, rows, photos, "seconds", "seconds (lower is better)", log=False)
    left.set_title("HEIC → JPEG q90, whole process: time", fontsize=10)
    draw(right, rows, photos, "peak_mib", "peak resident memory, MiB (log scale)", log=True)
    right.set_title("HEIC → JPEG q90, whole process: peak memory", fontsize=10)
    handles, labels = left.get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", bbox_to_anchor=(0.5, 0.04), ncol=len(TOOLS), frameon=False, fontsize=9)
    fig.text(0.5, 0.965, f"lumetra convert --sdr against heif-dec -q 90, run {args.run} of bench/jpeg_targets.sh "
             "(2 shared cores, medians of 5)", ha="center", fontsize=9, color="#444444")
    notes = sorted({f"{r['tool']}, {r['photo']}: {r['note']}" for r in rows if r["note"]})
    if notes:
        fig.text(0.5, 0.015, "; ".join(notes), ha="center", fontsize=8, color="#444444")
    fig.tight_layout(rect=(0, 0.1, 1, 0.95))
    fig.savefig(args.out, metadata={"Date": None} if args.out.endswith(".svg") else None)
    print(f"plot_benchmarks: wrote {args.out}")


if __name__ == "__main__":
    main()
