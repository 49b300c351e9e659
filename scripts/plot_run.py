#!/usr/bin/python3
"""Draws a relaysim run from its CSV (--csv), one panel per question a run is read for.

    plot_run.py RUN.csv OUT.png [--report RUN.json...] [--max-loss PERCENT] [--max-jitter MS]

Panels: decoders online; loss in percent against --max-loss; worst jitter against --max-jitter;
received per second; the local stream's copies and send errors; loss by decoder. A report
(--report) gives the verdict, the thresholds and the per-decoder panel; several reports of one
run (snapshots written on SIGUSR1) make that panel a heat map by decoder and time. Columns that
a CSV lacks leave their panel out. Rows of start-up (column startup 1) are shaded, not drawn.

    plot_run.py RAMP.json OUT.png

draws a ramp run (--ramp, its JSON report) as a capacity curve instead: loss and worst jitter
of each step against its decoders, the thresholds as lines, the capacity marked.

Needs Debian's python3-matplotlib, hence Debian's own interpreter.
"""
import argparse
import csv
import json
import os
import sys

PROG = os.path.basename(sys.argv[0]) or "plot_run.py"


def fail(message):
    print("%s: %s" % (PROG, message), file=sys.stderr)
    sys.exit(1)


class Run:
    """The CSV's rows as columns, per-interval counts as rates, and what the reports add."""

    def __init__(self, columns, reports, max_loss, max_jitter):
        self.columns = columns
        self.t = columns["time_s"]
        # A row's counts cover the time since the row before it (or since the start).
        self.spans = [self.t[0] if self.t[0] > 0 else 1.0] + [
            max(b - a, 1e-9) for a, b in zip(self.t, self.t[1:])]
        self.reports = reports
        last = reports[-1] if reports else {}
        limits = last.get("thresholds") or {}
        self.max_loss = max_loss if max_loss is not None else limits.get("max_loss_percent")
        self.max_jitter = max_jitter if max_jitter is not None else limits.get("max_jitter_ms")
        self.verdict = last.get("verdict")
        # Start-up rows (column startup 1) mix the decoders' start with the run: shaded, and
        # drawn only when there is nothing else.
        startup = [v == 1 for v in columns.get("startup", [0] * len(self.t))]
        self.startup_end = max([t for t, s in zip(self.t, startup) if s], default=None)
        self.shown = [i for i, s in enumerate(startup) if not s] or list(range(len(self.t)))
        self.x = self.show(self.t)

    def show(self, values):
        return [values[i] for i in self.shown]

    def has(self, *names):
        return all(n in self.columns for n in names)

    def per_second(self, name):
        return [v / s for v, s in zip(self.columns[name], self.spans)]

    def loss_percent(self):
        """Loss per interval, and over the run so far net of the holes that late datagrams
        filled (column recovered; an older CSV's negative loss counts 0 in its interval)."""
        lost = [max(v, 0.0) for v in self.columns["lost"]]
        recovered = self.columns.get("recovered", [0.0] * len(lost))
        net = [lo - rc for lo, rc in zip(self.columns["lost"], recovered)]
        received = self.columns["received"]
        interval, running = [], []
        total_lost = total_received = 0.0
        for lo, n, re in zip(lost, net, received):
            interval.append(100.0 * lo / (lo + re) if lo + re > 0 else 0.0)
            total_lost += n
            total_received += re
            running.append(100.0 * total_lost / (total_lost + total_received)
                           if total_lost + total_received > 0 else 0.0)
        return interval, running


def read_csv(path):
    try:
        with open(path, newline="") as f:
            reader = csv.DictReader(f)
            if not reader.fieldnames:
                fail("%s is empty" % path)
            if "time_s" not in reader.fieldnames:
                fail("%s lacks the column time_s" % path)
            columns = {}
            for row in reader:
                for name, text in row.items():
                    if name is None:
                        continue
                    try:
                        value = float(text)
                    except (TypeError, ValueError):
                        if name == "time_s":
                            fail("%s line %d: time_s is not a number" % (path, reader.line_num))
                        value = None
                    columns.setdefault(name, []).append(value)
    except OSError as e:
        fail("can't read %s: %s" % (path, e.strerror))
    if not columns:
        fail("%s has no rows" % path)
    # Only columns that are numbers in every row are drawn.
    return {n: v for n, v in columns.items() if None not in v}


