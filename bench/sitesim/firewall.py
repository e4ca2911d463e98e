"""The firewalls of the site: their rules, the agent's messages as each one
receives them, and the mapping table those messages imply.

Each firewall is the project's firewall peer (sso-diag firewall) in a
process of its own; a reader thread stamps every message of the agent with
the time it arrived.
"""
import dataclasses
import ipaddress
import subprocess
import threading
import time

from . import runtime, site


@dataclasses.dataclass
class Rule:
    id: int
    user: str           # a user name, or "any"
    passes: bool
    networks: list      # address texts with a prefix length


@dataclasses.dataclass
class FirewallSpec:
    serial: str
    bind: str           # the loopback address it connects from (one connection per address)
    source: str         # "dc": reads the controllers' stores; "syslog": the wireless gateway
    rules: list

    def admits(self, user, address):
        """The firewall's own rules: lowest id first, the first rule whose
        user and address both apply decides; no rule, no admission."""
        ip = ipaddress.ip_address(address)
        for rule in sorted(self.rules, key=lambda r: r.id):
            if rule.user != "any" and rule.user.lower() != user.lower():
                continue
            for network in rule.networks:
                net = ipaddress.ip_network(network)
                if net.version == ip.version and ip in net:
                    return rule.passes
        return False

    def rules_text(self):
        """The initial user list as the firewall sends it."""
        sections = []
        for i, rule in enumerate(sorted(self.rules, key=lambda r: r.id), start=1):
            lines = ["[Network]" if i == 1 else "[Network_%d]" % i,
                     "user=%s" % rule.user, "id=%d" % rule.id,
                     "action=%s" % ("pass" if rule.passes else "block")]
            for j, network in enumerate(rule.networks, start=1):
                lines.append("NETWORK=%s" % network if j == 1 else "NETWORK_%d=%s" % (j, network))
            sections.append("\n".join(lines))
        return "\n".join(sections) + "\n"


def site_firewalls():
    """Two firewalls on the controllers' logons with different rules, and one
    on the wireless gateway's syslog (a configuration reads either the stores
    or syslog, never both)."""
    blocked = ["u0003", "u0010", "u0042", "u0077"]
    staff = [Rule(i + 1, user, False, ["0.0.0.0/0"]) for i, user in enumerate(blocked)]
    staff += [Rule(len(staff) + 1, "any", False, ["10.50.96.0/19"]),
              Rule(len(staff) + 2, "any", True, [str(site.SITE_V4)])]
    return [
        FirewallSpec("FW-CORE", "127.0.0.11", "dc",
                     [Rule(1, "any", True, [str(site.DC_V4_RANGE), str(site.V6_RANGE)])]),
        FirewallSpec("FW-STAFF", "127.0.0.12", "dc", staff),
        FirewallSpec("FW-WIFI", "127.0.0.13", "syslog",
                     [Rule(1, "any", True, [str(site.SYSLOG_V4_RANGE)])]),
    ]


def canonical_address(text):
    ip = ipaddress.ip_address(text.strip())
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ip)


@dataclasses.dataclass
class Message:
    t: float
    header: str
    lines: list         # (key, value)


class HeldIntervals:
    """The mapping table a firewall keeps from the agent's messages: one
    user per address. "[Login]"/"[Startup]" items map an address to a user
    (for the seconds the item gives), "[Logout]" unmaps it when it maps that
    user. The table's history is kept as intervals per pair."""

    def __init__(self):
        self.table = {}          # address -> [user, since, expires]
        self.intervals = {}      # (address, user) -> [[start, end or None]]
        self.stray_logouts = []  # (t, address, user) for a pair the table did not hold

    def _open(self, t, address, user, expires):
        self.table[address] = [user, t, expires]
        self.intervals.setdefault((address, user), []).append([t, None])

    def _close(self, t, address):
        user, _, _ = self.table.pop(address)
        self.intervals[(address, user)][-1][1] = t

    def expire(self, t):
        for address in [a for a, entry in self.table.items() if entry[2] <= t]:
            self._close(self.table[address][2], address)

    def apply(self, message):
        t = message.t
        self.expire(t)
        for key, value in message.lines:
            user = key.split("\\")[-1].lower()
            if message.header in ("Login", "Startup"):
                for item in value.split(","):
                    seconds, _, address = item.partition("@")
                    address = canonical_address(address)
                    expires = t + int(seconds)
                    entry = self.table.get(address)
                    if entry is not None and entry[0] == user:
                        entry[2] = expires
                        continue
                    if entry is not None:
                        self._close(t, address)
                    self._open(t, address, user, expires)
            elif message.header == "Logout":
                address = canonical_address(value)
                entry = self.table.get(address)
                if entry is not None and entry[0] == user:
                    self._close(t, address)
                else:
                    self.stray_logouts.append((t, address, user))

    def held(self):
        return {(address, entry[0]) for address, entry in self.table.items()}


class Peer:
    """sso-diag firewall in a process of its own; its messages, stamped."""

    def __init__(self, spec, diag, port, key, controllers, configuration, log_path):
        self.spec = spec
        self.messages = []
        self.lock = threading.Lock()
        self.connected = threading.Event()
        self.log = open(log_path, "w")
        args = [diag, "firewall", "--port", str(port), "--key", key, "--serial", spec.serial,
                "--bind", spec.bind, "--keepalive", "60", "--rules", log_path + ".rules"]
        with open(log_path + ".rules", "w") as rules:
            rules.write(spec.rules_text())
        for controller in controllers:
            args += ["--controller", controller]
        for name, value in configuration:
            args += ["--set", "%s=%s" % (name, value)]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.log, text=True, bufsize=1)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        lines = []
        for line in self.process.stdout:
            now = time.time()
            line = line.rstrip("\n")
            self.log.write("%.3f %s\n" % (now, line))
            if line.startswith("# TLS established"):
                self.connected.set()
                continue
            if line.startswith("#"):
                continue
            if line != ".":
                lines.append(line)
                continue
            if not lines:
                continue
            header = lines[0].strip("[]")
            pairs = [tuple(l.split("=", 1)) for l in lines[1:] if "=" in l]
            with self.lock:
                self.messages.append(Message(now, header, pairs))
            lines = []

    def count(self, header):
        with self.lock:
            return sum(1 for m in self.messages if m.header == header)

    def snapshot(self):
        with self.lock:
            return list(self.messages)

    def stop(self):
        runtime.end(self.process, 10)
        self.reader.join(5)
        self.log.close()
