#!/usr/bin/python3
"""Plots a relaysim run from its CSV (--csv): decoders online, received and lost per second,
worst jitter, one panel each. Rows of start-up (column "startup" 1) are shaded, not drawn.

    scripts/plot_run.py RUN.csv OUT.png

Needs Debian's python3-matplotlib, hence Debian's own interpreter.
"""
import csv
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


def main(argv):
    if len(argv) != 3:
        print("usage: plot_run.py RUN.csv OUT.png", file=sys.stderr)
        return 2
    rows = read_run(argv[1])
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        fail("matplotlib is missing: install python3-matplotlib and run with /usr/bin/python3")

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
