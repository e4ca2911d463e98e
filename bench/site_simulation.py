#!/usr/bin/env python3
"""Site simulation: the real agent executable against a simulated site, and
the firewalls' view of it measured, second by second, against the truth.

    bench/site_simulation.py --agent PATH --diag PATH [--workstations N] [--duration S] [--seed N] ...

Runs as root, in a network namespace of its own (it moves itself into one),
so that nothing it sends leaves this machine. bench/site_simulation.sh builds
the executables and runs it; see bench/README.md.
"""
import argparse
import dataclasses
import json
import os
import shutil
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sitesim import analysis, firewall, report, runtime, site  # noqa: E402
from sitesim.truth import Interval, Truth  # noqa: E402

MARKER = "SITESIM_NETNS"


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--agent", required=True, help="the agent executable")
    p.add_argument("--diag", required=True, help="sso-diag (its firewall command plays the firewalls)")
    p.add_argument("--out", default="sitesim-out", help="folder for the report, picture and logs")
    p.add_argument("--short", action="store_true", help="the CI size: 100 workstations, 120 s")
    p.add_argument("--workstations", type=int)
    p.add_argument("--duration", type=float, help="seconds of schedule (real time)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--mean-session", type=float)
    p.add_argument("--collect-interval", type=int, default=5)
    p.add_argument("--user-check-frequency", type=int, default=6)
    p.add_argument("--ping-timeout", type=int, default=300, help="milliseconds")
    p.add_argument("--probe-time", type=int, default=30)
    p.add_argument("--max-concurrent", type=int, default=20)
    p.add_argument("--processing", type=float, default=3.0,
                   help="seconds allowed for reading, routing and sending, beyond the design's periods")
    p.add_argument("--plot", action="store_true", help="draw the PNG (needs python3-matplotlib)")
    p.add_argument("--keep", action="store_true", help="keep the agent's install folder")
    p.add_argument("--reanalyse", action="store_true",
                   help="analyse the raw.json of --out again (after a change of the analysis) without running")
    args = p.parse_args(argv)
    config = site.SiteConfig(seed=args.seed)
    if args.short:
        config.workstations, config.duration, config.mean_session = 100, 120.0, 60.0
    if args.workstations:
        config.workstations = args.workstations
    if args.duration:
        config.duration = args.duration
    if args.mean_session:
        config.mean_session = args.mean_session
    timings = site.Timings(args.collect_interval, args.user_check_frequency, args.ping_timeout, args.probe_time,
                           args.max_concurrent, args.processing)
    return args, config, timings


def enter_namespace():
    """Re-runs this script under unshare -n, unless it already runs there."""
    if os.environ.get(MARKER) == "1":
        return
    if os.geteuid() != 0:
        sys.exit("site simulation: run as root (it makes a network namespace and adds addresses to lo)")
    os.environ[MARKER] = "1"
    os.execvp("unshare", ["unshare", "-n", sys.executable, os.path.abspath(__file__)] + sys.argv[1:])


