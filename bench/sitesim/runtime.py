"""The live parts of a run: the network namespace's addresses, the agent
executable in an install folder of its own, the controllers' event stores
and the wireless gateway's syslog."""
import datetime
import ipaddress
import os
import shutil
import socket
import subprocess
import threading
import time

DC_ADDRESSES = ["10.49.0.1", "10.49.0.2"]   # the controllers, as the firewalls name them
SYSLOG_SENDER = "10.49.0.3"                # the wireless gateway that sends logons by syslog
FQDN = "corp.example.com"
NETBIOS = "CORP"
KEY = "site simulation key"
SO_RCVBUFFORCE, SOL_PACKET, PACKET_STATISTICS = 33, 263, 6
AGENT_NAME = "ferrowinden-sso-agent"


def run(*args):
    result = subprocess.run(list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), result.stderr.strip()))


class Network:
    """Workstation addresses on lo: on = the address is there (the kernel
    answers its pings), off = removed (echoes to it go unanswered)."""

    def __init__(self, routes):
        run("ip", "link", "set", "lo", "up")
        for route in routes:
            run("ip", "route", "add", route, "dev", "lo")
        self.errors = []

    def add(self, address, strict=True):
        self._change("add", address, strict)

    def remove(self, address, strict=True):
        self._change("del", address, strict)

    def _change(self, verb, address, strict):
        prefix = "/128" if ":" in address else "/32"
        args = ["ip", "addr", verb, address + prefix, "dev", "lo"]
        if ":" in address and verb == "add":
            args.append("nodad")
        result = subprocess.run(args, capture_output=True, text=True)
        if result.returncode != 0:
            if strict:
                raise RuntimeError("%s: %s" % (" ".join(args), result.stderr.strip()))
            self.errors.append("%s: %s" % (" ".join(args), result.stderr.strip()))


def end(process, seconds):
    """SIGTERM, and SIGKILL if it is still there after that many seconds; its exit code."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def udp_port_bound(port):
    for name in ("/proc/net/udp", "/proc/net/udp6"):
        with open(name) as table:
            for line in table.readlines()[1:]:
                local = line.split()[1]
                if int(local.rsplit(":", 1)[1], 16) == port:
                    return True
    return False


class EventStore:
    """One controller's Security.xml, appended event by event as a forwarder writes it."""

    def __init__(self, folder, computer):
        os.makedirs(folder, exist_ok=True)
        self.path = os.path.join(folder, "Security.xml")
        self.computer = computer
        self.record = 0
        open(self.path, "wb").close()

    def append(self, event_id, data):
        self.record += 1
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f") + "0Z"
        items = "".join('    <Data Name="%s">%s</Data>\n' % (name, value) for name, value in data)
        xml = ('<Event xmlns="http://schemas.microsoft.com/win/2004/08/events/event">\n  <System>\n'
               '    <Provider Name="Microsoft-Windows-Security-Auditing" '
               'Guid="{54849625-5478-4994-A5BA-3E3B0328C30D}"/>\n'
               '    <EventID>%d</EventID>\n    <Version>2</Version>\n    <Level>0</Level>\n'
               '    <Task>12544</Task>\n    <Opcode>0</Opcode>\n    <Keywords>0x8020000000000000</Keywords>\n'
               '    <TimeCreated SystemTime="%s"/>\n    <EventRecordID>%d</EventRecordID>\n'
               '    <Correlation/>\n    <Execution ProcessID="636" ThreadID="4532"/>\n'
               '    <Channel>Security</Channel>\n    <Computer>%s</Computer>\n    <Security/>\n  </System>\n'
               '  <EventData>\n%s  </EventData>\n</Event>\n') % (event_id, stamp, self.record, self.computer, items)
        with open(self.path, "ab") as store:
            store.write(xml.encode())

    def logon(self, kind, user, address, workstation, sid):
        if kind == "4768":
            mapped = address if ":" in address else "::ffff:" + address
            self.kerberos(user, mapped, sid, "0x0")
            return
        logon_type = kind.split("-")[1]
        self.append(4624, [("SubjectUserSid", "S-1-0-0"), ("SubjectUserName", "-"), ("SubjectDomainName", "-"),
                           ("SubjectLogonId", "0x0"), ("TargetUserSid", sid), ("TargetUserName", user),
                           ("TargetDomainName", NETBIOS), ("TargetLogonId", "0x3e7f5a1"),
                           ("LogonType", logon_type), ("LogonProcessName", "Kerberos"),
                           ("AuthenticationPackageName", "Kerberos"), ("WorkstationName", workstation),
                           ("LogonGuid", "{00000000-0000-0000-0000-000000000000}"), ("IpAddress", address),
                           ("IpPort", "49807")])

    def kerberos(self, user, address, sid, status):
        self.append(4768, [("TargetUserName", user), ("TargetDomainName", NETBIOS), ("TargetSid", sid),
                           ("ServiceName", "krbtgt"), ("TicketOptions", "0x40810010"), ("Status", status),
                           ("TicketEncryptionType", "0x12"), ("PreAuthType", "2"), ("IpAddress", address),
                           ("IpPort", "49807")])

    def logoff(self, user, sid):
        self.append(4634, [("TargetUserSid", sid), ("TargetUserName", user), ("TargetDomainName", NETBIOS),
                           ("TargetLogonId", "0x3e7f5a1"), ("LogonType", "2")])


