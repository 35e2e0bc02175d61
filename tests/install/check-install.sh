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

expected="/etc/velmar-sentinex/freshclam.conf
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
/usr/share/dbus-1/system-services/com.velmar.sentinex.scanner.service
/usr/share/dbus-1/system.d/com.velmar.sentinex.scanner.conf"
actual=$(cd "$dest" && find . -type f | sed 's/^\.//' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
echo "ok: installed files"

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

# A bus with a strict default policy plus ours: root owns the name, another user may call it
# but not own it.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && command -v gdbus >/dev/null; then
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
    for _ in $(seq 200); do
        gdbus call --system -d com.velmar.sentinex.scanner -o /com/velmar/sentinex/scanner \
            -m com.velmar.sentinex.scanner.GetEngineType >/dev/null 2>&1 && break
        sleep 0.05
    done
    nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${nobody[@]}" gdbus call --system -d com.velmar.sentinex.scanner -o /com/velmar/sentinex/scanner \
        -m com.velmar.sentinex.scanner.GetEngineType >/dev/null ||
        fail "another user cannot call the scanner"
    if "${nobody[@]}" gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus \
        -m org.freedesktop.DBus.RequestName com.velmar.sentinex.scanner 4 >/dev/null 2>&1; then
        fail "another user could own the scanner's name"
    fi
    echo "ok: bus policy (root owns, others call)"
else
    echo "skip: bus policy check needs root, setpriv and gdbus"
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