def read_reports(paths):
    reports = []
    for path in paths:
        try:
            with open(path) as f:
                reports.append(json.load(f))
        except OSError as e:
            fail("can't read %s: %s" % (path, e.strerror))
        except ValueError:
            fail("%s is not a JSON report" % path)
    reports.sort(key=lambda r: r.get("duration_s") or 0)
    # A snapshot taken twice (the final report copied again) is one instant, not an interval
    # without loss.
    return [r for i, r in enumerate(reports)
            if i == 0 or r.get("duration_s") != reports[i - 1].get("duration_s")]


def from_zero(ax, *series):
    """The y axis from 0 to a little above the highest value or threshold."""
    top = max([v for values in series for v in values if v is not None] + [0])
    ax.set_ylim(0, top * 1.1 if top > 0 else 1)


def threshold_line(ax, value, label):
    if value is not None:
        ax.axhline(value, color="black", linestyle="--", linewidth=1, label=label)
        ax.legend(loc="upper right", fontsize="small")


def panel_online(ax, run):
    if not run.has("decoders_online"):
        return False
    online = run.show(run.columns["decoders_online"])
    ax.plot(run.x, online, color="tab:blue", drawstyle="steps-post")
    ax.set_ylabel("decoders online")
    from_zero(ax, online)
    return True


def panel_loss(ax, run):
    if not run.has("lost", "received"):
        return False
    interval, running = (run.show(v) for v in run.loss_percent())
    ax.plot(run.x, interval, color="tab:red", linewidth=0.8, label="per interval")
    ax.plot(run.x, running, color="darkred", linewidth=1.5, label="whole run so far")
    ax.set_ylabel("loss (%)")
    from_zero(ax, interval, running, [run.max_loss])
    threshold_line(ax, run.max_loss, "--max-loss %g" % run.max_loss if run.max_loss is not None else "")
    ax.legend(loc="upper right", fontsize="small")
    return True


def panel_jitter(ax, run):
    if not run.has("jitter_ms_max"):
        return False
    jitter = run.show(run.columns["jitter_ms_max"])
    ax.plot(run.x, jitter, color="tab:purple", label="highest estimate")
    if run.has("jitter_ms_worst"):
        ax.plot(run.x, run.show(run.columns["jitter_ms_worst"]), color="tab:purple",
                linestyle=":", label="worst so far (judged)")
        ax.legend(loc="upper right", fontsize="small")
    ax.set_ylabel("jitter (ms)")
    from_zero(ax, jitter, [run.max_jitter])
    threshold_line(ax, run.max_jitter,
                   "--max-jitter %g" % run.max_jitter if run.max_jitter is not None else "")
    return True


def panel_received(ax, run):
    if not run.has("received"):
        return False
    received = run.show(run.per_second("received"))
    ax.plot(run.x, received, color="tab:green")
    ax.set_ylabel("received / s")
    from_zero(ax, received)
    return True


def panel_local(ax, run):
    # Only a run that used the local stream (-e and a stream on the local port) has one to show.
    if not run.has("copies_sent") or not any(run.columns["copies_sent"]) and not any(
            run.columns.get("local_received", [])):
        return False
    series = [(run.show(run.per_second("copies_sent")), "tab:cyan", "copies sent / s")]
    if run.has("local_received"):
        series.append((run.show(run.per_second("local_received")), "tab:gray",
                       "local stream received / s"))
    if run.has("send_errors"):
        series.append((run.show(run.per_second("send_errors")), "tab:red",
                       "send errors / s (%d in all)" % sum(run.columns["send_errors"])))
    for values, colour, label in series:
        ax.plot(run.x, values, color=colour, label=label)
    ax.set_ylabel("local stream")
    from_zero(ax, *[values for values, _, _ in series])
    ax.legend(loc="upper right", fontsize="small")
    return True


