"""The simulated site: workstations, users and a seeded schedule of what
happens to them. Everything here is plain data; nothing touches the network.

A workstation logs its users on through one source for its whole life: a
domain controller (events in the controllers' Security.xml stores) or the
syslog gateway of the wireless range. Each source has its own address range,
so that an address freed by one kind of workstation is never taken by the
other kind (a firewall would never hear of the newcomer's logon).
"""
import collections
import dataclasses
import ipaddress
import random

# Address ranges of the site. Workstations are addresses routed into lo.
DC_V4_RANGE = ipaddress.ip_network("10.50.0.0/17")
SYSLOG_V4_RANGE = ipaddress.ip_network("10.50.128.0/17")
V6_RANGE = ipaddress.ip_network("fd50::/64")
SITE_V4 = ipaddress.ip_network("10.50.0.0/16")

# How a session ends (or changes), with the default weights.
END_KINDS = {
    "shutdown": 0.35,   # logoff event, then the workstation is switched off
    "poweroff": 0.15,   # switched off without any logoff event
    "move": 0.20,       # leaves its address, comes back on another one with a new logon
    "replace": 0.15,    # a second user logs on at the workstation's address
    "logoff_on": 0.15,  # logoff event, the workstation stays on without a user
}


@dataclasses.dataclass
class Timings:
    collect_interval: int = 5      # CollectInterval, seconds
    user_check_frequency: int = 6  # UserCheckFrequency, seconds
    ping_timeout: int = 300        # PingTimeout, milliseconds
    probe_time: int = 30           # ProbeTime sent by the firewalls (ProbeTimeout), seconds
    max_concurrent: int = 20       # MaxConcurrent
    processing: float = 3.0        # margin for reading, routing and sending, seconds


@dataclasses.dataclass
class SiteConfig:
    workstations: int = 1000
    duration: float = 600.0        # seconds of schedule, in real time
    seed: int = 1
    mean_session: float = 180.0    # seconds
    mean_off: float = 60.0         # seconds a workstation stays off, or idle after a logoff
    syslog_share: float = 0.15     # workstations whose logons come by syslog
    ipv6_share: float = 0.10       # of the domain controllers' workstations
    kerberos_share: float = 0.20   # logons written as 4768 instead of 4624
    double_share: float = 0.10     # logons seen by both controllers (a 4768 and a 4624)
    ramp: float = 0.3              # share of the duration over which the workstations first boot
    end_weights: dict = dataclasses.field(default_factory=lambda: dict(END_KINDS))


@dataclasses.dataclass
class Workstation:
    index: int
    name: str
    user: str        # its usual user
    source: str      # "dc" or "syslog"
    family: int      # 4 or 6


@dataclasses.dataclass
class Step:
    """One thing that happens at time t (seconds from the start of the schedule).

    kind: "boot" (address on), "logon", "logoff" (event, workstation stays on),
    "off" (address off; cause says why).
    """
    t: float
    kind: str
    ws: int
    user: str = ""
    address: str = ""
    cause: str = ""
    dc: int = 0            # 1 or 2, for logons and logoff events of "dc" workstations
    event: str = ""        # "4624-2", "4624-3" or "4768"
    double: bool = False   # a second event on the other controller


def user_name(i):
    return "u%04d" % i


def make_workstations(config, rng):
    stations = []
    for i in range(config.workstations):
        source = "syslog" if rng.random() < config.syslog_share else "dc"
        family = 6 if source == "dc" and rng.random() < config.ipv6_share else 4
        stations.append(Workstation(i, "PC%04d" % (i + 1), user_name(i + 1), source, family))
    return stations


class AddressPool:
    """Addresses handed out least recently used first, as a DHCP server
    prefers: a freed address goes to the back of the queue."""

    def __init__(self, network, count, rng):
        self.free = collections.deque()
        seen = set()
        span = network.num_addresses
        while len(self.free) < count:
            offset = rng.randrange(1, span - 1)
            address = network.network_address + offset
            if network.version == 4 and address.packed[-1] in (0, 255):
                continue
            if address not in seen:
                seen.add(address)
                self.free.append(str(address))

    def take(self):
        return self.free.popleft()

    def give_back(self, address):
        self.free.append(address)


def _expo(rng, mean, low):
    return max(low, rng.expovariate(1.0 / mean))


def _timeline(ws, config, rng, floating_users):
    """The steps of one workstation, without addresses (filled in later, in
    time order across the site)."""
    steps = []
    kinds = list(config.end_weights)
    weights = [config.end_weights[k] for k in kinds]
    gap = 3.0  # seconds between two steps of one workstation: event times have second precision

    def logon(t, user):
        event = "4768" if rng.random() < config.kerberos_share else rng.choice(["4624-2", "4624-3", "4624-3"])
        steps.append(Step(t, "logon", ws.index, user=user, dc=rng.choice([1, 2]), event=event,
                          double=ws.source == "dc" and rng.random() < config.double_share))

    t = rng.uniform(0, config.duration * config.ramp)
    while t < config.duration:
        steps.append(Step(t, "boot", ws.index, dc=rng.choice([1, 2])))
        t += rng.uniform(1, gap)
        user = ws.user if rng.random() < 0.9 else rng.choice(floating_users)
        logon(t, user)
        while True:
            t += _expo(rng, config.mean_session, 2 * gap)
            if t >= config.duration:
                return steps
            end = rng.choices(kinds, weights)[0]
            if end == "replace":
                other = rng.choice(floating_users)
                user = other if other != user else ws.user
                logon(t, user)
                continue
            if end == "logoff_on":
                steps.append(Step(t, "logoff", ws.index, user=user, dc=rng.choice([1, 2])))
                t += _expo(rng, config.mean_off, gap)
                if t >= config.duration:
                    return steps
                if rng.random() < 0.5:
                    user = ws.user if rng.random() < 0.7 else rng.choice(floating_users)
                    logon(t, user)
                    continue
                steps.append(Step(t, "off", ws.index, cause="poweroff"))
                break
            if end == "shutdown":
                steps.append(Step(t, "logoff", ws.index, user=user, dc=rng.choice([1, 2])))
                t += rng.uniform(1, gap)
            steps.append(Step(t, "off", ws.index, cause=end))
            if end == "move":
                t += rng.uniform(5, 60)
                break
            t += _expo(rng, config.mean_off, gap)
            break
    return steps


def make_schedule(config):
    """Workstations and their steps in time order, addresses assigned."""
    rng = random.Random(config.seed)
    stations = make_workstations(config, rng)
    floating = [user_name(i) for i in range(config.workstations + 1,
                                            config.workstations + 1 + max(10, config.workstations // 5))]
    steps = []
    for ws in stations:
        steps.extend(_timeline(ws, config, rng, floating))
    steps.sort(key=lambda s: (s.t, s.ws))

    count = 4 * config.workstations + 100
    pools = {("dc", 4): AddressPool(DC_V4_RANGE, count, rng),
             ("dc", 6): AddressPool(V6_RANGE, count, rng),
             ("syslog", 4): AddressPool(SYSLOG_V4_RANGE, count, rng)}
    current = {}
    for step in steps:
        ws = stations[step.ws]
        pool = pools[(ws.source, ws.family)]
        if step.kind == "boot":
            current[ws.index] = pool.take()
        step.address = current[ws.index]
        if step.kind == "off":
            pool.give_back(current.pop(ws.index))
    return stations, steps
