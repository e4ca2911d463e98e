"""The firewalls' view measured against the truth.

For each firewall and each second: the pairs it holds that are true (TP),
those it holds that are not (FP: stale or wrong user), and the true pairs
it lacks (FN). Each FP and FN second is explained by the window of the
change behind it, by a limit of the design, or by nothing (a fault).
For each change of the truth: the delay until the firewall reflected it.

Windows (seconds):
  new pair, read from a store:  CollectInterval + processing
  new pair, from syslog:        processing
  removed by another logon:     the window of that logon
  removed by switching off:     ProbeTimeout + 2 * G + processing,
      G = the longest time from the first probe of one cycle of the
      firewall's logoff collector to the last probe of the next cycle, in
      this run, taken from the echo requests on lo. A cycle hands out every
      entry of the cache, one to each free worker, and the next begins
      UserCheckFrequency after it has handed out its last; so two successive
      probes of one entry are at most G apart (a cycle's hand-out time grows
      with the entries that do not answer and with the machine's load). The
      first probe after the switch-off comes within one G; it fails and is
      the last regular probe; the logoff comes with the first failure that
      ends at least ProbeTimeout after it, within one more G.
      An entry counts its logon as a probe: it is not due until
      reprobeInterval (ProbeTimeout / 10) after it, so a switch-off sooner
      than that after the logon waits for it as well.
      An entry that misses a whole cycle while the firewall holds it and it
      was due breaks these rules: it is counted as a fault (skipped), not
      folded into G.
  removed by a logoff that leaves the workstation on: none (ping cannot see
      it); once the next logon or the switch-off makes it observable, the
      window of that change runs from then.
"""
import bisect
import dataclasses
import math
import statistics


@dataclasses.dataclass
class Windows:
    new_dc: float
    new_syslog: float
    removal: float
    probe_gap: float         # G: longest span from a cycle's first probe to the next cycle's last
    probe_gap_median: float  # between two probes of one entry
    entry_gap_max: float
    cycles: int
    reprobe: float           # reprobeInterval: a logon counts as a probe this long

    def switch_off(self, since, logon):
        """The removal window of a switch-off at since, the entry's last logon at logon."""
        return self.removal + max(0.0, logon + self.reprobe - since)

    def new(self, source):
        return self.new_dc if source == "dc" else self.new_syslog

    def end(self, kind, source, since=None, logons=()):
        """The window of a pair's end of this kind at since; logons: the times
        of the logons at its address."""
        if kind != "off":
            return self.new(source)
        last = max((t for t in logons if since is None or t <= since), default=None)
        return self.removal if last is None or since is None else self.switch_off(since, last)


def held_at(intervals, t):
    """Whether any of the [start, end) intervals holds t (end None: open)."""
    for start, end in intervals:
        if start <= t and (end is None or t < end):
            return True
    return False


RETRY_SPAN = 3.0   # echoes to one address this close belong to one probe (its retries)


@dataclasses.dataclass
class Pace:
    """How one firewall's logoff collector probed in a run."""
    cycles: int = 0
    cycle_gap: float = None   # G: longest span from a cycle's first probe to the next cycle's last
    gaps: list = dataclasses.field(default_factory=list)      # between two probes of one held entry
    skipped: list = dataclasses.field(default_factory=list)   # (t, address, gap): missed a whole cycle


