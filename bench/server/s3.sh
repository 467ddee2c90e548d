#!/usr/bin/env bash
# bench/server/s3.sh [BUILD_DIR] [SIZE_MIB]
#
# quorvane-server with its files in S3 (the tests' private gateway) next to
# curl talking to the gateway directly with the same bytes, in the same run:
#  1. one SIZE_MIB (default 1024) upload and download, medians of three
#     alternating runs;
#  2. 64 clients at once, each uploading and then downloading a 10 MB file;
#  3. the gateway stopped for 10 s: how many uploads and health checks in that
#     time were answered 503, and how long after the gateway answers again the
#     same server process takes an upload.
# Prints MB/s, the ratios to the gateway's own speed, the processor time of
# the server and of the gateway (and, for the 64 clients, of its object
# daemon) on either way (which move far less with the machine's load than the
# speeds) and the server's peak memory (VmHWM) over its memory when idle. Needs the gateway's packages
# (radosgw ceph-mon ceph-osd), a build with the tests, about 2 x SIZE_MIB in
# /tmp and 8 GiB of memory for the gateway's in-memory store.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
size_mib=${2:-1024}
runs=3
clients=64
outage_seconds=10
server=$build/bin/quorvane-server
gateway=$build/bin/bench_s3_gateway
for program in "$server" "$gateway"; do
    [[ -x $program ]] || { echo "no $program: build the project with KEYCRATE_TESTING=ON" >&2; exit 1; }
done

work=$(mktemp -d /tmp/quorvane-s3-bench.XXXXXX)
pids=()
. "$(dirname "$0")/common.sh"

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    # The gateway stops when its input closes.
    [[ -n ${hold:-} ]] && exec {hold}>&-
    for pid in "${pids[@]}" ${gateway_pid:-}; do wait "$pid" 2> /dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

kib() { awk -v f="$1" '$1 == f ":" { print $2 }' "/proc/$2/status"; }
# Processor time a process has spent, in clock ticks: it moves far less with
# the machine's load than the speeds do.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# That of this shell's children that ended: the clients' curls.
children_ticks() { awk '{ print $16 + $17 }' "/proc/$$/stat"; }


echo "Preparing a ${size_mib} MiB random file and $clients files of 10 MB in $work ..."
mkdir -p "$work/small"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/big"
{ document bench-file; cat "$work/big"; } > "$work/body"
head -c 10000000 /dev/urandom > "$work/small/file"
for i in $(seq $clients); do { document "small-$i"; cat "$work/small/file"; } > "$work/small/$i"; done

echo "Starting the S3 gateway ..."
mkfifo "$work/gateway.in"
"$gateway" < "$work/gateway.in" > "$work/gateway.out" 2> "$work/gateway.err" &
gateway_pid=$!
exec {hold}> "$work/gateway.in"
for _ in $(seq 600); do [[ -s $work/gateway.out ]] && break; sleep 0.1; done
read -r endpoint bucket region key secret < "$work/gateway.out" \
    || { cat "$work/gateway.err" >&2; exit 1; }
