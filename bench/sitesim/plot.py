"""The run as a picture: precision and recall per second for each firewall,
and every delay against its window."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def draw(path, run, results):
    fig, axes = plt.subplots(3, 1, figsize=(11, 10), sharex=True)
    start = run["start"]
    for r in results:
        xs = [s.t - start for s in r.seconds]
        axes[0].plot(xs, [s.precision for s in r.seconds], label=r.name, linewidth=1)
        axes[1].plot(xs, [s.recall for s in r.seconds], label=r.name, linewidth=1)
    for ax, name in ((axes[0], "precision"), (axes[1], "recall")):
        ax.set_ylabel(name)
        ax.set_ylim(min(0.8, ax.get_ylim()[0]), 1.005)
        ax.axvline(run["duration"], color="grey", linestyle=":", linewidth=1)
        ax.grid(alpha=0.3)
        ax.legend(loc="lower left", fontsize=8)
    markers = {"new-dc": ("o", "new pair (store)"), "new-syslog": ("^", "new pair (syslog)"),
               "off": ("x", "removed: switched off"), "logoff-off": ("+", "removed: logoff, later off"),
               "replace": ("s", "removed: another user")}
    for kind, (marker, label) in markers.items():
        points = [(d.t - start, d.delay) for r in results for d in r.delays
                  if d.kind == kind and d.delay is not None and d.window is not None]
        if points:
            axes[2].scatter([p[0] for p in points], [p[1] for p in points], marker=marker, s=10, label=label,
                            alpha=0.6)
    w = results[0].windows
    for value, label in ((w.new_dc, "new-pair window (store)"), (w.removal, "removal window")):
        axes[2].axhline(value, linestyle="--", linewidth=1, color="grey")
        axes[2].text(0, value, " " + label, fontsize=8, va="bottom")
    axes[2].set_ylabel("delay, s")
    axes[2].set_xlabel("seconds since the schedule began (dotted: its end)")
    axes[2].grid(alpha=0.3)
    axes[2].legend(loc="center left", fontsize=8)
    fig.suptitle("Site simulation: %d workstations, seed %d" % (run["workstations"], run["seed"]))
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
