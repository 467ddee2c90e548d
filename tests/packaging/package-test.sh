#!/usr/bin/env bash
# package-test.sh BUILD_DIR: makes the Debian package from a finished build,
# unpacks it into a temporary root and runs what it holds from there, as an
# unprivileged user who cannot write the unpacked tree: keycrate --version,
# keycrate on a private X server with a private home, a lock through the
# unpacked keycrate-send, the lock list in $XDG_STATE_HOME/keycrate; as root,
# the lock made immutable by the unpacked keycrate-lockd. Then the launcher
# entries, lintian and, where there is systemd, the service units.
set -euo pipefail
build=$(realpath "$1")

for tool in cpack dpkg-deb Xvfb desktop-file-validate lintian setpriv; do
    command -v "$tool" > /dev/null || { echo "FAIL: $tool is missing (scripts/packages.txt)"; exit 1; }
done

work=$(mktemp -d /tmp/keycrate-package.XXXXXX)
xvfb_pid=
keycrate_pid=
lockd_pid=
lintian_pid=
cleanup() {
    set +e
    [[ -n $keycrate_pid ]] && kill -KILL "$keycrate_pid" 2> /dev/null
    [[ -n $lockd_pid ]] && kill -TERM "$lockd_pid" 2> /dev/null && wait "$lockd_pid" 2> /dev/null
    # Nothing immutable may stay behind, whatever failed.
    chattr -R -f -i "$work" 2> /dev/null
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2> /dev/null && wait "$xvfb_pid" 2> /dev/null
    [[ -n $lintian_pid ]] && kill -- -"$lintian_pid" 2> /dev/null && wait "$lintian_pid" 2> /dev/null
    chmod -R u+w "$work" 2> /dev/null
    rm -rf "$work"
}
[[ -n ${KEEP_PACKAGE_TEST:-} ]] || trap cleanup EXIT
chmod 755 "$work"
fail() { echo "FAIL: $*"; for log in "$work"/*.log; do echo "--- $log"; tail -n 40 "$log"; done; exit 1; }
step() { echo "== $*"; }

step "package"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package") > "$work/cpack.log" 2>&1 \
    || fail "cpack"
deb="$work/package/keycrate_${version}_amd64.deb"
[[ -f $deb ]] || fail "no $(basename "$deb")"
dpkg-deb -I "$deb" > "$work/control.log"
grep -q '^ Depends:.*libqt6widgets6' "$work/control.log" || fail "no dependency on Qt's widgets"
grep -q '^ Depends:.*qt6-qpa-plugins' "$work/control.log" || fail "no dependency on Qt's platform plugins"
# lintian needs only the package: it runs while the unpacked programs are
# tried, in a process group of its own that a failure ends whole.
setsid --wait lintian --fail-on error "$deb" > "$work/lintian.log" 2>&1 &
lintian_pid=$!

step "unpack"
root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/keycrate usr/bin/keycrate-send usr/bin/quorvane-server \
    usr/lib/keycrate/libQuorvane.so usr/share/applications/org.keycrate.keycrate.desktop \
    usr/share/keycrate/autostart/keycrate-autostart.desktop \
    usr/share/icons/hicolor/scalable/apps/keycrate.svg usr/share/icons/hicolor/48x48/apps/keycrate.png \
    usr/share/metainfo/org.keycrate.keycrate.metainfo.xml usr/share/kio/servicemenus/keycrate.desktop \
    usr/share/nautilus-python/extensions/keycrate.py usr/lib/systemd/system/quorvane-server.service \
    usr/lib/sysusers.d/quorvane-server.conf usr/share/man/man1/keycrate.1.gz \
    usr/share/man/man1/keycrate-send.1.gz usr/share/man/man8/quorvane-server.8.gz \
    usr/share/doc/keycrate/copyright usr/sbin/keycrate-lockd \
    usr/lib/systemd/system/keycrate-lockd.service usr/lib/systemd/system/keycrate-lockd.socket \
    usr/share/man/man8/keycrate-lockd.8.gz; do
    [[ -e $root/$file ]] || fail "the package lacks /$file"
done

# As root, run as nobody; as anybody else, take the write permission away.
home="$work/home"
mkdir -p "$home/config" "$home/data" "$home/state" "$home/runtime" "$home/Documents" "$home/bin"
chmod 700 "$home/runtime"
echo "keep me" > "$home/Documents/report.txt"
if [[ $(id -u) == 0 ]]; then
    chown -R 65534:65534 "$home"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
    chmod -R a-w "$root"
    as_user=()
fi
# The lock is confirmed with a box: a test build answers it by itself.
user_env=(env -i HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"
    XDG_STATE_HOME="$home/state" XDG_RUNTIME_DIR="$home/runtime" PATH="$root/usr/bin:/usr/bin:/bin"
    QT_QPA_PLATFORM=xcb KEYCRATE_TEST_ANSWER_BOXES=1 LANG=C.UTF-8)
immutable() { lsattr -d "$1" 2> /dev/null | cut -c1-20 | grep -q i; }
# As root, the unpacked service protects the locks of the unpacked keycrate.
protecting=
if [[ $(id -u) == 0 ]] && touch "$work/probe" && chattr +i "$work/probe" 2> /dev/null; then
    chattr -i "$work/probe"
    mkdir "$work/lockd-state"
    "$root/usr/sbin/keycrate-lockd" --socket "$work/lockd.socket" --state-dir "$work/lockd-state" \
        --idle-exit 0 > "$work/lockd.log" 2>&1 &
    lockd_pid=$!
    for _ in $(seq 100); do [[ -S $work/lockd.socket ]] && break; sleep 0.1; done
    [[ -S $work/lockd.socket ]] || fail "keycrate-lockd does not listen"
    user_env+=(KEYCRATE_LOCKD_SOCKET="$work/lockd.socket")
    protecting=1
fi
run() { "${as_user[@]}" "${user_env[@]}" "$@"; }
run test ! -w "$root/usr/bin" || fail "the user can write the unpacked tree"

step "keycrate --version"
run "$root/usr/bin/keycrate" --version > "$work/version.log" 2>&1 || fail "keycrate --version"
grep -qx "keycrate $version" "$work/version.log" || fail "keycrate --version says $(cat "$work/version.log")"

step "keycrate on a private X server"
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || fail "Xvfb did not start"
user_env+=(DISPLAY=":$(head -n 1 "$work/display")")
# Started through a link, as from ~/bin: the library is found from the real place.
ln -s "$root/usr/bin/keycrate" "$home/bin/keycrate"
# Not through run(): $! must be keycrate itself (setpriv and env exec it).
"${as_user[@]}" "${user_env[@]}" "$home/bin/keycrate" > "$work/keycrate.log" 2>&1 &
keycrate_pid=$!
for _ in $(seq 100); do
    status=0
    run "$root/usr/bin/keycrate-send" list > /dev/null 2>&1 || status=$?
    [[ $status == 0 ]] && break
    kill -0 "$keycrate_pid" 2> /dev/null || fail "keycrate ended"
    sleep 0.2
done
[[ $status == 0 ]] || fail "keycrate does not answer"

step "lock through keycrate-send"
file="$home/Documents/report.txt"
run "$root/usr/bin/keycrate-send" --timeout 20 lock "$file" > "$work/send.log" 2>&1 || fail "keycrate-send lock"
run "$root/usr/bin/keycrate-send" list > "$work/list.log" 2>&1
grep -qxF "$file" "$work/list.log" || fail "keycrate-send list does not show the file"
if [[ -n $protecting ]]; then
    grep -q '^Protected: ' "$work/send.log" || fail "the lock is not protected: $(cat "$work/send.log")"
    immutable "$file" || fail "the locked file is not immutable"
    rm -f "$file" 2> /dev/null && fail "root deleted a protected file"
    echo "   $(cat "$work/send.log")"
else
    grep -q '^Advisory only: ' "$work/send.log" || fail "keycrate-send lock says $(cat "$work/send.log")"
fi
kill -TERM "$keycrate_pid"
wait "$keycrate_pid" || fail "keycrate did not end in order"
keycrate_pid=
if [[ -n $protecting ]]; then
    for _ in $(seq 50); do immutable "$file" || break; sleep 0.1; done
    immutable "$file" && fail "the file stays immutable after keycrate ended"
fi
grep -qxF "$file" "$home/state/keycrate/llf" || fail "the lock list is not in \$XDG_STATE_HOME/keycrate"
[[ ! -e $root/usr/bin/llf ]] || fail "a lock list beside the installed program"
[[ $(stat -c %a "$home/state/keycrate") == 700 ]] || fail "the state folder is open to others"

step "desktop entries"
desktop-file-validate "$root/usr/share/applications/org.keycrate.keycrate.desktop" \
    "$root/usr/share/keycrate/autostart/keycrate-autostart.desktop" > "$work/desktop.log" 2>&1 \
    || fail "desktop-file-validate"
if command -v appstreamcli > /dev/null; then
    appstreamcli validate --no-net "$root/usr/share/metainfo/org.keycrate.keycrate.metainfo.xml" \
        > "$work/appstream.log" 2>&1 || fail "appstreamcli validate"
fi

step "lintian"
status=0
wait "$lintian_pid" || status=$?
lintian_pid=
((status == 0)) || fail "lintian reports errors"
cat "$work/lintian.log"

if command -v systemd-analyze > /dev/null; then
    step "systemd-analyze verify"
    mkdir "$work/unit"
    sed "s|/usr/bin/quorvane-server|$root/usr/bin/quorvane-server|" \
        "$root/usr/lib/systemd/system/quorvane-server.service" > "$work/unit/quorvane-server.service"
    systemd-analyze verify --man=no "$work/unit/quorvane-server.service" > "$work/systemd.log" 2>&1 \
        || fail "systemd-analyze verify"
    sed "s|/usr/sbin/keycrate-lockd|$root/usr/sbin/keycrate-lockd|" \
        "$root/usr/lib/systemd/system/keycrate-lockd.service" > "$work/unit/keycrate-lockd.service"
    cp "$root/usr/lib/systemd/system/keycrate-lockd.socket" "$work/unit/"
    (cd "$work/unit" && systemd-analyze verify --man=no keycrate-lockd.socket keycrate-lockd.service) \
        > "$work/systemd-lockd.log" 2>&1 || fail "systemd-analyze verify of keycrate-lockd's units"
    step "systemd-analyze security"
    # Exposure at most 2.0 (the threshold counts tenths).
    systemd-analyze security --offline=yes --threshold=20 "$work/unit/keycrate-lockd.service" \
        > "$work/security.log" 2>&1 || fail "keycrate-lockd.service is exposed: $(tail -n 1 "$work/security.log")"
    tail -n 1 "$work/security.log"
else
    echo "== systemd-analyze verify: skipped, no systemd here"
fi
echo "PASS"
