"""The simulation's own yardstick: a fault in it would hide the agent's.
Run: python3 -m unittest discover -s bench/sitesim -p '*_test.py'"""
import unittest

from sitesim import analysis, firewall, site
from sitesim.truth import Truth

TIMINGS = site.Timings(collect_interval=5, user_check_frequency=6, ping_timeout=300, probe_time=30,
                       max_concurrent=20, processing=2.0)
A, B = "10.50.0.5", "10.50.0.6"


def run(truth, held, end=200, pace=None):
    """Analyses one firewall that admits everything, from second 0 to end;
    by default its probe cycles spanned 9 s at most (G)."""
    if pace is None:
        pace = analysis.Pace(cycles=20, cycle_gap=9.0, gaps=[6.0, 9.0])
    return analysis.analyse("FW", truth.intervals, truth.intervals, held, pace, TIMINGS, 0, end,
                            logons=truth.logons)


def alice_until_switched_off():
    """Alice logs on at A at second 0 (a store logon); A is switched off at 100."""
    truth = Truth()
    truth.address_on(0, A)
    truth.logon(0, A, "alice", "dc")
    truth.off(100, A)
    truth.address_off(100, A)
    return truth


class Yardstick(unittest.TestCase):
    def test_windows_follow_the_design(self):
        truth = alice_until_switched_off()
        result = run(truth, {(A, "alice"): [[4, 130]]})
        w = result.windows
        self.assertEqual(w.new_dc, 7.0)
        self.assertEqual(w.new_syslog, 2.0)
        # The first probe after the switch-off within one G, the logoff ProbeTime and one more G later.
        self.assertEqual(w.removal, 30 + 2 * 9 + 2.0)
        self.assertEqual(w.probe_gap_median, 7.5)
        # Without any cycle seen, the design's shortest G: UserCheckFrequency.
        self.assertEqual(run(truth, {}, pace=analysis.Pace()).windows.removal, 30 + 2 * 6 + 2.0)
        # A logon counts as a probe for reprobeInterval (3 s): a switch-off 1 s after it waits 2 s more.
        self.assertEqual(w.end("off", "", 101, [0, 100]), 50 + 2.0)
        self.assertEqual(w.end("off", "", 110, [0, 100]), 50)

    def test_probe_cycles_come_from_each_firewalls_own_echoes(self):
        held = {"CORE": {(A, "alice"): [[0, None]], (B, "bob"): [[0, None]]},
                "STAFF": {(A, "alice"): [[0, None]]}}
        echoes = [(1.0, 7, A), (1.3, 7, A), (1.6, 7, A), (2.0, 7, B),  # socket 7 probes A and B: CORE's
                  (9.0, 7, A), (10.0, 7, B),
                  (17.0, 7, B),                                       # A misses this cycle
                  (25.0, 7, A), (26.0, 7, B),
                  (3.0, 8, A), (10.0, 8, A), (30.0, 8, A)]            # socket 8 probes only A: STAFF's
        pace = analysis.probe_pace(echoes, held, 4.5)
        core, staff = pace["CORE"], pace["STAFF"]
        # G: from a cycle's first probe to the next one's last; the skip is a fault, not a longer G.
        self.assertEqual((core.cycles, core.cycle_gap), (4, 9.0))
        self.assertEqual(sorted(core.gaps), [7.0, 8.0, 8.0, 9.0, 16.0])
        self.assertEqual(core.skipped, [(9.0, A, 16.0)])
        # A long pause between two cycles is no skip: it lengthens G.
        self.assertEqual((staff.cycles, staff.cycle_gap, staff.gaps, staff.skipped), (3, 20.0, [7.0, 20.0], []))
        # A cycle passing over an entry logged on less than reprobeInterval before is no skip either.
        relogon = analysis.probe_pace(echoes, held, 4.5, {A: [15.0]}, 3.0)
        self.assertEqual(relogon["CORE"].skipped, [])
        # Nor are gaps counted while the firewall did not hold the address.
        held["CORE"][(A, "alice")] = [[0, 12], [20, None]]
        self.assertEqual(analysis.probe_pace(echoes, held, 4.5)["CORE"].skipped, [])

    def test_changes_inside_and_outside_their_windows(self):
        # (held intervals, unexplained FN seconds, unexplained FP seconds, missed changes)
        cases = [
            ([[4, 130]], 0, 0, 0),       # new after 4 s, gone 30 s after the switch-off
            ([[9, 130]], 1, 0, 1),       # new after 9 s: second 8 lacks it, the window of 7 s is missed
            ([[4, 170]], 0, 19, 1),      # kept 70 s after the switch-off: seconds 151..169 are past 50 s
            ([[4, 50], [60, 130]], 10, 0, 0),  # dropped while true: seconds 50..59 are unexplained
        ]
        for held, fn, fp, missed in cases:
            with self.subTest(held=held):
                truth = alice_until_switched_off()
                s = analysis.summary(run(truth, {(A, "alice"): held}))
                self.assertEqual(s["fn_fault"], fn)
                self.assertEqual(s["fp_fault"], fp)
                self.assertEqual(s["missed"], missed)

    def test_the_old_user_after_another_logs_on_is_a_wrong_user(self):
        truth = Truth()
        truth.address_on(0, A)
        truth.logon(0, A, "alice", "dc")
        truth.logon(50, A, "bob", "dc")
        held = {(A, "alice"): [[3, 80]], (A, "bob"): [[80, None]]}
        s = analysis.summary(run(truth, held, end=100))
        # Alice at A is a fault from second 58 (past the logon's 7 s) until 79, and wrong all along;
        # bob lacks over the same seconds.
        self.assertEqual(s["fp_fault"], 22)
        self.assertEqual(s["wrong_fault"], 22)
        self.assertEqual(s["wrong_window"], 8)
        self.assertEqual(s["fn_fault"], 22)

    def test_a_logoff_that_leaves_the_workstation_on_is_a_limit_until_observable(self):
        truth = Truth()
        truth.address_on(0, A)
        truth.logon(0, A, "alice", "dc")
        truth.logoff(20, A)
        truth.off(100, A)
        truth.address_off(100, A)
        result = run(truth, {(A, "alice"): [[3, 140]]})
        s = analysis.summary(result)
        self.assertEqual(s["fp_limit"], 80)      # seconds 20..99
        self.assertEqual(s["fp_fault"], 0)       # then 40 s after the switch-off: inside its window
        self.assertEqual(result.limits, [((A, "alice"), 80)])
        self.assertEqual([(d.kind, d.delay) for d in result.delays if d.kind.startswith("logoff")],
                         [("logoff-off", 40)])

    def test_a_pair_never_true_is_a_fault_and_the_same_user_again_is_a_refresh(self):
        truth = Truth()
        truth.address_on(0, A)
        truth.logon(0, A, "alice", "syslog")
        truth.logon(30, A, "alice", "syslog")
        self.assertEqual(len(truth.intervals), 1)
        s = analysis.summary(run(truth, {(A, "alice"): [[0, None]], (B, "alice"): [[10, 12]]}, end=50))
        self.assertEqual(s["fp_fault"], 2)
        self.assertEqual(s["fn_fault"], 0)