class SyslogGateway:
    """The wireless gateway: one datagram per event, from its own address."""

    def __init__(self, port):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind((SYSLOG_SENDER, 0))
        self.port = port

    def send(self, text):
        stamp = datetime.datetime.now().strftime("%b %d %H:%M:%S")
        line = "<38>%s gw-wifi nac[412]: %s" % (stamp, text)
        self.socket.sendto(line.encode(), ("127.0.0.1", self.port))

    def close(self):
        self.socket.close()


def config_ini(port, firewalls, timings, syslog_port):
    """config.ini as the firewalls' first connections would leave it, with
    the timings the firewalls do not send (CollectInterval, UserCheckFrequency,
    PingTimeout, MaxConcurrent)."""
    text = "[Global]\nVerboseLevel=low\nFirewallEnabled=true\n\n[WebServer]\nPort=%d\nSSLKey=%s\n" % (port, KEY)
    for fw in firewalls:
        servers = [SYSLOG_SENDER] if fw.source == "syslog" else DC_ADDRESSES
        text += "\n[AD-%s]\nFirewallName=%s\nServers\\size=%d\n" % (fw.serial, fw.serial, len(servers))
        text += "".join("Servers\\%d\\ips=%s\n" % (i + 1, s) for i, s in enumerate(servers))
        text += ("Enabled=true\nCollectInterval=%d\nMaxLogonTime=28800\nMaxSecondToRead=900\nDnsEnabled=false\n"
                 "Fqdn=%s\nNetbios=%s\n" % (timings.collect_interval, FQDN, NETBIOS))
        if fw.source == "syslog":
            text += "SyslogState=true\nSyslogPort=%d\nSyslogAddr=any\n" % syslog_port
        text += ("Probe\\Enabled=true\nProbe\\Method=ping\nProbe\\ProbeTimeout=%d\nProbe\\CacheTimeout=86400\n"
                 "Probe\\MaxConcurrent=%d\nProbe\\UserCheckFrequency=%d\nProbe\\PingTimeout=%d\n"
                 % (timings.probe_time, timings.max_concurrent, timings.user_check_frequency,
                    timings.ping_timeout))
    return text


def firewall_configuration(fw, timings, syslog_port):
    """The Configuration keys the firewall sends, beyond its controllers."""
    keys = [("LogonTime", "28800"), ("Probe", "1"), ("ProbeTime", str(timings.probe_time)),
            ("ProbeMethod", "ping"), ("DnsEnabled", "0"), ("Fqdn", FQDN), ("Netbios", NETBIOS)]
    if fw.source == "syslog":
        keys += [("SyslogState", "1"), ("SyslogPort", str(syslog_port)), ("SyslogAddr", "any"),
                 ("SyslogMsgPattern", "LOGON user="), ("SyslogUserPattern", r"user=(\S+)"),
                 ("SyslogAddrPattern", r"ip=([0-9a-fA-F.:]+)")]
    return keys


