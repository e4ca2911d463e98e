#!/usr/bin/env python3
"""Runs a command and prints on one line: the first line of its output (if
any), its wall time and its CPU time (user + system, in seconds, with
microsecond resolution: /usr/bin/time rounds to 10 ms)."""
import os
import subprocess
import sys
import time

start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
output = child.stdout.read().decode(errors="replace").splitlines()
_, status, usage = os.wait4(child.pid, 0)
print(" ".join(output[:1] + ["%.3f" % (time.monotonic() - start), "%.4f" % (usage.ru_utime + usage.ru_stime)]))