class FirewallTable(unittest.TestCase):
    def test_messages_make_one_user_per_address(self):
        table = firewall.HeldIntervals()
        for t, header, lines in [
            (1, "Startup", [("corp.example.com\\Alice", "28800@10.50.0.5,28000@::ffff:10.50.0.6")]),
            (2, "Login", [("corp.example.com\\bob", "28800@10.50.0.5")]),
            (3, "Logout", [("corp.example.com\\alice", "10.50.0.5")]),  # bob's now: a stray logout
            (4, "Logout", [("corp.example.com\\alice", "10.50.0.6")]),
            (5, "Login", [("corp.example.com\\carol", "3@fd50::1")]),
        ]:
            table.apply(firewall.Message(t, header, lines))
        table.expire(100)
        self.assertEqual(table.intervals, {(A, "alice"): [[1, 2]], (B, "alice"): [[1, 4]],
                                           (A, "bob"): [[2, None]], ("fd50::1", "carol"): [[5, 8]]})
        self.assertEqual(table.stray_logouts, [(3, A, "alice")])

    def test_rules_decide_lowest_id_first(self):
        fw = {f.serial: f for f in firewall.site_firewalls()}
        cases = [("FW-CORE", "u0003", "10.50.0.9", True), ("FW-CORE", "u0100", "fd50::9", True),
                 ("FW-CORE", "u0100", "10.50.130.9", False), ("FW-STAFF", "u0003", "10.50.0.9", False),
                 ("FW-STAFF", "U0100", "10.50.0.9", True), ("FW-STAFF", "u0100", "10.50.100.9", False),
                 ("FW-STAFF", "u0100", "fd50::9", False), ("FW-WIFI", "u0100", "10.50.130.9", True)]
        for serial, user, address, admitted in cases:
            with self.subTest(serial=serial, user=user, address=address):
                self.assertEqual(fw[serial].admits(user, address), admitted)
        self.assertIn("[Network_6]\nuser=any\nid=6\naction=pass\nNETWORK=10.50.0.0/16", fw["FW-STAFF"].rules_text())


if __name__ == "__main__":
    unittest.main()
