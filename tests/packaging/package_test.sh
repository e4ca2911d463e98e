#!/usr/bin/env bash
# Builds the Debian package from the build tree given as argument and checks
# what it holds, what it declares and what its maintainer scripts do.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb="$work/out/ferrowinden-sso-agent_3.0.2_amd64.deb"
check "package file name" test -f "$deb"

dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$work/contents"
contains() { grep -qE "$1" "$work/contents"; }
check "agent in /opt, executable, root-owned" contains '^-rwxr-xr-x root/root \./opt/ferrowinden-sso-agent/ferrowinden-sso-agent$'
check "sso-diag beside it" contains '^-rwxr-xr-x root/root \./opt/ferrowinden-sso-agent/sso-diag$'
check "the unit in /lib/systemd/system" contains '^-rw-r--r-- root/root \./lib/systemd/system/ferrowinden-sso-agent\.service$'
check "copyright" contains '\./usr/share/doc/ferrowinden-sso-agent/copyright$'
check "changelog" contains '\./usr/share/doc/ferrowinden-sso-agent/changelog\.gz$'
check "nothing else is shipped" test "$(grep -c '^-' "$work/contents")" -eq 6
check "no config.ini, log or event store is shipped" bash -c "! grep -qE 'config\.ini|/log/|eventlog' '$work/contents'"

dpkg-deb -x "$deb" "$work/root"
unit="$work/root/lib/systemd/system/ferrowinden-sso-agent.service"
for line in 'Type=notify' 'ExecStart="/opt/ferrowinden-sso-agent/ferrowinden-sso-agent"' 'User=root' \
            'Restart=on-failure' 'RuntimeDirectory=ferrowinden-sso-agent' 'WantedBy=multi-user.target' \
            'Description=Survey Active Directory events and forward authentications to Ferrowinden appliances (3.0.2)'; do
  check "unit: $line" grep -qxF "$line" "$unit"
done

dpkg-deb -f "$deb" Package Version Architecture Depends >"$work/control"
check "control: name, version, architecture" grep -qzE 'Package: ferrowinden-sso-agent.Version: 3\.0\.2.Architecture: amd64' "$work/control"
for library in libqt5core5a libqt5network5 libssl3 libmicrohttpd12 libc6 init-system-helpers; do
  check "depends on $library" grep -q "$library" "$work/control"
done

dpkg-deb -e "$deb" "$work/control.d"
for script in postinst prerm postrm; do
  check "$script is an executable shell script" test -x "$work/control.d/$script"
  check "$script parses" sh -n "$work/control.d/$script"
done
check "installing neither enables nor starts" bash -c "! grep -v '^ *#' '$work/control.d/postinst' | grep -qE 'enable|start'"
check "removing stops and disables" grep -q 'deb-systemd-invoke stop ferrowinden-sso-agent.service' "$work/control.d/prerm"
check "removing disables" grep -q 'deb-systemd-helper disable ferrowinden-sso-agent.service' "$work/control.d/prerm"

# purge and remove on a scratch /opt: purge takes config.ini and the logs,
# keeps the event stores; remove keeps everything the agent wrote.
scripts="$work/control.d"
run_postrm() { # run_postrm ACTION: prints what is left in the install folder
  unshare -m bash -c '
    set -e
    mount -t tmpfs scratch /opt
    mount -t tmpfs scratch /var/lib
    folder=/opt/ferrowinden-sso-agent
    mkdir -p "$folder/log" "$folder/eventlog/10.0.0.1"
    touch "$folder/ferrowinden-sso-agent" "$folder/config.ini" "$folder/config.ini.Xy12" \
          "$folder/log/ferrowinden-sso-agent.log" "$folder/eventlog/10.0.0.1/Security.xml"
    DPKG_MAINTSCRIPT_PACKAGE=ferrowinden-sso-agent DPKG_MAINTSCRIPT_NAME=postrm sh "$1/postrm" "$2"
    cd "$folder" && find . -mindepth 1 | sort | tr "\n" " "' _ "$scripts" "$1"
}
check "purge removes config.ini and the logs only" \
  test "$(run_postrm purge)" = "./eventlog ./eventlog/10.0.0.1 ./eventlog/10.0.0.1/Security.xml ./ferrowinden-sso-agent "
check "remove keeps config.ini and the logs" \
  test "$(run_postrm remove)" = "./config.ini ./config.ini.Xy12 ./eventlog ./eventlog/10.0.0.1 ./eventlog/10.0.0.1/Security.xml ./ferrowinden-sso-agent ./log ./log/ferrowinden-sso-agent.log "

echo "$failures failed"
[ "$failures" -eq 0 ]
