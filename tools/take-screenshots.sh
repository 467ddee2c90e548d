#!/usr/bin/env bash
# take-screenshots.sh [BUILD_DIR] [OUT_DIR]: pictures of keycrate's four tabs
# (the Restore tab twice: uploads, then a snapshot restored) and its tray menu
# for the README, from the real program under Xvfb with a tray and a desktop's
# font. Everything it runs lives in a temporary folder with
# its own home and its own backup server on a free loopback port; your
# settings, locks and server are not touched.
#
# The pictures show the files of an ordinary home, /home/anna, on a computer
# called laptop: where it can, the script runs in mount and host name
# namespaces of its own with an empty /home.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-docs}")

if [[ -z ${KEYCRATE_SCREENSHOT_HOME:-} ]]; then
    namespace=(unshare --mount --uts)
    [[ $(id -u) == 0 ]] || namespace+=(--map-root-user)
    case "$(realpath .)/ $build/ $out/" in
    */home/* | /home/*) ;; # an empty /home would hide them
    *)
        if "${namespace[@]}" true 2> /dev/null; then
            exec env KEYCRATE_SCREENSHOT_HOME=/home/anna "${namespace[@]}" \
                bash -c 'mount -t tmpfs -o mode=755 tmpfs /home && mkdir -p /home/anna && hostname laptop && exec bash "$0" "$@"' \
                "$0" "$build" "$out"
        fi
        ;;
    esac
    echo "take-screenshots.sh: no private /home here; the pictures show a temporary home" >&2
fi

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n $server_pid ]] && kill "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT

home=${KEYCRATE_SCREENSHOT_HOME:-$work/home}
mkdir -p "$work/app" "$home/.config" "$home/.local/share" "$work/runtime" "$work/server" \
    "$home/Documents"
chmod 700 "$work/runtime"
# keycrate finds its library and keeps its lock list in its own folder.
cp "$build/bin/keycrate-screenshots" "$build/bin/libQuorvane.so" "$work/app/"

printf '%s\n' keycrate-demo | "$build/bin/quorvane-server" adduser demo --data "$work/server" > /dev/null
"$build/bin/quorvane-server" --listen 127.0.0.1:0 --data "$work/server" 2> "$work/server.log" &
server_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/server.log" | head -n 1)
    [[ -n $port ]] && break
    sleep 0.1
done
[[ -n $port ]] || { cat "$work/server.log" >&2; echo "the backup server did not start" >&2; exit 1; }

# Files a user might lock and back up.
docs="$home/Documents"
head -c 180000 /dev/urandom > "$docs/holiday-photos.zip"
printf '%%PDF-1.4\n%% quarterly report\n' > "$docs/report-2024.pdf"
printf 'month,amount\njan,120\nfeb,95\n' > "$docs/budget.csv"
mkdir -p "$docs/Letters/2024"
printf 'Dear Mr Berg,\nthe heating is out again.\n' > "$docs/Letters/2024/landlord.txt"
printf 'Thank you for the lovely evening!\n' > "$docs/Letters/thanks.txt"
ln -s report-2024.pdf "$docs/latest-report.pdf"

# A snapshot of the folder, made as a nightly quorvane backup would.
quorvane() {
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        XDG_RUNTIME_DIR="$work/runtime" "$build/bin/quorvane" "$@"
}
quorvane config server_url "http://127.0.0.1:$port" > /dev/null
quorvane config data_path "$home/.local/share/keycrate/events" > /dev/null
quorvane config user demo > /dev/null
printf '%s\n' keycrate-demo | quorvane config --password-stdin > /dev/null
quorvane --quiet backup "$docs" > /dev/null

# A panel's tray beside keycrate, when there is a tray host to run.
tray=
command -v trayer > /dev/null && tray='trayer --edge top --align right --widthtype request --height 24 & sleep 1;'
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    bash -c "$tray"' exec "$@"' keycrate-screenshots \
    "$work/app/keycrate-screenshots" --server "http://127.0.0.1:$port" \
    --data "$home/.local/share/keycrate/events" --out "$out" \
    "$docs/budget.csv" "$docs/holiday-photos.zip" "$docs/report-2024.pdf"
