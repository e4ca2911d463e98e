"""The truth: who is at which address, second by second, as the simulator
itself makes it happen. Changes are recorded as pair intervals.

A pair is (address, user). It starts with a logon at the address and ends
when the workstation is switched off ("off"), when another user logs on
there ("replace"), or when its user logs off and leaves the workstation on
("logoff"). A firewall can only learn of a "logoff" later, when something
it can observe happens at that address: the next logon there or the
address going off; that moment is kept as the end's observation.
"""
import dataclasses


@dataclasses.dataclass
class Interval:
    address: str
    user: str
    source: str              # "dc" or "syslog": how its logon reached the agent
    start: float
    end: float = None        # None while the pair holds
    end_kind: str = ""       # "off", "replace" or "logoff"
    end_source: str = ""     # for "replace": the source of the logon that replaced it
    observed: float = None   # for "logoff": when the firewall could first notice
    observed_kind: str = ""  # "off", "replace" or "relogon"
    observed_source: str = ""


class Truth:
    def __init__(self):
        self.current = {}       # address -> open Interval
        self.intervals = []     # every Interval, in order of start
        self.unobserved = {}    # address -> Intervals ended by "logoff", not yet observable
        self.powered = {}       # address -> [[on, off or None]]: when it answers pings
        self.logons = {}        # address -> times of every logon there, refreshes included

    def _observe(self, t, address, kind, source="", user=None):
        for interval in self.unobserved.pop(address, []):
            interval.observed = t
            interval.observed_kind = "relogon" if interval.user == user else kind
            interval.observed_source = source

    def _end(self, t, address, kind, source=""):
        interval = self.current.pop(address, None)
        if interval is None:
            return
        interval.end = t
        interval.end_kind = kind
        interval.end_source = source
        if kind == "logoff":
            self.unobserved.setdefault(address, []).append(interval)

    def logon(self, t, address, user, source):
        self.logons.setdefault(address, []).append(t)
        open_interval = self.current.get(address)
        if open_interval is not None and open_interval.user == user:
            return  # the same user again: a refresh, nothing changes
        self._observe(t, address, "replace", source, user)
        self._end(t, address, "replace", source)
        interval = Interval(address, user, source, t)
        self.current[address] = interval
        self.intervals.append(interval)

    def logoff(self, t, address):
        self._end(t, address, "logoff")

    def off(self, t, address):
        self._observe(t, address, "off")
        self._end(t, address, "off")

    def address_on(self, t, address):
        self.powered.setdefault(address, []).append([t, None])

    def address_off(self, t, address):
        self.powered[address][-1][1] = t

    def user_at(self, address):
        interval = self.current.get(address)
        return interval.user if interval else None