# The gateway's own process, by its port: its processor time per GB tells
# whether our requests cost it more than curl's.
gateway_port=${endpoint##*:}
rgw_pid=$(ss -ltnpH "sport = :$gateway_port" | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2)
[[ -n $rgw_pid ]] || { echo "cannot find the gateway's process" >&2; exit 1; }
# Its object daemon, of the same cluster: it stores what the gateway writes,
# and its time per GB rises with the gateway's when the cluster slows down.
conf=$(tr '\0' '\n' < "/proc/$rgw_pid/cmdline" | grep -m 1 'ceph.conf' || true)
osd_pid=
for pid in $(pgrep -x ceph-osd); do
    [[ -n $conf ]] && tr '\0' ' ' < "/proc/$pid/cmdline" | grep -qF -- "$conf" && osd_pid=$pid
done
[[ -n $osd_pid ]] || { echo "cannot find the gateway's object daemon" >&2; exit 1; }
# The gateway's access log: every request it answered, with its latency.
rgw_log=$(dirname "$conf")/log/client.rgw.log
[[ -r $rgw_log ]] || { echo "cannot read the gateway's log $rgw_log" >&2; exit 1; }
log_at() { wc -l < "$rgw_log"; }
# requests_since LINE: the requests the gateway answered since that line of its
# log, by kind, with their count and the gateway's mean latency per request
# ("put 3 0.41" = three single PUTs of 0.41 s each on average).
requests_since() {
    sleep 1 # the gateway writes its log behind
    tail -n +"$(($1 + 1))" "$rgw_log" | awk '
        / beast: / && match($0, /"[A-Z]+ [^ ]+ HTTP/) {
            split(substr($0, RSTART + 1, RLENGTH - 1), r, " ")
            m = r[1]; u = r[2]
            kind = m == "HEAD" ? "head" : m == "DELETE" ? "delete" \
                : m == "GET" ? (u ~ /\?/ ? "list" : "get") \
                : m == "POST" ? (u ~ /[?&]uploads/ ? "initiate" : u ~ /uploadId=/ ? "complete" : "post") \
                : m == "PUT" ? (u ~ /partNumber=/ ? "part" : "put") : tolower(m)
            lat = $0; sub(/.*latency=/, "", lat); sub(/s.*/, "", lat)
            n[kind]++; t[kind] += lat
        }
        END { for (k in n) printf "%s %d %.3f  ", k, n[k], t[k] / n[k]; print "" }'
}
direct=(--aws-sigv4 "aws:amz:$region:s3" --user "$key:$secret" -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD')

mkdir -p "$work/data"
export AWS_ACCESS_KEY_ID=$key AWS_SECRET_ACCESS_KEY=$secret
storage=(--storage "s3://$bucket/bench" --s3-endpoint "$endpoint" --s3-region "$region")
printf 'bench-pass\n' | "$server" adduser bench --data "$work/data" "${storage[@]}" > /dev/null
"$server" --listen 127.0.0.1:0 --data "$work/data" "${storage[@]}" --max-per-address 256 \
    2> "$work/server.log" &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 200); do grep -qs 'listening on' "$work/server.log" && break; sleep 0.05; done
port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/server.log")
[[ -n $port ]] || { cat "$work/server.log" >&2; exit 1; }
base="http://127.0.0.1:$port/action/file"
login="username=bench&password=bench-pass"
idle=$(kib VmRSS "$server_pid")

# Stops the server and prints what it says at stop of its requests to the store
# and the connections they were made over.
connections_opened() {
    kill "$server_pid"
    # Not a child of this subshell: wait by asking.
    while kill -0 "$server_pid" 2> /dev/null; do sleep 0.1; done
    grep -o '[0-9]* requests to the store over [0-9]* connections' "$work/server.log" | tail -n 1
}

per_gib() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v n=$runs -v m="$size_mib" 'BEGIN { printf "%.2f", t / hz / n / (m / 1024) }'; }

compare() { # compare KIND: prints "server-MB/s direct-MB/s server-CPU gateway-CPU-direct gateway-CPU-server" (s per GiB)
    : > "$work/a"; : > "$work/b"
    local spent=0 before gateway_direct=0 gateway_server=0 at line
    for round in $(seq $runs); do
        at=$(ticks "$rgw_pid")
        line=$(log_at)
        transfer "$1" "${direct_args[@]}" >> "$work/a"
        gateway_direct=$((gateway_direct + $(ticks "$rgw_pid") - at))
        [[ $round == 1 ]] && echo "$(requests_since "$line")" > "$work/requests-$1-direct"
        before=$(ticks "$server_pid")
        at=$(ticks "$rgw_pid")
        line=$(log_at)
        transfer "$1" "${server_args[@]}" >> "$work/b"
        spent=$((spent + $(ticks "$server_pid") - before))
        gateway_server=$((gateway_server + $(ticks "$rgw_pid") - at))
        [[ $round == 1 ]] && echo "$(requests_since "$line")" > "$work/requests-$1-server"
    done
    echo "$(median < "$work/b" | awk '{ printf "%.0f", $1 / 1e6 }') $(median < "$work/a" | awk '{ printf "%.0f", $1 / 1e6 }')" \
        "$(per_gib $spent) $(per_gib $gateway_direct) $(per_gib $gateway_server)"
}

