#!/usr/bin/env bash
# Signature updates as shipped: nothing installed is writable by another user than root; the
# publishing step copies freshclam's downloads as root's own files, refuses planted links and
# keeps the previous copy of a database that fails its check; the rule compiler names a bad rule
# file, compiles the rest and keeps the previous rules when nothing compiles; and the README's
# update command runs freshclam as the clamav user up to the download itself.
# usage: check-updates.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
chmod 0755 "$work"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dest=$work/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

writable=$(find "$dest" -perm /022 ! -type l | sed "s|^$dest||")
[ -z "$writable" ] || fail "installed paths writable by others than their owner: $writable"
echo "ok: nothing installed is writable by group or others"

units=$dest/lib/systemd/system
grep -q '^User=clamav$' "$units/velmar-sentinex-freshclam.service" || fail "freshclam must not run as root"
grep -q '^ExecStartPost=+/usr/lib/velmar-sentinex-scanner/velmar-sentinex-publish-clamav$' \
    "$units/velmar-sentinex-freshclam.service" || fail "the service does not publish as root"
for command in "systemctl enable --now velmar-sentinex-freshclam.timer" \
    "systemctl start velmar-sentinex-freshclam.service" "velmar-sentinex-compile-rules"; do
    grep -qF "$command" "$source/README.md" || fail "README lacks: $command"
done
echo "ok: units and README agree"

[ "$(id -u)" -eq 0 ] || { echo "skip: publishing and freshclam checks need root"; exit 0; }
publish=$dest/usr/lib/velmar-sentinex-scanner/velmar-sentinex-publish-clamav
reader=nobody
id clamav >/dev/null 2>&1 && reader=clamav
download=$work/download
published=$work/published
mkdir -p "$download" "$published"
echo "Snx.Test.Published:0:*:736e78" >"$download/own.ndb"
echo "not a database" >"$download/main.cvd"
echo "secret" >"$work/secret" && chmod 0600 "$work/secret"
ln -s "$work/secret" "$download/planted.hdb"
echo "old" >"$published/main.cvd"
chown -R "$reader" "$download"
if "$publish" "$download" "$published" "$reader" >"$work/publish.log" 2>&1; then
    fail "a database that fails its check was not reported"
fi
grep -q "main.cvd fails its check" "$work/publish.log" || fail "no message for main.cvd: $(cat "$work/publish.log")"
[ "$(cat "$published/main.cvd")" = old ] || fail "the previous main.cvd was not kept"
cmp -s "$download/own.ndb" "$published/own.ndb" || fail "own.ndb was not published"
[ "$(stat -c %U:%a "$published/own.ndb")" = root:644 ] || fail "own.ndb is $(stat -c %U:%a "$published/own.ndb")"
[ "$(stat -c %U:%a "$published")" = root:755 ] || fail "the database directory is $(stat -c %U:%a "$published")"
[ ! -e "$published/planted.hdb" ] || fail "a planted link made root copy a file its user cannot read"
rm "$download/main.cvd" "$download/planted.hdb" && echo gone >"$published/stale.ndb"
"$publish" "$download" "$published" "$reader" >/dev/null 2>&1 || fail "a clean publish failed"
[ ! -e "$published/main.cvd" ] && [ ! -e "$published/stale.ndb" ] || fail "dropped databases stay"
echo "ok: publishing"

compile=$dest/usr/sbin/velmar-sentinex-compile-rules
if command -v yarac >/dev/null; then
    rules=$work/rules
    mkdir -p "$rules"
    echo 'rule By_Name { condition: filename == "x.exe" and extension == ".exe" }' >"$rules/good.yar"
    echo 'rule Broken { condition: nonsense }' >"$rules/broken.yar"
    out=$work/malware.rmd
    "$compile" "$rules" "$out" 2>"$work/compile.log" || fail "the good rules were not compiled"
    grep -q "skipped $rules/broken.yar: .*nonsense" "$work/compile.log" || fail "broken.yar not named: $(cat "$work/compile.log")"
    cp "$out" "$work/previous.rmd"
    rm "$rules/good.yar"
    if "$compile" "$rules" "$out" 2>/dev/null; then fail "nothing compiled, yet success"; fi
    cmp -s "$out" "$work/previous.rmd" || fail "the previous rules were not kept"
    echo "ok: compiling rules"
else
    echo "skip: yarac is not installed"
fi

if command -v freshclam >/dev/null && id clamav >/dev/null 2>&1; then
    mkdir -p "$work/fresh" && chown clamav:clamav "$work/fresh"
    # As the unit runs it, with the download directory moved into the test's own.
    exec_start=$(sed -n 's/^ExecStart=//p' "$units/velmar-sentinex-freshclam.service")
    exec_start=${exec_start//\/etc\/velmar-sentinex/$dest\/etc\/velmar-sentinex}
    timeout 120 setpriv --reuid=clamav --regid=clamav --init-groups $exec_start \
        --datadir="$work/fresh" >"$work/fresh.log" 2>&1 || true
    grep -qiE "must be writable|parse|unknown option|can't open" "$work/fresh.log" &&
        fail "freshclam stopped before the download: $(cat "$work/fresh.log")"
    grep -qE "Trying to retrieve|Downloading|up-to-date|updated" "$work/fresh.log" ||
        fail "freshclam did not reach the download: $(cat "$work/fresh.log")"
    echo "ok: freshclam runs as clamav up to the download"
else
    echo "skip: freshclam or the clamav user is missing"
fi
