#!/usr/bin/env python3
"""The closing table of scripts/bench.sh: reads the "NAME RESULT|POINT {json}" lines it gathered,
prints one row per measure, writes results.json and draws each curve's points as a PNG.

With --compare A/results.json B/results.json it sets two runs side by side instead: each measure's
median and spread in both, and whether they agree (each median inside the other run's spread)."""
import json
import os
import re
import sys


def load(path):
    results, points = [], []
    with open(path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            parts = line.strip().split(" ", 2)
            if len(parts) != 3:
                continue
            name, kind, text = parts
            try:
                record = json.loads(text)
            except ValueError:
                record = {"measure": f"{name}: unreadable line", "ok": False}
            record["benchmark"] = name
            (results if kind == "RESULT" else points).append(record)
    return results, points


def row(result):
    if not result.get("ok"):
        return [result["benchmark"], result["measure"], "FAILED", "", result.get("target", ""), "no", result.get("note", "")]
    met = result.get("met")
    return [result["benchmark"], result["measure"].strip(), f"{result['median']:.3f}",
            f"{result['low']:.3f}-{result['high']:.3f}", result.get("target", ""),
            "" if met is None else ("met" if met else "NOT MET"), result.get("note", "")]


def table(results):
    header = ["benchmark", "measure", "median", "spread", "target", "met", "note"]
    rows = [header] + [row(r) for r in results]
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(r, widths)).rstrip() for r in rows)


def draw(points, folder):
    curves = {}
    for point in points:
        curves.setdefault(point["curve"], {}).setdefault(point["series"], []).append((point["x"], point["y"]))
    if not curves:
        return []
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        print("bench: python3-matplotlib is missing (scripts/setup.sh installs it); no curves drawn")
        return []
    drawn = []
    for curve, series in curves.items():
        figure, axes = plt.subplots(figsize=(6.4, 4.0), dpi=80)
        for name, xy in series.items():
            xy.sort()
            axes.plot([x for x, _ in xy], [y for _, y in xy], marker="o",
                      linestyle="--" if "baseline" in name else "-", label=name)
        xs = sorted({x for xy in series.values() for x, _ in xy})
        if len(xs) > 1 and xs[-1] / max(xs[0], 1e-12) >= 16:
            axes.set_xscale("log", base=2 if all(float(x).is_integer() and int(x) & (int(x) - 1) == 0 for x in xs) else 10)
            axes.xaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        ys = [y for xy in series.values() for _, y in xy if y > 0]
        if ys and max(ys) / min(ys) >= 100:
            axes.set_yscale("log")
        # "Title: y against x", or "y against x".
        left, _, x_label = curve.partition(" against ")
        title, _, y_label = left.rpartition(":")
        axes.set_ylabel(y_label.strip())
        axes.set_xlabel(x_label.strip())
        axes.set_title((title or left).strip(), fontsize=10)
        axes.grid(True, alpha=0.3)
        axes.legend(fontsize=8)
        figure.tight_layout()
        file = os.path.join(folder, re.sub(r"[^a-z0-9]+", "-", curve.lower()).strip("-") + ".png")
        figure.savefig(file)
        plt.close(figure)
        drawn.append(file)
    return drawn


def compare(first_path, second_path):
    runs = []
    for path in (first_path, second_path):
        with open(path, encoding="utf-8") as file:
            runs.append({(r["benchmark"], r["measure"].strip()): r for r in json.load(file)["results"]})
    header = ["benchmark", "measure", "first", "second", "target", "agree"]
    rows, disagreeing = [header], 0
    for key, first in runs[0].items():
        second = runs[1].get(key)
        if second is None or not first.get("ok") or not second.get("ok"):
            rows.append([key[0], key[1], "", "", first.get("target", ""), "not in both"])
            disagreeing += 1
            continue
        agree = first["low"] <= second["median"] <= first["high"] and second["low"] <= first["median"] <= second["high"]
        disagreeing += not agree
        cells = [f"{r['median']:.3f} ({r['low']:.3f}-{r['high']:.3f})" + ("" if r.get("met") is None else
                 " met" if r["met"] else " NOT MET") for r in (first, second)]
        rows.append([key[0], key[1], *cells, first.get("target", ""), "yes" if agree else "NO"])
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    print("\n".join("  ".join(cell.ljust(width) for cell, width in zip(r, widths)).rstrip() for r in rows))
    return 1 if disagreeing else 0


def main():
    if sys.argv[1] == "--compare":
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    lines, folder = sys.argv[1], sys.argv[2]
    results, points = load(lines)
    print("\n" + table(results))
    drawn = draw(points, folder)
    with open(os.path.join(folder, "results.json"), "w", encoding="utf-8") as out:
        json.dump({"results": results, "points": points, "curves": drawn}, out, indent=1)
    for file in drawn:
        print("curve:", file)
    print("written:", os.path.join(folder, "results.json"))


if __name__ == "__main__":
    main()