def probe_pace(echoes, held_by_firewall, pause, logons=None, reprobe=0.0):
    """Each firewall's probing cycles and the gaps between probes of one entry.

    echoes: (t, ICMP identifier, address) of every echo request the agent
    sent. A probe is a run of echoes to one address no more than RETRY_SPAN
    apart; its time is its first echo. Each identifier is the ICMP socket of
    one address family of one logoff collector: it belongs to the firewall
    that held every address it probed and, of those, held the fewest (the
    two firewalls on the controllers hold nested sets). A socket's probes
    form one cycle while they follow each other within pause seconds: inside
    a cycle the next probe starts as soon as a worker is free, between two
    cycles none starts for UserCheckFrequency. Gaps and skips count only
    while the firewall held the address throughout; a cycle that passes over
    an entry whose logon (logons: address -> times) came less than reprobe
    seconds before is no skip: the entry was not due."""
    logons = logons or {}

    def due_in(address, first, last):
        return not any(first - reprobe < t <= last + RETRY_SPAN for t in logons.get(address, []))

    addresses = {}
    for _, ident, address in echoes:
        addresses.setdefault(ident, set()).add(address)
    held_addresses = {name: {a for a, _ in held} for name, held in held_by_firewall.items()}
    owner = {}
    for ident, probed in addresses.items():
        candidates = [name for name, mine in held_addresses.items() if probed <= mine]
        if candidates:
            owner[ident] = min(candidates, key=lambda name: len(held_addresses[name]))
    held_times = {name: {} for name in held_by_firewall}
    for name, held in held_by_firewall.items():
        for (address, _), intervals in held.items():
            held_times[name].setdefault(address, []).extend(intervals)
    probes, last = {}, {}
    for t, ident, address in sorted(echoes):
        key = (ident, address)
        if key not in last or t - last[key] > RETRY_SPAN:
            probes.setdefault(ident, []).append((t, address))
        last[key] = t
    pace = {name: Pace() for name in held_by_firewall}
    for ident, starts in sorted(probes.items()):
        name = owner.get(ident)
        if name is None:
            continue
        p = pace[name]
        bounds = []   # [first, last] probe of each cycle
        previous = {}  # address -> (t, cycle) of its last probe
        for t, address in starts:
            if not bounds or t - bounds[-1][1] > pause:
                bounds.append([t, t])
            bounds[-1][1] = t
            cycle = len(bounds) - 1
            if address in previous:
                t0, c0 = previous[address]
                if held_throughout(held_times[name].get(address, []), t0, t):
                    p.gaps.append(t - t0)
                    if any(due_in(address, *bounds[c]) for c in range(c0 + 1, cycle)):
                        p.skipped.append((t0, address, t - t0))
            previous[address] = (t, cycle)
        p.cycles += len(bounds)
        spans = [bounds[k + 1][1] - bounds[k][0] for k in range(len(bounds) - 1)]
        if spans:
            p.cycle_gap = max(spans + ([p.cycle_gap] if p.cycle_gap is not None else []))
    return pace


def held_throughout(intervals, start, end):
    return any(s <= start and (e is None or e > end) for s, e in intervals)