class Agent:
    """The agent executable copied into an install folder of its own and run
    in the console (-e), as scripts/run does."""

    def __init__(self, folder, executable, config_text):
        self.folder = folder
        os.makedirs(os.path.join(folder, "tmp"), exist_ok=True)
        os.makedirs(os.path.join(folder, "run"), exist_ok=True)
        self.executable = os.path.join(folder, AGENT_NAME)
        shutil.copy2(executable, self.executable)
        with open(os.path.join(folder, "config.ini"), "w") as config:
            config.write(config_text)
        self.log_path = os.path.join(folder, "log", AGENT_NAME + ".log")
        self.process = None

    def store(self, controller):
        return EventStore(os.path.join(self.folder, "eventlog", controller), "dc%s.%s" % (controller[-1], FQDN))

    def start(self):
        env = dict(os.environ, LC_ALL="C", TMPDIR=os.path.join(self.folder, "tmp"),
                   SSO_AGENT_RUNTIME_DIR=os.path.join(self.folder, "run"))
        for name in ("NOTIFY_SOCKET", "LANG", "LANGUAGE"):
            env.pop(name, None)
        self.stdout = open(os.path.join(self.folder, "agent.out"), "w")
        self.process = subprocess.Popen([self.executable, "-e"], cwd=self.folder, env=env,
                                        stdout=self.stdout, stderr=subprocess.STDOUT)

    def log(self):
        """The log, rotated files included, oldest first."""
        folder = os.path.dirname(self.log_path)
        if not os.path.isdir(folder):
            return ""
        names = [os.path.join(folder, f) for f in os.listdir(folder) if f.startswith(AGENT_NAME)]
        text = ""
        for path in sorted(names, key=os.path.getmtime):
            with open(path, encoding="utf-8", errors="replace") as f:
                text += f.read()
        return text

    def wait_for_log(self, text, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("the agent ended with %s" % self.process.returncode)
            if os.path.exists(self.log_path):
                with open(self.log_path, encoding="utf-8", errors="replace") as f:
                    if text in f.read():
                        return
            time.sleep(0.2)
        raise RuntimeError("the agent's log never said: %s" % text)

    def stop(self):
        return end(self.process, 60) if self.process else None


class EchoCapture:
    """Every ICMP echo request the agent sends, seen on lo (a packet socket,
    as tcpdump sees it): when each address was probed, by which ICMP socket
    of the agent (its identifier). The probing cycles' real pace comes from
    these times."""

    def __init__(self):
        self.echoes = []   # (t, identifier, address)
        self.socket = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        # Room for a few seconds of lo's traffic while this thread waits for the interpreter.
        self.socket.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 256 << 20)
        self.socket.bind(("lo", 0))
        self.drops = 0
        self.socket.settimeout(0.5)
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        outgoing = 4  # PACKET_OUTGOING: each packet on lo is seen going out and coming in
        while self.running:
            try:
                frame, where = self.socket.recvfrom(256)
            except socket.timeout:
                continue
            except OSError:
                return
            packet = frame[14:]  # lo's frames carry an empty Ethernet header
            if where[2] != outgoing or len(packet) < 28:
                continue
            version = packet[0] >> 4
            if version == 4 and packet[9] == 1:
                icmp = packet[(packet[0] & 0x0F) * 4:]
                if icmp[0] == 8:
                    address = str(ipaddress.IPv4Address(packet[16:20]))
                    self.echoes.append((time.time(), int.from_bytes(icmp[4:6], "big"), address))
            elif version == 6 and len(packet) >= 48 and packet[6] == 58 and packet[40] == 128:
                address = str(ipaddress.IPv6Address(packet[24:40]))
                self.echoes.append((time.time(), int.from_bytes(packet[44:46], "big"), address))

    def stop(self):
        self.running = False
        self.thread.join(5)
        # struct tpacket_stats: packets, drops (since the socket was opened).
        stats = self.socket.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8)
        self.drops = int.from_bytes(stats[4:8], "little")
        self.socket.close()