def decoder_loss(report):
    return {d["index"]: (d.get("lost", 0), d.get("received", 0)) for d in report.get("decoders", [])}


def panel_decoders(ax, run):
    """Loss by decoder: by decoder and time from several snapshots, else the run's total."""
    if not run.reports or not run.reports[-1].get("decoders"):
        return False
    indexes = sorted(decoder_loss(run.reports[-1]))
    snapshots = [r for r in run.reports if r.get("decoders")]
    if len(snapshots) < 2:
        snapshots = [{"duration_s": 0, "decoders": []}] + snapshots
    grid = []
    for before, after in zip(snapshots, snapshots[1:]):
        a, b = decoder_loss(before), decoder_loss(after)
        column = []
        for i in indexes:
            lost0, received0 = a.get(i, (0, 0))
            lost1, received1 = b.get(i, (0, 0))
            lost, received = max(lost1 - lost0, 0), received1 - received0
            column.append(100.0 * lost / (lost + received) if lost + received > 0 else 0.0)
        grid.append(column)
    rows = [list(r) for r in zip(*grid)]  # one row a decoder
    times = [s.get("duration_s") or 0 for s in snapshots]
    # At least 1 %: a run without loss is drawn as no loss, not as a faint colour on a scale
    # of nothing.
    top = max(max(max(r) for r in rows), 2 * (run.max_loss or 0), 1.0)
    # No loss is white, whatever the colour map's lightest red.
    cmap = matplotlib_colormap("Reds")
    cmap.set_under("white")
    image = ax.imshow(rows, aspect="auto", interpolation="nearest", cmap=cmap, vmin=1e-9, vmax=top,
                      origin="lower", extent=(times[0], times[-1], indexes[0] - 0.5, indexes[-1] + 0.5))
    # A colour bar beside the axes, so that it keeps the width of the panels above it.
    ax.figure.colorbar(image, cax=ax.inset_axes([1.005, 0, 0.012, 1]), label="loss (%)")
    ax.set_ylabel("decoder index")
    return True


# One function a panel: each returns False when the run lacks what it needs, and is left out.
PANELS = (panel_online, panel_loss, panel_jitter, panel_received, panel_local, panel_decoders)


def title(run, csv_path):
    """The verdict and the figures it was made on: the report's, else the CSV's last."""
    text = "relaysim run %s" % os.path.basename(csv_path)
    if run.verdict:
        text += ": verdict %s" % run.verdict
    totals = run.reports[-1].get("totals", {}) if run.reports else {}
    loss = totals.get("loss_percent")
    if loss is None and run.has("lost", "received"):
        loss = run.loss_percent()[1][-1]
    # The worst of the run, as --max-jitter judges it, not the last estimate.
    jitter = totals.get("jitter_ms_worst", totals.get("jitter_ms_max"))
    if jitter is None and run.has("jitter_ms_worst"):
        jitter = run.columns["jitter_ms_worst"][-1]
    elif jitter is None and run.has("jitter_ms_max"):
        jitter = max(run.columns["jitter_ms_max"])
    notes = []
    for name, value, unit, limit in (("loss", loss, "%", run.max_loss),
                                     ("worst jitter", jitter, " ms", run.max_jitter)):
        if value is not None:
            notes.append("%s %.2f%s" % (name, value, unit) +
                         (" (limit %g%s)" % (limit, unit) if limit is not None else ""))
    return text + ("\n" + ", ".join(notes) if notes else "")


def matplotlib_colormap(name):
    import matplotlib
    return matplotlib.colormaps[name].copy() if hasattr(matplotlib, "colormaps") \
        else matplotlib.cm.get_cmap(name).copy()


def pyplot():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        fail("matplotlib is missing: install python3-matplotlib and run with /usr/bin/python3")
    return plt


