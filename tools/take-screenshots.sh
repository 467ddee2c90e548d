#!/usr/bin/env bash
# take-screenshots.sh [BUILD_DIR] [OUT_DIR]: pictures of keycrate's three tabs
# for the README, from the real program under Xvfb. Everything it runs lives in
# a temporary folder with its own home and its own backup server on a free
# loopback port; your settings, locks and server are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-docs}")

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n $server_pid ]] && kill "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/app" "$work/home/config" "$work/home/data" "$work/home/runtime" "$work/server" \
    "$work/home/Documents"
chmod 700 "$work/home/runtime"
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
head -c 180000 /dev/urandom > "$work/home/Documents/holiday-photos.zip"
printf '%%PDF-1.4\n%% quarterly report\n' > "$work/home/Documents/report-2024.pdf"
printf 'month,amount\njan,120\nfeb,95\n' > "$work/home/Documents/budget.csv"

HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" \
    XDG_RUNTIME_DIR="$work/home/runtime" QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    "$work/app/keycrate-screenshots" --server "http://127.0.0.1:$port" \
    --data "$work/home/data/keycrate/events" --out "$out" \
    "$work/home/Documents/budget.csv" "$work/home/Documents/holiday-photos.zip" \
    "$work/home/Documents/report-2024.pdf"
