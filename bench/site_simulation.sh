#!/bin/sh
# The site simulation from one command (as root):
#   bench/site_simulation.sh [options of bench/site_simulation.py]
# e.g. bench/site_simulation.sh --short   or   bench/site_simulation.sh --workstations 1000 --duration 600 --seed 7
# Installs matplotlib from Debian, builds the agent and sso-diag (Release, in
# build-bench-sim/), then plays the site in a network namespace of its own and
# writes report.txt, report.json, seconds.csv, delays.csv and
# site_simulation.png into sitesim-out/ (or --out). Exit status 1 when a
# firewall's view differs from the truth outside the windows, a window is missed
# or a probe cycle passes over an entry that was due.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${SSO_BENCH_BUILD:-$repo/build-bench-sim}
"$repo/scripts/setup" python3-matplotlib
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target ferrowinden-sso-agent sso-diag
# Debian's interpreter: the one its matplotlib belongs to.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$here/site_simulation.py" --agent "$build/app/ferrowinden-sso-agent" \
  --diag "$build/tools/sso-diag" --plot "$@"