def plot_ramp(path, out):
    """The capacity curve of a ramp: loss, worst jitter and (where measured) p99 delay of each
    step against its decoders, the thresholds as lines, the capacity marked."""
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
    broke = [s for s in steps if s["verdict"] != "held"]
    limits = report.get("thresholds", {})
    panels = [("loss_percent", limits.get("max_loss_percent"), "%", "loss per step (%)", "tab:red"),
              ("jitter_ms_max", limits.get("max_jitter_ms"), " ms", "worst jitter per step (ms)",
               "tab:purple")]
    # The delay through the reflector, where a step measured one (relaysim's own encoders).
    for s in steps:
        s["delay_p99_ms"] = (s.get("delay") or {}).get("p99_ms")
    if any(s["delay_p99_ms"] is not None for s in steps):
        panels.append(("delay_p99_ms", limits.get("max_delay_ms"), " ms",
                       "p99 delay per step (ms)", "tab:blue"))
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(9, 3.5 * len(panels)))
    for ax, (key, limit, unit, label, colour) in zip(axes, panels):
        shown = [s for s in steps if s[key] is not None]
        ax.plot([s["decoders"] for s in shown], [s[key] for s in shown], color=colour, marker="o")
        ax.plot([s["decoders"] for s in broke if s[key] is not None],
                [s[key] for s in broke if s[key] is not None], linestyle="none",
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
    if len(argv) == 3 and argv[1].endswith(".json"):
        return plot_ramp(argv[1], argv[2])
    parser = argparse.ArgumentParser(
        prog=PROG, description="Draws a relaysim run from its CSV (--csv), with its JSON reports "
        "(--report, several snapshots for a heat map by time).",
        epilog="A ramp: %s RAMP.json OUT.png draws the capacity curve from the report of a run "
        "with --ramp and --report (loss, worst jitter and, where measured, p99 delay per step)."
        % PROG)
    parser.add_argument("csv", metavar="RUN.csv")
    parser.add_argument("out", metavar="OUT.png")
    parser.add_argument("--report", action="extend", nargs="+", default=[], metavar="RUN.json",
                        help="the run's JSON report; several snapshots give a heat map by time")
    parser.add_argument("--max-loss", type=float, metavar="PERCENT",
                        help="loss threshold to draw (default: the report's)")
    parser.add_argument("--max-jitter", type=float, metavar="MS",
                        help="jitter threshold to draw (default: the report's)")
    args = parser.parse_args(argv[1:])
    run = Run(read_csv(args.csv), read_reports(args.report), args.max_loss, args.max_jitter)
    plt = pyplot()

    fig = plt.figure(figsize=(10, 2.2 * len(PANELS)))
    drawn = []
    for panel in PANELS:
        ax = fig.add_subplot(len(PANELS), 1, len(drawn) + 1)
        if panel(ax, run):
            ax.grid(True, alpha=0.3)
            if run.startup_end is not None and not ax.images:
                ax.axvspan(0, run.startup_end, color="0.9", zorder=0)
            drawn.append(ax)
        else:
            fig.delaxes(ax)
    if not drawn:
        fail("%s has none of the columns the panels draw" % args.csv)
    fig.set_size_inches(10, 2.2 * len(drawn) + 0.8)
    grid = fig.add_gridspec(len(drawn), 1)
    for n, ax in enumerate(drawn):
        ax.set_subplotspec(grid[n])
        if n:
            ax.sharex(drawn[0])
    drawn[0].set_title(title(run, args.csv))
    if run.startup_end is not None:
        drawn[0].text(run.startup_end / 2, 0.05, "start-up", transform=drawn[0].get_xaxis_transform(),
                      ha="center", fontsize="small", color="0.4")
    drawn[-1].set_xlabel("time (s)")
    fig.tight_layout()
    try:
        fig.savefig(args.out, dpi=100)
    except OSError as e:
        fail("can't write %s: %s" % (args.out, e.strerror))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
