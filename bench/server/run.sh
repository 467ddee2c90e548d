#!/usr/bin/env bash
# bench/server/run.sh [BUILD_DIR] [SIZE_MIB]
#
# Uploads and downloads a 1 GiB file (SIZE_MIB, default 1024) through
# quorvane-server with curl, next to baselines measured in the same run with
# the same curl commands: a plain Python sink that writes the body to disk and
# syncs it, and Python's static file server. Prints MB/s, the ratios to the
# baselines (medians of five alternating runs each) and the server's peak
# memory (VmHWM).
# Needs about three times the size free in /tmp; everything is removed at the end.
# BENCH_VERBOSE=1 also prints every run's bytes per second (baseline, server).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
size_mib=${2:-1024}
server=$build/bin/quorvane-server
runs=5
[[ -x $server ]] || { echo "no $server: build the project first" >&2; exit 1; }

work=$(mktemp -d /tmp/quorvane-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

wait_for_file() { # wait_for_file FILE: bounded wait until FILE is not empty
    for _ in $(seq 200); do [[ -s $1 ]] && return 0; sleep 0.05; done
    echo "gave up waiting for $1" >&2; exit 1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One curl transfer; prints its throughput in bytes per second.
transfer() { # transfer KIND(upload|download) curl-args...
    local kind=$1; shift
    local field=$([[ $kind == upload ]] && echo speed_upload || echo speed_download)
    local out
    out=$(curl -sS -o /dev/null -w "%{http_code} %{$field}" "$@")
    [[ ${out%% *} == 200 ]] || { echo "curl $kind answered ${out%% *}" >&2; exit 1; }
    echo "${out#* }"
}

# Alternates baseline and server runs, so that load from elsewhere on the
# machine (the disk above all) hits both alike; sets the medians in MB/s.
# The curl arguments of each side are in the arrays baseline_args and server_args.
compare() { # compare KIND
    local kind=$1
    : > "$work/baseline.speeds"; : > "$work/server.speeds"
    for _ in $(seq $runs); do
        transfer "$kind" "${baseline_args[@]}" >> "$work/baseline.speeds"
        rm -f "$work/sink.out"
        transfer "$kind" "${server_args[@]}" >> "$work/server.speeds"
    done
    [[ -n ${BENCH_VERBOSE:-} ]] && paste "$work/baseline.speeds" "$work/server.speeds" >&2
    baseline_speed=$(median < "$work/baseline.speeds" | awk '{ printf "%.0f", $1 / 1e6 }')
    server_speed=$(median < "$work/server.speeds" | awk '{ printf "%.0f", $1 / 1e6 }')
}

echo "Preparing a ${size_mib} MiB random file in $work ..."
document='<?xml version="1.0" encoding="UTF-8"?><event><id>bench-file</id><name><![CDATA[File [bench.bin]]]></name><path><![CDATA[bench.bin]]></path><type>application/octet-stream</type><content><![CDATA[]]></content><description><![CDATA[Uploaded by KEYCRATE]]></description><recordTime>1700000000</recordTime><recordChanged>1700000000</recordChanged></event>'
{ printf '%s-|+' "$document"; head -c $((size_mib * 1024 * 1024)) /dev/urandom; } > "$work/body"
bytes=$(stat -c %s "$work/body")

# The backup server.
mkdir -p "$work/data"
printf 'bench-pass\n' | "$server" adduser bench --data "$work/data" > /dev/null
"$server" --listen 127.0.0.1:0 --data "$work/data" 2> "$work/server.log" &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 200); do grep -q 'listening on' "$work/server.log" && break; sleep 0.05; done
server_port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/server.log")
[[ -n $server_port ]] || { cat "$work/server.log" >&2; exit 1; }
base="http://127.0.0.1:$server_port/action/file"
login="username=bench&password=bench-pass"

# Baselines.
python3 "$here/sink.py" "$work/sink.port" "$work/sink.out" &
pids+=($!)
mkdir -p "$work/static"
ln "$work/body" "$work/static/body"
python3 "$here/static.py" "$work/static.port" "$work/static" &
pids+=($!)
wait_for_file "$work/sink.port"
wait_for_file "$work/static.port"

echo "Upload, $runs runs each, alternating ($bytes bytes) ..."
upload_args=(-X POST -H 'Expect:' -T "$work/body")
baseline_args=("${upload_args[@]}" "http://127.0.0.1:$(cat "$work/sink.port")/sink")
server_args=("${upload_args[@]}" "$base/quorvupload?$login&access_id=0&title=bench")
compare upload
up_base=$baseline_speed up_server=$server_speed

echo "Download, $runs runs each, alternating ..."
# The library asks for a file with a POST that carries the event document.
baseline_args=("http://127.0.0.1:$(cat "$work/static.port")/body")
server_args=(-X POST --data-binary '<event/>' "$base/quorvdownload?$login&extguid=bench-file")
compare download
down_base=$baseline_speed down_server=$server_speed

# The stored file must be the uploaded one.
curl -sS -X POST --data-binary '<event/>' "$base/quorvdownload?$login&extguid=bench-file" \
    | cmp -s - <(tail -c +$((${#document} + 4)) "$work/body") \
    || { echo "the downloaded file differs from the uploaded one" >&2; exit 1; }

peak=$(awk '/VmHWM/ { print $2 }' "/proc/$server_pid/status")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf '\n%-34s %10s %10s %8s\n' "1 GiB over loopback with curl" "server" "baseline" "ratio"
printf '%-34s %6s MB/s %5s MB/s %7sx\n' "upload (baseline: Python sink)" "$up_server" "$up_base" "$(ratio "$up_server" "$up_base")"
printf '%-34s %6s MB/s %5s MB/s %7sx\n' "download (baseline: http.server)" "$down_server" "$down_base" "$(ratio "$down_server" "$down_base")"
printf '%-34s %6s MiB (goal: under 64 MiB)\n' "server peak memory (VmHWM)" "$((peak / 1024))"
echo "(goal: ratios of at least 0.8x)"
