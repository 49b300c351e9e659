#!/usr/bin/python3
"""Plots a relaysim run from its CSV (--csv): decoders online, received and lost per second,
worst jitter, one panel each. Rows of start-up (column "startup" 1) are shaded, not drawn.
Given a ramp run's JSON report (--ramp with --report), draws its capacity curve instead.

    scripts/plot_run.py RUN.csv OUT.png
    scripts/plot_run.py RAMP.json OUT.png

Needs Debian's python3-matplotlib, hence Debian's own interpreter.
"""
import csv
import json
import sys

COLUMNS = ("time_s", "decoders_online", "received", "lost", "jitter_ms_max")


def fail(message):
    print("plot_run.py: " + message, file=sys.stderr)
    sys.exit(1)


def read_run(path):
    try:
        with open(path, newline="") as f:
            reader = csv.DictReader(f)
            if not reader.fieldnames:
                fail("%s is empty" % path)
            missing = [c for c in COLUMNS if c not in reader.fieldnames]
            if missing:
                fail("%s lacks the column(s) %s" % (path, ", ".join(missing)))
            rows = []
            for row in reader:
                try:
                    rows.append({c: float(row[c]) for c in COLUMNS})
                    rows[-1]["startup"] = row.get("startup") == "1"
                except (TypeError, ValueError):
                    fail("%s line %d: not a number in %s" % (path, reader.line_num, row))
    except OSError as e:
        fail("can't read %s: %s" % (path, e.strerror))
    if not rows:
        fail("%s has no rows" % path)
    return rows


def pyplot():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        fail("matplotlib is missing: install python3-matplotlib and run with /usr/bin/python3")
    return plt


def plot_ramp(path, out):
    """The capacity curve of a ramp: loss and worst jitter of each step against its decoders,
    the thresholds as lines, the capacity marked."""
    try:
        with open(path) as f:
            report = json.load(f)
    except OSError as e:
        fail("can't read %s: %s" % (path, e.strerror))
    except ValueError as e:
        fail("%s is not JSON: %s" % (path, e))
    steps = report.get("steps")
    if not steps:
        fail("%s holds no ramp steps (run relaysim with --ramp and --report)" % path)
    plt = pyplot()
    x = [s["decoders"] for s in steps]
    broke = [s for s in steps if s["verdict"] != "held"]
    limits = report.get("thresholds", {})
    fig, axes = plt.subplots(2, 1, sharex=True, figsize=(9, 7))
    for ax, key, limit, unit, label, colour in (
            (axes[0], "loss_percent", limits.get("max_loss_percent"), "%", "loss per step (%)",
             "tab:red"),
            (axes[1], "jitter_ms_max", limits.get("max_jitter_ms"), " ms",
             "worst jitter per step (ms)", "tab:purple")):
        ax.plot(x, [s[key] for s in steps], color=colour, marker="o")
        ax.plot([s["decoders"] for s in broke], [s[key] for s in broke], linestyle="none",
                marker="X", markersize=11, color="black", label="step that ended the ramp")
        if limit is not None:
            ax.axhline(limit, color="grey", linestyle="--", label="threshold %g%s" % (limit, unit))
        if report["capacity"]:
            ax.axvline(report["capacity"], color="tab:green", linewidth=2,
                       label="capacity %d decoders" % report["capacity"])
        ax.set_ylabel(label)
        ax.set_ylim(bottom=0)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper left", fontsize="small")
    end = {"reached_max": "every step held", "broke": "a step broke",
           "own_limit": "relaysim's own limit", "unfinished": "ended early"}
    axes[0].set_title("relaysim ramp: capacity %d decoders (%s)"
                      % (report["capacity"], end.get(report.get("ramp_end"), "?")))
    axes[-1].set_xlabel("decoders")
    axes[-1].xaxis.get_major_locator().set_params(integer=True)
    fig.tight_layout()
    try:
        fig.savefig(out, dpi=100)
    except OSError as e:
        fail("can't write %s: %s" % (out, e.strerror))
    return 0


def main(argv):
    if len(argv) != 3:
        print("usage: plot_run.py RUN.csv|RAMP.json OUT.png", file=sys.stderr)
        return 2
    if argv[1].endswith(".json"):
        return plot_ramp(argv[1], argv[2])
    rows = read_run(argv[1])
    plt = pyplot()

    t = [r["time_s"] for r in rows]
    # Counts are per row; a row's interval runs from the row before it (or the start).
    spans = [t[0] if t[0] > 0 else 1.0] + [max(b - a, 1e-9) for a, b in zip(t, t[1:])]

    def per_second(column):
        # A CSV of an older relaysim could hold a negative loss (a late datagram filled a hole).
        return [max(r[column], 0) / s for r, s in zip(rows, spans)]

    panels = (
        ([r["decoders_online"] for r in rows], "decoders online", "tab:blue"),
        (per_second("received"), "received / s", "tab:green"),
        (per_second("lost"), "lost / s", "tab:red"),
        ([r["jitter_ms_max"] for r in rows], "worst jitter (ms)", "tab:purple"),
    )
    # Start-up rows mix the decoders' start with the run; drawn only when there is nothing else.
    startup_end = max([r["time_s"] for r in rows if r["startup"]], default=None)
    shown = [i for i, r in enumerate(rows) if not r["startup"]] or list(range(len(rows)))
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(9, 9))
    for ax, (values, label, colour) in zip(axes, panels):
        if startup_end is not None:
            ax.axvspan(0, startup_end, color="0.9", label="start-up")
        values = [values[i] for i in shown]
        ax.plot([t[i] for i in shown], values, color=colour,
                drawstyle="steps-post" if "online" in label else "default")
        ax.set_ylabel(label)
        if min(values) >= 0:
            ax.set_ylim(bottom=0)
        ax.grid(True, alpha=0.3)
    axes[0].set_title("relaysim run: %s" % argv[1])
    axes[-1].set_xlabel("time (s)")
    fig.tight_layout()
    try:
        fig.savefig(argv[2], dpi=100)
    except OSError as e:
        fail("can't write %s: %s" % (argv[2], e.strerror))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