def reprobe_interval(timings):
    return float(max(timings.probe_time // 10, 1))


def make_windows(timings, pace):
    """pace: the firewall's probing (probe_pace); without any cycle seen, G is
    the design's shortest, UserCheckFrequency."""
    longest = pace.cycle_gap if pace.cycle_gap is not None else timings.user_check_frequency
    median = statistics.median(pace.gaps) if pace.gaps else timings.user_check_frequency
    removal = timings.probe_time + 2 * longest + timings.processing
    return Windows(timings.collect_interval + timings.processing, timings.processing, removal, longest, median,
                   max(pace.gaps, default=0.0), pace.cycles, reprobe_interval(timings))


@dataclasses.dataclass
class Second:
    t: float
    true: int = 0
    held: int = 0
    tp: int = 0
    fp_window: int = 0
    fp_limit: int = 0
    fp_fault: int = 0
    fn_window: int = 0
    fn_fault: int = 0
    wrong_window: int = 0   # of the FP: another user logged on at that address since
    wrong_fault: int = 0

    @property
    def precision(self):
        return self.tp / self.held if self.held else 1.0

    @property
    def recall(self):
        return self.tp / self.true if self.true else 1.0


@dataclasses.dataclass
class Delay:
    kind: str          # "new-dc", "new-syslog", "off", "replace", "logoff"
    t: float           # when the truth changed (for "logoff": when it became observable)
    delay: float       # None: not reflected by the end of the run
    window: float      # None: a limit of the design, no window
    pair: tuple

    @property
    def missed(self):
        if self.window is None:
            return False
        return self.delay is None or self.delay > self.window


@dataclasses.dataclass
class Result:
    name: str
    windows: Windows
    seconds: list
    delays: list
    limits: list          # (pair, stale seconds) of logoffs ping cannot see
    stray_logouts: int
    faults: list          # (t, "FP"/"FN", pair, why) first few unexplained seconds
    skipped: list = dataclasses.field(default_factory=list)  # probes that missed a cycle (probe_pace)


def analyse(name, truth_intervals, all_intervals, held, pace, timings, start, end, stray_logouts=0, logons=None):
    """truth_intervals: this firewall's share of the truth (its source, its
    rules); all_intervals: the whole site's, for the wrong-user test; held:
    (address, user) -> [[start, end]] of the firewall's table; pace: its
    logoff collector's probing (probe_pace); logons: address -> times of
    every logon there (by default the pairs' starts)."""
    if logons is None:
        logons = logon_times(all_intervals)
    seconds = [start + k for k in range(int(end - start) + 1)]
    windows = make_windows(timings, pace)
    by_pair = {}
    for iv in truth_intervals:
        by_pair.setdefault((iv.address, iv.user), []).append(iv)
    for ivs in by_pair.values():
        ivs.sort(key=lambda iv: iv.start)
    site_by_address = {}
    for iv in all_intervals:
        site_by_address.setdefault(iv.address, []).append(iv)

    def truth_now(pair, s):
        """The pair's interval holding s, or the last one ended before s."""
        ivs = by_pair.get(pair, [])
        starts = [iv.start for iv in ivs]
        i = bisect.bisect_right(starts, s) - 1
        if i < 0:
            return None, False
        iv = ivs[i]
        return iv, iv.end is None or s < iv.end

    def other_user_at(address, user, s):
        for iv in site_by_address.get(address, []):
            if iv.start <= s and (iv.end is None or s < iv.end):
                return iv.user != user
        return False

    result = Result(name, windows, [], [], [], stray_logouts, [], pace.skipped)
    pairs = set(by_pair) | set(held)
    for s in seconds:
        sec = Second(s)
        for pair in pairs:
            iv, is_true = truth_now(pair, s)
            is_held = held_at(held.get(pair, []), s)
            sec.true += is_true
            sec.held += is_held
            if is_true and is_held:
                sec.tp += 1
            elif is_true:
                if s <= iv.start + windows.new(iv.source):
                    sec.fn_window += 1
                else:
                    sec.fn_fault += 1
                    if len(result.faults) < 20:
                        result.faults.append((s, "FN", pair, "true since %.1f" % iv.start))
            elif is_held:
                why = _explain_held(iv, s, windows, logons.get(pair[0], []))
                wrong = other_user_at(pair[0], pair[1], s)
                if why == "limit":
                    sec.fp_limit += 1
                elif why == "window":
                    sec.fp_window += 1
                    sec.wrong_window += wrong
                else:
                    sec.fp_fault += 1
                    sec.wrong_fault += wrong
                    if len(result.faults) < 20:
                        result.faults.append((s, "FP", pair, why))
        result.seconds.append(sec)

    for pair, ivs in by_pair.items():
        hs = held.get(pair, [])
        for k, iv in enumerate(ivs):
            next_start = ivs[k + 1].start if k + 1 < len(ivs) else math.inf
            result.delays.append(_new_delay(iv, hs, windows, end))
            removal, limit = _removal_delay(iv, hs, next_start, windows, end, logons.get(iv.address, []))
            if removal is not None:
                result.delays.append(removal)
            if limit is not None:
                result.limits.append((pair, limit))
    return result


def _explain_held(iv, s, windows, logons):
    """Why a firewall may hold a pair at s that is not true then."""
    if iv is None:
        return "never true"
    if iv.end_kind == "logoff":
        if iv.observed is None or iv.observed > s:
            return "limit"
        deadline = iv.observed + windows.end(iv.observed_kind, iv.observed_source, iv.observed, logons)
        return "window" if s <= deadline else "held %.1f s after %s at %.1f" % (
            s - iv.observed, iv.observed_kind, iv.observed)
    deadline = iv.end + windows.end(iv.end_kind, iv.end_source, iv.end, logons)
    return "window" if s <= deadline else "held %.1f s after %s at %.1f" % (s - iv.end, iv.end_kind, iv.end)


def _new_delay(iv, hs, windows, run_end):
    window = windows.new(iv.source)
    kind = "new-" + iv.source
    until = iv.end if iv.end is not None else run_end
    for start, end in hs:
        if (end is None or end > iv.start) and start < until:
            return Delay(kind, iv.start, max(0.0, start - iv.start), window, (iv.address, iv.user))
    # Never held while true: a pair that ended within its window was not yet due.
    if until - iv.start <= window:
        return Delay(kind, iv.start, until - iv.start, None, (iv.address, iv.user))
    return Delay(kind, iv.start, None, window, (iv.address, iv.user))


def _removal_delay(iv, hs, next_start, windows, run_end, logons):
    """The delay until the firewall let go of a pair that ended, and for a
    logoff that left the workstation on, how long the firewall kept the pair
    before anything observable happened there (the design's limit)."""
    if iv.end is None:
        return None, None
    overlapping = [(start, end) for start, end in hs
                   if start < next_start and (end is None or end > iv.end) and start <= run_end]
    if not overlapping:
        return None, None  # the firewall did not hold it when it ended
    held_until = max(math.inf if end is None else end for _, end in overlapping)
    pair = (iv.address, iv.user)
    # True again before the firewall let go (the same user back): the stale time ends there.
    superseded = held_until >= next_start
    if superseded:
        held_until = next_start
    since, kind, source = iv.end, iv.end_kind, iv.end_source
    limit = None
    if kind == "logoff":
        observed = iv.observed if iv.observed is not None else math.inf
        limit = min(held_until, observed, run_end) - iv.end
        if held_until <= observed or iv.observed_kind == "relogon":
            return None, limit
        since, kind, source = iv.observed, "logoff-" + iv.observed_kind, iv.observed_source
    window = windows.end(kind.split("-")[-1], source, since, logons)
    if superseded:
        return Delay(kind, since, held_until - since, window, pair), limit
    delay = None if held_until == math.inf else held_until - since
    return Delay(kind, since, delay, window, pair), limit


def logon_times(intervals):
    """address -> the pairs' starts there: the logons, without refreshes."""
    times = {}
    for iv in intervals:
        times.setdefault(iv.address, []).append(iv.start)
    return times


def quantiles(values):
    values = sorted(values)
    if not values:
        return None
    pick = lambda q: values[min(len(values) - 1, int(q * (len(values) - 1) + 0.5))]
    return {"n": len(values), "min": values[0], "median": statistics.median(values), "p95": pick(0.95),
            "max": values[-1]}


def summary(result):
    """Plain figures of one firewall's run, for the report and the check."""
    secs = result.seconds
    tp = sum(s.tp for s in secs)
    held = sum(s.held for s in secs)
    true = sum(s.true for s in secs)
    fp_fault = sum(s.fp_fault for s in secs)
    fn_fault = sum(s.fn_fault for s in secs)
    delays = {}
    for d in result.delays:
        entry = delays.setdefault(d.kind, {"window": d.window, "values": [], "missed": 0, "open": 0})
        if d.window is None:
            continue
        # The base window; a switch-off right after a logon gets a little more.
        entry["window"] = d.window if entry["window"] is None else min(entry["window"], d.window)
        if d.delay is None:
            entry["open"] += 1
        else:
            entry["values"].append(d.delay)
        entry["missed"] += d.missed
    for entry in delays.values():
        entry["stats"] = quantiles(entry.pop("values"))
    stale = [d for _, d in result.limits]
    return {
        "firewall": result.name,
        "seconds": len(secs),
        "mean_true": true / len(secs) if secs else 0,
        "mean_held": held / len(secs) if secs else 0,
        "precision": tp / held if held else 1.0,
        "recall": tp / true if true else 1.0,
        "precision_min": min((s.precision for s in secs), default=1.0),
        "recall_min": min((s.recall for s in secs), default=1.0),
        "precision_outside": tp / (tp + fp_fault) if tp + fp_fault else 1.0,
        "recall_outside": tp / (tp + fn_fault) if tp + fn_fault else 1.0,
        "fp_window": sum(s.fp_window for s in secs),
        "fp_limit": sum(s.fp_limit for s in secs),
        "fp_fault": fp_fault,
        "fn_window": sum(s.fn_window for s in secs),
        "fn_fault": fn_fault,
        "wrong_window": sum(s.wrong_window for s in secs),
        "wrong_fault": sum(s.wrong_fault for s in secs),
        "delays": delays,
        "missed": sum(d.missed for d in result.delays),
        "limit_pairs": len(result.limits),
        "limit_stale": quantiles(stale),
        "stray_logouts": result.stray_logouts,
        "skipped": len(result.skipped),
        "skipped_first": result.skipped[:5],
        "windows": dataclasses.asdict(result.windows),
        "faults": result.faults,
    }
