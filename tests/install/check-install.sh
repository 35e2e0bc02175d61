#!/usr/bin/env bash
# What an install puts on a machine: the exact files, the engines found through the service's
# own search path, a bus policy that a dbus-daemon accepts, and a unit that systemd accepts.
# usage: check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dest=$work/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

expected="/etc/logrotate.d/velmar-sentinex-scanner
/etc/velmar-sentinex/freshclam.conf
/lib/systemd/system/velmar-sentinex-freshclam.service
/lib/systemd/system/velmar-sentinex-freshclam.timer
/lib/systemd/system/velmar-sentinex-scanner.service
/opt/velmar-sentinex-vdbup/file/libavcore.so
/opt/velmar-sentinex-vdbup/file/starter.ndb
/opt/velmar-sentinex-vdbup/risfile/liblame.so
/opt/velmar-sentinex-vdbup/risfile/malware.rmd
/usr/bin/velmar-sentinex-cli
/usr/bin/velmar-sentinex-scanner
/usr/lib/velmar-sentinex-scanner/velmar-sentinex-publish-clamav
/usr/sbin/velmar-sentinex-compile-rules
/usr/share/bash-completion/completions/velmar-sentinex-cli
/usr/share/dbus-1/interfaces/com.velmar.sentinex.scanner.xml
/usr/share/dbus-1/system-services/com.velmar.sentinex.scanner.service
/usr/share/dbus-1/system.d/com.velmar.sentinex.scanner.conf
/usr/share/doc/velmar-sentinex-scanner/changelog.gz
/usr/share/doc/velmar-sentinex-scanner/copyright
/usr/share/lintian/overrides/velmar-sentinex-scanner
/usr/share/man/man1/velmar-sentinex-cli.1.gz
/usr/share/man/man8/velmar-sentinex-scanner.8.gz"
actual=$(cd "$dest" && find . -type f | sed 's/^\.//' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
echo "ok: installed files"

# Another prefix takes everything but the service's fixed paths.
other=$work/other
DESTDIR=$other cmake --install "$build" --prefix /srv/snx >/dev/null
outside=$(cd "$other" && find . -type f | sed 's/^\.//' | grep -v '^/srv/snx/' |
    grep -v '^/opt/velmar-sentinex-vdbup/' || true)
[ -z "$outside" ] || fail "installed outside the prefix /srv/snx: $outside"
[ -f "$other/srv/snx/lib/systemd/system/velmar-sentinex-scanner.service" ] &&
    [ -f "$other/srv/snx/etc/logrotate.d/velmar-sentinex-scanner" ] ||
    fail "unit or logrotate file not under the prefix /srv/snx"
echo "ok: --prefix places all but the fixed paths under it"

bash -n "$dest/usr/share/bash-completion/completions/velmar-sentinex-cli" ||
    fail "the bash completion does not parse"
for script in postinst prerm postrm; do
    sh -n "$source/data/debian/$script" || fail "$script does not parse"
done
if command -v logrotate >/dev/null; then
    logrotate --debug "$dest/etc/logrotate.d/velmar-sentinex-scanner" >/dev/null 2>&1 ||
        fail "logrotate rejects its configuration"
fi
echo "ok: completion, maintainer scripts and logrotate configuration parse"

service=$dest/usr/bin/velmar-sentinex-scanner
runpath=$(readelf -d "$service" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "/opt/velmar-sentinex-vdbup/file/:/opt/velmar-sentinex-vdbup/risfile/" ] ||
    fail "RUNPATH is '$runpath'"
echo "ok: RUNPATH names the two engine directories in order"

# Resolve as the loader would on the target, with the engine directories mapped into DESTDIR.
loader=$(readelf -l "$service" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
libs=$("$loader" --list --library-path \
    "$dest/opt/velmar-sentinex-vdbup/file/:$dest/opt/velmar-sentinex-vdbup/risfile/" "$service")
echo "$libs" | grep -q "not found" && fail "unresolved libraries:
$libs"
echo "$libs" | grep -q "libavcore.so => $dest/opt/velmar-sentinex-vdbup/file/libavcore.so" ||
    fail "libavcore.so not found in its directory"
echo "$libs" | grep -q "liblame.so => $dest/opt/velmar-sentinex-vdbup/risfile/liblame.so" ||
    fail "liblame.so not found in its directory"
echo "ok: the engines resolve in their directories"

# A bus with a strict default policy plus ours: root owns the name; any user may read the
# scanner's state and lists; only root and members of velmar-sentinex may steer it.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && command -v gdbus >/dev/null; then
    # The package creates the group; a policy for a group that does not exist is ignored.
    getent group velmar-sentinex >/dev/null || groupadd --system velmar-sentinex
    member_gid=$(getent group velmar-sentinex | cut -d: -f3)
    cat >"$work/bus.conf" <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_destination="org.freedesktop.DBus"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_requested_reply="true" receive_type="method_return"/>
    <allow receive_requested_reply="true" receive_type="error"/>
  </policy>
  <include>$dest/usr/share/dbus-1/system.d/com.velmar.sentinex.scanner.conf</include>
</busconfig>
CONF
    dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=3 3>"$work/address" 2>"$work/bus.log" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
    [ -s "$work/address" ] || fail "dbus-daemon did not accept the policy: $(cat "$work/bus.log")"
    export DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$work/address")
    "$build/bin/velmar-sentinex-sandbox" "$work/root" 2>/dev/null &
    pids+=($!)
    call() {
        local who=$1 method=$2
        shift 2
        $who gdbus call --system -d com.velmar.sentinex.scanner -o /com/velmar/sentinex/scanner \
            -m "com.velmar.sentinex.scanner.$method" "$@" 2>&1
    }
    for _ in $(seq 200); do call "" GetEngineType >/dev/null && break; sleep 0.05; done
    nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
    member="setpriv --reuid=65534 --regid=65534 --groups=$member_gid"
    for method in GetEngineType GetDissectionStatus GetEngineStatus GetProblemFileOperatingSum \
        QueryTrustProblemFiles QueryIsolationProblemFiles StartApp; do
        call "$nobody" "$method" >/dev/null || fail "another user cannot call $method"
    done
    for method in "SetEngineStatus 1" "SetEngineType 1" "SetProblemFileOperatingSum 1" \
        "SetDissectionStatus 2" "SetScanFileSize 1" "DoDissection ['/nonexistent']" ExitApp; do
        # shellcheck disable=SC2086
        out=$(call "$nobody" $method) && fail "another user could call $method"
        echo "$out" | grep -q AccessDenied || fail "$method: not refused by the bus: $out"
    done
    # A member passes the bus; the service's own check then refuses gdbus, a program the suite
    # does not ship, with its own error.
    out=$(call "$member" SetEngineStatus 1) && fail "gdbus passed the service's caller check"
    echo "$out" | grep -q "is not allowed to transfer sentinex inter" ||
        fail "a member of velmar-sentinex was refused by the bus: $out"
    if $nobody gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus \
            -m org.freedesktop.DBus.RequestName com.velmar.sentinex.scanner 4 >/dev/null 2>&1; then
        fail "another user could own the scanner's name"
    fi
    echo "ok: bus policy (root owns; anyone reads; root and velmar-sentinex steer)"
else
    echo "skip: bus policy check needs root, setpriv and gdbus"
fi

# The unit must leave the service what a worker thread needs to act with a caller's rights.
unit=$dest/lib/systemd/system/velmar-sentinex-scanner.service
for cap in CAP_SETUID CAP_SETGID; do
    grep -q "^CapabilityBoundingSet=.*\b$cap\b" "$unit" || fail "the unit drops $cap"
done
if command -v systemd-analyze >/dev/null; then
    allowed=""
    for entry in $(sed -n 's/^SystemCallFilter=//p' "$unit"); do
        case $entry in
        @*) allowed+=" $(systemd-analyze syscall-filter "$entry" 2>/dev/null | grep -v '^[@ ]*#' | tr -d ' ')" ;;
        *) allowed+=" $entry" ;;
        esac
    done
    for syscall in setfsuid setfsgid setgroups; do
        echo "$allowed" | tr ' ' '\n' | grep -qx "$syscall" || fail "the unit's filter denies $syscall"
    done
    echo "ok: the unit keeps CAP_SETUID, CAP_SETGID and the system calls of a per-thread identity"
fi

if [ -d /run/systemd/system ] && command -v systemd-analyze >/dev/null; then
    for unit in velmar-sentinex-scanner.service velmar-sentinex-freshclam.service \
        velmar-sentinex-freshclam.timer; do
        systemd-analyze verify --root="$dest" "$dest/lib/systemd/system/$unit" ||
            fail "systemd-analyze rejects $unit"
    done
    echo "ok: systemd unit"
else
    echo "skip: systemd is not running here, the unit is not verified"
fi