class Site:
    """One run: network, agent, firewalls, and the schedule played against them."""

    def __init__(self, args, config, timings, folder):
        self.args, self.config, self.timings, self.folder = args, config, timings, folder
        self.stations, self.steps = site.make_schedule(config)
        self.firewalls = firewall.site_firewalls()
        self.truth = Truth()
        self.peers = []
        self.lag = 0.0
        self.agent = None

    def sid(self, user):
        return "S-1-5-21-1004336348-1177238915-682003330-%d" % (1000 + int(user[1:]))

    def start(self):
        self.network = runtime.Network([str(site.SITE_V4), str(site.V6_RANGE)])
        self.network.add(runtime.SYSLOG_SENDER)
        self.echoes = runtime.EchoCapture()
        port = runtime.free_port()
        self.syslog_port = runtime.free_port(socket.SOCK_DGRAM)
        instance = os.path.join(self.folder, "agent")
        self.agent = runtime.Agent(instance, self.args.agent,
                                   runtime.config_ini(port, self.firewalls, self.timings, self.syslog_port))
        self.stores = {i + 1: self.agent.store(dc) for i, dc in enumerate(runtime.DC_ADDRESSES)}
        self.gateway = runtime.SyslogGateway(self.syslog_port)
        self.agent.start()
        self.agent.wait_for_log("Ferrowinden SSO Agent 3.0 started", 60)
        for fw in self.firewalls:
            controllers = [runtime.SYSLOG_SENDER] if fw.source == "syslog" else runtime.DC_ADDRESSES
            self.peers.append(firewall.Peer(fw, self.args.diag, port, runtime.KEY, controllers,
                                            runtime.firewall_configuration(fw, self.timings, self.syslog_port),
                                            os.path.join(self.folder, fw.serial + ".peer.log")))
            # One at a time: a firewall's Configuration restarts the collection of its controllers.
            self.agent.wait_for_log("%s: initial rules:" % fw.serial, 60)
        deadline = time.time() + 30
        while not runtime.udp_port_bound(self.syslog_port):
            if time.time() > deadline:
                raise RuntimeError("the agent never bound its syslog port")
            time.sleep(0.2)

    def play(self, step):
        ws = self.stations[step.ws]
        if step.kind == "boot":
            self.network.add(step.address)
            self.truth.address_on(time.time(), step.address)
            if ws.source == "dc":
                # The computer's own account logs on too; the agent must pass over it.
                self.stores[step.dc].logon("4624-3", ws.name + "$", step.address, ws.name, "S-1-5-18")
        elif step.kind == "logon":
            self.truth.logon(time.time(), step.address, step.user, ws.source)
            if ws.source == "syslog":
                self.gateway.send("LOGON user=%s ip=%s" % (step.user, step.address))
                return
            self.stores[step.dc].logon(step.event, step.user, step.address, ws.name, self.sid(step.user))
            if step.double:
                other = 3 - step.dc
                kind = "4624-3" if step.event == "4768" else "4768"
                self.stores[other].logon(kind, step.user, step.address, ws.name, self.sid(step.user))
        elif step.kind == "logoff":
            self.truth.logoff(time.time(), step.address)
            if ws.source == "syslog":
                self.gateway.send("LOGOFF user=%s ip=%s" % (step.user, step.address))
            else:
                self.stores[step.dc].logoff(step.user, self.sid(step.user))
        elif step.kind == "off":
            self.network.remove(step.address)
            now = time.time()
            self.truth.off(now, step.address)
            self.truth.address_off(now, step.address)

    def run_schedule(self):
        self.t0 = time.time()
        next_note = self.t0 + 30
        for step in self.steps:
            due = self.t0 + step.t
            wait = due - time.time()
            if wait > 0:
                time.sleep(wait)
            else:
                self.lag = max(self.lag, -wait)
            self.play(step)
            if time.time() >= next_note:
                next_note += 30
                self.note()

    def live_tables(self):
        tables = []
        for peer in self.peers:
            table = firewall.HeldIntervals()
            for message in peer.snapshot():
                table.apply(message)
            tables.append(table)
        return tables

    def note(self):
        held = ", ".join("%s %d" % (p.spec.serial, len(t.table)) for p, t in zip(self.peers, self.live_tables()))
        print("  +%4.0f s: %d addresses in use; pairs held: %s" % (
            time.time() - self.t0, len(self.truth.current), held), flush=True)

    def drain(self):
        """After the schedule: until no firewall holds a pair at an address that
        is off (every removal window has run out), at most twice the removal
        window without load."""
        t = self.timings
        limit = 2 * (t.probe_time + 2 * t.user_check_frequency + t.processing) + 10
        deadline = time.time() + limit
        while time.time() < deadline:
            time.sleep(2)
            stale = 0
            for table in self.live_tables():
                for address in table.table:
                    ivs = self.truth.powered.get(address, [])
                    if not ivs or ivs[-1][1] is not None:
                        stale += 1
            if stale == 0:
                break
        # One new-pair window more: whatever was about to arrive has arrived.
        time.sleep(t.collect_interval + t.processing)
        self.end = time.time()

    def stop(self):
        for peer in self.peers:
            peer.stop()
        code = self.agent.stop() if self.agent else None
        if hasattr(self, "echoes"):
            self.echoes.stop()
        if hasattr(self, "gateway"):
            self.gateway.close()
        return code

    def raw(self):
        """What the run observed, enough to analyse it again (--reanalyse)."""
        return {"t0": self.t0, "end": self.end, "lag": self.lag,
                "intervals": [dataclasses.asdict(iv) for iv in self.truth.intervals],
                "logons": self.truth.logons, "echoes": self.echoes.echoes, "echo_drops": self.echoes.drops,
                "messages": {p.spec.serial: [[m.t, m.header, m.lines] for m in p.snapshot()] for p in self.peers}}