crowd() { # crowd direct|server: total MB/s of both directions
    local started ended failed=0 line
    line=$(log_at)
    started=$(date +%s.%N)
    for i in $(seq $clients); do
        if [[ $1 == direct ]]; then
            { curl -sS -f -o /dev/null "${direct[@]}" -T "$work/small/file" "$endpoint/$bucket/direct/small-$i" \
                && curl -sS -f -o /dev/null "${direct[@]}" "$endpoint/$bucket/direct/small-$i"; } &
        else
            # Read from the file as it goes, as the direct clients do: loading
            # it whole first (--data-binary @FILE) cost curl 1 s more per GB,
            # on the two cores the server and the gateway need.
            { curl -sS -f -o /dev/null -X POST -H 'Expect:' -T "$work/small/$i" \
                  "$base/quorvupload?$login&access_id=0" \
                && curl -sS -f -o /dev/null -X POST --data-binary '<event/>' \
                  "$base/quorvdownload?$login&extguid=small-$i"; } &
        fi
    done
    for job in $(jobs -p); do [[ " ${pids[*]} $gateway_pid " == *" $job "* ]] || wait "$job" || failed=1; done
    (( failed == 0 )) || { echo "a client of $1 failed" >&2; exit 1; }
    ended=$(date +%s.%N)
    requests_since "$line" > "$work/requests-crowd-$1"
    awk -v s="$started" -v e="$ended" -v n=$clients 'BEGIN { printf "%.0f", 2 * n * 10000000 / (e - s) / 1e6 }'
}

gateway_says() { # gateway_says stop|start: the helper's answer
    local lines
    lines=$(wc -l < "$work/gateway.out")
    echo "$1" >&"$hold"
    for _ in $(seq 1200); do
        (( $(wc -l < "$work/gateway.out") > lines )) && break
        sleep 0.05
    done
    tail -n 1 "$work/gateway.out"
}

