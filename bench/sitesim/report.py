"""The run's report: a table per firewall in text, the figures in JSON and
the per-second series in CSV."""
import csv
import json
import os

KIND_NAMES = {
    "new-dc": "new pair, from a store",
    "new-syslog": "new pair, from syslog",
    "off": "removed: switched off",
    "replace": "removed: another user",
    "logoff-off": "removed: logoff, later off",
    "logoff-replace": "removed: logoff, later another user",
}


def _fmt(value, digits=1):
    return "-" if value is None else ("%.*f" % (digits, value))


def text(run, summaries):
    lines = ["Site simulation: %(workstations)d workstations, %(duration)d s of schedule + %(drain).0f s "
             "drain, seed %(seed)d" % run,
             "Timings: CollectInterval %(collect_interval)d s, UserCheckFrequency %(user_check_frequency)d s, "
             "PingTimeout %(ping_timeout)d ms, ProbeTime %(probe_time)d s, MaxConcurrent %(max_concurrent)d, "
             "processing margin %(processing).1f s" % run["timings"],
             "Schedule: %(steps)d steps (%(logons)d logons, %(offs)d switch-offs, %(logoffs)d logoff events), "
             "largest lag behind it %(lag).2f s; packets lost by the echo capture: %(echo_drops)s" % run, ""]
    for s in summaries:
        w = s["windows"]
        lines += ["%s: %.0f true pairs and %.0f held on average over %d s" % (
                      s["firewall"], s["mean_true"], s["mean_held"], s["seconds"]),
                  "  precision %.4f (lowest second %.3f), recall %.4f (lowest second %.3f)" % (
                      s["precision"], s["precision_min"], s["recall"], s["recall_min"]),
                  "  outside the windows: precision %.4f, recall %.4f; unexplained pair-seconds: %d held, %d "
                  "lacking; wrong user outside windows: %d" % (
                      s["precision_outside"], s["recall_outside"], s["fp_fault"], s["fn_fault"],
                      s["wrong_fault"]),
                  "  pair-seconds inside windows: %d held (%d of them wrong user), %d lacking; "
                  "design limit: %d held" % (s["fp_window"], s["wrong_window"], s["fn_window"], s["fp_limit"]),
                  "  windows: new %.1f s (store), %.1f s (syslog), removal %.1f s "
                  "(G %.1f s over %d probe cycles; probes of one entry %.1f s apart at most, %.1f s median)" % (
                      w["new_dc"], w["new_syslog"], w["removal"], w["probe_gap"], w["cycles"],
                      w["entry_gap_max"], w["probe_gap_median"]),
                  "  %-38s %5s %7s %7s %7s %7s %7s %7s %5s" % (
                      "change", "n", "min", "median", "p95", "max", "window", "missed", "open")]
        for kind, entry in sorted(s["delays"].items()):
            st = entry["stats"] or {}
            lines.append("  %-38s %5d %7s %7s %7s %7s %7s %7d %5d" % (
                KIND_NAMES.get(kind, kind), st.get("n", 0), _fmt(st.get("min")), _fmt(st.get("median")),
                _fmt(st.get("p95")), _fmt(st.get("max")), _fmt(entry["window"]), entry["missed"],
                entry["open"]))
        limit = s["limit_stale"] or {}
        lines.append("  limit: %d logoffs left the workstation on while the firewall held the pair; it kept it "
                     "%s s median, %s s at most, before the next logon there, the switch-off or the end" % (
                         s["limit_pairs"], _fmt(limit.get("median")), _fmt(limit.get("max"))))
        if s["stray_logouts"]:
            lines.append("  logouts for pairs the firewall did not hold: %d" % s["stray_logouts"])
        if s["skipped"]:
            lines.append("  probes that missed a whole cycle: %d" % s["skipped"])
        for t, address, gap in s["skipped_first"]:
            lines.append("  SKIPPED after +%.1f s: %s probed again %.1f s later" % (t - run["start"], address, gap))
        for t, what, pair, why in s["faults"][:5]:
            lines.append("  UNEXPLAINED at +%.0f s: %s %s %s (%s)" % (t - run["start"], what, pair[1], pair[0], why))
        lines.append("")
    return "\n".join(lines)


def write(folder, run, summaries, results):
    with open(os.path.join(folder, "report.json"), "w") as f:
        json.dump({"run": run, "firewalls": summaries}, f, indent=1, default=str)
    with open(os.path.join(folder, "seconds.csv"), "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["firewall", "second", "true", "held", "tp", "fp_window", "fp_limit", "fp_fault",
                      "fn_window", "fn_fault", "precision", "recall"])
        for r in results:
            for s in r.seconds:
                out.writerow([r.name, round(s.t - run["start"]), s.true, s.held, s.tp, s.fp_window, s.fp_limit,
                              s.fp_fault, s.fn_window, s.fn_fault, "%.4f" % s.precision, "%.4f" % s.recall])
    with open(os.path.join(folder, "delays.csv"), "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["firewall", "kind", "second", "delay", "window", "missed", "address", "user"])
        for r in results:
            for d in r.delays:
                out.writerow([r.name, d.kind, "%.2f" % (d.t - run["start"]), _fmt(d.delay, 2), _fmt(d.window, 1),
                              int(d.missed), d.pair[0], d.pair[1]])