def evaluate(raw, timings):
    """Each firewall's table from its messages, against its share of the truth."""
    intervals = [Interval(**iv) for iv in raw["intervals"]]
    held = {}
    stray = {}
    for fw in firewall.site_firewalls():
        table = firewall.HeldIntervals()
        for t, header, lines in raw["messages"][fw.serial]:
            table.apply(firewall.Message(t, header, [tuple(line) for line in lines]))
        held[fw.serial] = table.intervals
        stray[fw.serial] = len(table.stray_logouts)
    logons = raw.get("logons") or analysis.logon_times(intervals)
    # Between two cycles no probe starts for UserCheckFrequency (a timer, a little early at worst).
    pace = analysis.probe_pace(raw["echoes"], held, 0.75 * timings.user_check_frequency, logons,
                               analysis.reprobe_interval(timings))
    results = []
    for fw in firewall.site_firewalls():
        mine = [iv for iv in intervals if iv.source == fw.source and fw.admits(iv.user, iv.address)]
        results.append(analysis.analyse(fw.serial, mine, intervals, held[fw.serial], pace[fw.serial], timings,
                                        raw["t0"], raw["end"], stray[fw.serial], logons))
    return results


def play(args, config, timings, out):
    """Runs the site; returns the raw observations and the run's description."""
    work = tempfile.mkdtemp(prefix="sitesim-")
    simulation = Site(args, config, timings, work)
    counts = {k: sum(1 for s in simulation.steps if s.kind == k) for k in ("logon", "off", "logoff")}
    print("site simulation: %d workstations, %d steps over %.0f s, seed %d" % (
        config.workstations, len(simulation.steps), config.duration, config.seed), flush=True)
    try:
        simulation.start()
        print("agent and firewalls ready; playing the schedule", flush=True)
        simulation.run_schedule()
        print("schedule done; waiting for the last removals", flush=True)
        simulation.drain()
    finally:
        agent_code = simulation.stop()
        for name in os.listdir(work):
            if name.endswith(".peer.log") or name.endswith(".rules"):
                os.replace(os.path.join(work, name), os.path.join(out, name))
        if simulation.agent:
            with open(os.path.join(out, "agent.log"), "w") as f:
                f.write(simulation.agent.log())
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    raw = simulation.raw()
    raw["run"] = {"workstations": config.workstations, "duration": config.duration, "seed": config.seed,
                  "steps": len(simulation.steps), "logons": counts["logon"], "offs": counts["off"],
                  "logoffs": counts["logoff"], "agent_exit": agent_code,
                  "network_errors": simulation.network.errors}
    with open(os.path.join(out, "raw.json"), "w") as f:
        json.dump(raw, f)
    return raw


def main(argv):
    args, config, timings = parse(argv)
    out = os.path.abspath(args.out)
    if args.reanalyse:
        with open(os.path.join(out, "raw.json")) as f:
            raw = json.load(f)
    else:
        enter_namespace()
        os.makedirs(out, exist_ok=True)
        raw = play(args, config, timings, out)
    run = dict(raw["run"], start=raw["t0"], echo_drops=raw.get("echo_drops"),
               drain=raw["end"] - raw["t0"] - raw["run"]["duration"], lag=raw["lag"],
               timings=dataclasses.asdict(timings))
    results = evaluate(raw, timings)
    summaries = [analysis.summary(r) for r in results]
    text = report.text(run, summaries)
    with open(os.path.join(out, "report.txt"), "w") as f:
        f.write(text)
    report.write(out, run, summaries, results)
    if args.plot:
        from sitesim import plot
        plot.draw(os.path.join(out, "site_simulation.png"), run, results)
    print(text)
    failures = sum(s["fp_fault"] + s["fn_fault"] + s["missed"] + s["skipped"] for s in summaries)
    if run["agent_exit"] != 0:
        print("FAILED: the agent ended with %s" % run["agent_exit"])
        return 1
    if failures:
        print("FAILED: %d unexplained pair-seconds, missed windows or skipped probes" % failures)
        return 1
    print("OK: outside the windows every firewall's view equals the truth; every change within its window")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