outage() { # prints "503-answers tries seconds-to-recover"
    local answered=0 tries=0 upload health back ended
    { document outage; echo "written while the store is away"; } > "$work/outage"
    [[ $(gateway_says stop) == stopped ]] || { echo "the gateway did not stop" >&2; exit 1; }
    ended=$(($(date +%s) + outage_seconds))
    while (($(date +%s) < ended)); do
        upload=$(curl -sS -o /dev/null -w '%{http_code}' -X POST -H 'Expect:' \
            --data-binary "@$work/outage" "$base/quorvupload?$login&access_id=0")
        health=$(curl -sS -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/health")
        tries=$((tries + 2))
        answered=$((answered + (upload == 503) + (health == 503)))
        sleep 0.5
    done
    local said
    said=$(gateway_says start)
    [[ $said == started ]] || { echo "the gateway did not start again: $said" >&2; exit 1; }
    back=$(date +%s.%N)
    for _ in $(seq 600); do
        upload=$(curl -sS -o /dev/null -w '%{http_code}' -X POST -H 'Expect:' \
            --data-binary "@$work/outage" "$base/quorvupload?$login&access_id=0")
        [[ $upload == 200 ]] && break
        sleep 0.05
    done
    [[ $upload == 200 ]] || { echo "the server did not recover" >&2; exit 1; }
    kill -0 "$server_pid" || { echo "the server ended in the outage" >&2; exit 1; }
    echo "$answered $tries $(awk -v b="$back" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - b }')"
}

echo "Load on this machine now: $(cut -d' ' -f1-3 /proc/loadavg) (${size_mib} MiB, $runs runs each)"
direct_args=("${direct[@]}" -T "$work/big" "$endpoint/$bucket/direct/big")
server_args=(-X POST -H 'Expect:' -T "$work/body" "$base/quorvupload?$login&access_id=0&title=bench")
read -r up_server up_direct up_cpu up_gw_direct up_gw_server < <(compare upload)
direct_args=("${direct[@]}" "$endpoint/$bucket/direct/big")
server_args=(-X POST --data-binary '<event/>' "$base/quorvdownload?$login&extguid=bench-file")
read -r down_server down_direct down_cpu down_gw_direct down_gw_server < <(compare download)
curl -sS -X POST --data-binary '<event/>' "$base/quorvdownload?$login&extguid=bench-file" \
    | cmp -s - "$work/big" || { echo "the downloaded file differs from the uploaded one" >&2; exit 1; }
single_peak=$(kib VmHWM "$server_pid")
at=$(ticks "$rgw_pid")
osd_at=$(ticks "$osd_pid")
clients_at=$(children_ticks)
crowd_direct=$(crowd direct)
crowd_clients_direct=$(($(children_ticks) - clients_at))
crowd_gw_direct=$(($(ticks "$rgw_pid") - at))
crowd_osd_direct=$(($(ticks "$osd_pid") - osd_at))
crowd_before=$(ticks "$server_pid")
at=$(ticks "$rgw_pid")
osd_at=$(ticks "$osd_pid")
clients_at=$(children_ticks)
crowd_server=$(crowd server)
crowd_clients_server=$(($(children_ticks) - clients_at))
crowd_ticks=$(($(ticks "$server_pid") - crowd_before))
crowd_gw_server=$(($(ticks "$rgw_pid") - at))
crowd_osd_server=$(($(ticks "$osd_pid") - osd_at))
crowd_peak=$(kib VmHWM "$server_pid")
read -r outage_503 outage_tries outage_back < <(outage)

printf '\n%-44s %10s %10s %7s\n' "" "server" "direct" "ratio"
printf '  %-42s %5s MB/s %5s MB/s %6sx\n' "${size_mib} MiB upload" "$up_server" "$up_direct" "$(ratio "$up_server" "$up_direct")"
printf '  %-42s %5s MB/s %5s MB/s %6sx\n' "${size_mib} MiB download" "$down_server" "$down_direct" "$(ratio "$down_server" "$down_direct")"
printf '  %-42s %5s MB/s %5s MB/s %6sx\n' "$clients clients, 10 MB up and down each" "$crowd_server" "$crowd_direct" "$(ratio "$crowd_server" "$crowd_direct")"
printf '  %-42s %s of %s answered 503, uploads again %s s after\n' "store stopped ${outage_seconds} s" "$outage_503" "$outage_tries" "$outage_back"
printf '  %-42s %s\n' "" "the gateway answered (same server process)"
printf '  %-42s %s s upload, %s s download\n' "server processor time per GiB" "$up_cpu" "$down_cpu"
per_gb() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v n=$clients 'BEGIN { printf "%.2f", t / hz / (2 * n * 10000000 / 1e9) }'; }
printf '  %-42s %s s\n' "... per GB moved by the $clients clients" "$(per_gb "$crowd_ticks")"
printf '  %-42s %s s upload, %s s download, %s s per GB of the %s clients\n' \
    "gateway processor time, direct" "$up_gw_direct" "$down_gw_direct" "$(per_gb "$crowd_gw_direct")" $clients
printf '  %-42s %s s upload, %s s download, %s s per GB of the %s clients\n' \
    "... through the server" "$up_gw_server" "$down_gw_server" "$(per_gb "$crowd_gw_server")" $clients
printf '  %-42s %s s direct, %s s through the server\n' \
    "object daemon per GB of the $clients clients" "$(per_gb "$crowd_osd_direct")" "$(per_gb "$crowd_osd_server")"
printf '  %-42s %s s direct, %s s through the server\n' \
    "the clients' curls per GB of the $clients" "$(per_gb "$crowd_clients_direct")" "$(per_gb "$crowd_clients_server")"
echo "  requests the gateway answered (kind, count, its mean latency in s):"
printf '    %-40s %s\n' "one upload, direct" "$(cat "$work/requests-upload-direct")" \
    "... through the server" "$(cat "$work/requests-upload-server")" \
    "one download, direct" "$(cat "$work/requests-download-direct")" \
    "... through the server" "$(cat "$work/requests-download-server")" \
    "$clients clients, direct" "$(cat "$work/requests-crowd-direct")" \
    "... through the server" "$(cat "$work/requests-crowd-server")"
printf '  %-42s %s\n' "connections the server opened to the gateway" "$(connections_opened)"
printf '  %-42s %5s MiB\n' "server memory when idle" "$((idle / 1024))"
printf '  %-42s %5s MiB\n' "peak over idle after one big file" "$(((single_peak - idle) / 1024))"
printf '  %-42s %5s MiB\n' "peak over idle after $clients clients" "$(((crowd_peak - idle) / 1024))"
echo "(goals: ratios of at least 0.8x; server memory under 64 MiB over idle.)"
