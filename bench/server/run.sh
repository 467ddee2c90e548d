#!/usr/bin/env bash
# bench/server/run.sh [BUILD_DIR] [SIZE_MIB]
#
# quorvane-server next to nginx on the same loopback, in the same run, with
# curl as the client:
#  1. one SIZE_MIB (default 1024) upload and download, medians of five
#     alternating runs; nginx receives the same body into a file
#     (client_body_in_file_only) and serves the same file;
#  2. the same download over HTTPS, where the server cannot use sendfile;
#  3. 64 clients at once, each uploading and then downloading a 10 MB file.
# Prints MB/s, the ratios to nginx and the peak memory (VmHWM) of both, and
# the CPU time each spent per GiB, which a busy machine disturbs far less than
# the speeds.
# BENCH_OTHER_SERVER=PATH measures a second quorvane-server build the same way
# (for example the one before a change). Needs about three times SIZE_MIB free
# in /tmp; everything is removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
size_mib=${2:-1024}
runs=5
clients=64
servers=("$build/bin/quorvane-server")
[[ -n ${BENCH_OTHER_SERVER:-} ]] && servers+=("$BENCH_OTHER_SERVER")
for server in "${servers[@]}"; do
    [[ -x $server ]] || { echo "no $server: build the project first" >&2; exit 1; }
done
command -v nginx > /dev/null || { echo "nginx is missing (apt-get install nginx)" >&2; exit 1; }

work=$(mktemp -d /tmp/quorvane-bench.XXXXXX)
pids=()
. "$(dirname "$0")/common.sh"

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
    [[ -n ${BENCH_KEEP:-} ]] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

cpu_ticks() { # user and system time of the given processes, all threads
    local total=0 ticks
    for pid in "$@"; do
        ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2> /dev/null || echo 0)
        total=$((total + ticks))
    done
    echo "$total"
}
per_gib() { # per_gib TICKS: seconds per GiB over the runs of one compare
    awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v n=$runs -v mib="$size_mib" \
        'BEGIN { printf "%.2f", t / hz / n / (mib / 1024) }'
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
peak_kib() { # largest VmHWM of the given processes
    local peak=0 value
    for pid in "$@"; do
        value=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2> /dev/null || echo 0)
        (( value > peak )) && peak=$value
    done
    echo "$peak"
}



echo "Preparing a ${size_mib} MiB random file and $clients files of 10 MB in $work ..."
mkdir -p "$work/static" "$work/small"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/static/big"
{ document bench-file; cat "$work/static/big"; } > "$work/body"
head -c 10000000 /dev/urandom > "$work/static/small"
for i in $(seq $clients); do { document "small-$i"; cat "$work/static/small"; } > "$work/small/$i"; done

# One certificate for both sides' HTTPS.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/tls.key" \
    -out "$work/tls.pem" -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2> /dev/null

# nginx: the upload's body goes into a file that is removed afterwards; the
# proxy only makes nginx read the body, which it does not pass on.
nginx_port=$(free_port)
nginx_tls_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" << CONF
daemon off;
user '$(id -un)';
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:$nginx_port;
        client_max_body_size 0;
        location = /upload {
            client_body_in_file_only clean;
            proxy_pass_request_body off;
            proxy_set_header Content-Length "";
            proxy_pass http://127.0.0.1:$nginx_port/saved;
        }
        location = /saved { return 200 "OK saved\n"; }
        location / { root $work/static; }
    }
    server {
        listen 127.0.0.1:$nginx_tls_port ssl;
        ssl_certificate $work/tls.pem;
        ssl_certificate_key $work/tls.key;
        location / { root $work/static; }
    }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/nginx/nginx.pid ]] && break; sleep 0.05; done
nginx_url="http://127.0.0.1:$nginx_port"

start_server() { # start_server BINARY NAME [OPTION...]: sets server_pid and server_base
    local binary=$1 name=$2
    shift 2
    local data="$work/data-$name"
    if [[ ! -d $data ]]; then
        mkdir -p "$data"
        printf 'bench-pass\n' | "$binary" adduser bench --data "$data" > /dev/null
    fi
    local options=()
    # All 64 clients come from one address.
    "$binary" --help | grep -q -- --max-per-address && options=(--max-per-address 256)
    "$binary" --listen 127.0.0.1:0 --data "$data" "${options[@]}" "$@" 2> "$work/$name.log" &
    server_pid=$!
    pids+=("$server_pid")
    for _ in $(seq 200); do grep -qs 'listening on' "$work/$name.log" && break; sleep 0.05; done
    local url
    url=$(sed -n 's|.*listening on \(https\{0,1\}://127.0.0.1:[0-9]*\).*|\1|p' "$work/$name.log")
    [[ -n $url ]] || { cat "$work/$name.log" >&2; exit 1; }
    server_base="$url/action/file"
}
login="username=bench&password=bench-pass"

# Alternates nginx and server runs so that load from elsewhere on the machine
# (the disk above all) hits both alike; prints "server-MB/s nginx-MB/s
# server-CPU-s/GiB nginx-CPU-s/GiB".
compare() { # compare KIND: curl arguments in nginx_args and server_args
    : > "$work/a"; : > "$work/b"
    local server_ticks nginx_ticks
    server_ticks=$(cpu_ticks "$server_pid")
    nginx_ticks=$(cpu_ticks $(nginx_workers))
    for _ in $(seq $runs); do
        transfer "$1" "${nginx_args[@]}" >> "$work/a"
        transfer "$1" "${server_args[@]}" >> "$work/b"
    done
    server_ticks=$(($(cpu_ticks "$server_pid") - server_ticks))
    nginx_ticks=$(($(cpu_ticks $(nginx_workers)) - nginx_ticks))
    echo "$(median < "$work/b" | awk '{ printf "%.0f", $1 / 1e6 }') $(median < "$work/a" | awk '{ printf "%.0f", $1 / 1e6 }')" \
        "$(per_gib "$server_ticks") $(per_gib "$nginx_ticks")"
}

# 64 clients at once, each uploading its file and then downloading one;
# prints the total MB/s (both directions).
crowd() { # crowd nginx|server
    local started ended
    started=$(date +%s.%N)
    for i in $(seq $clients); do
        if [[ $1 == nginx ]]; then
            { curl -sS -f -o /dev/null -X POST -H 'Expect:' --data-binary "@$work/small/$i" "$nginx_url/upload" \
                && curl -sS -f -o /dev/null "$nginx_url/small"; } &
        else
            { curl -sS -f -o /dev/null -X POST -H 'Expect:' --data-binary "@$work/small/$i" \
                  "$server_base/quorvupload?$login&access_id=0" \
                && curl -sS -f -o /dev/null -X POST --data-binary '<event/>' \
                  "$server_base/quorvdownload?$login&extguid=small-$i"; } &
        fi
    done
    wait_all=0
    for job in $(jobs -p); do [[ " ${pids[*]} " == *" $job "* ]] || wait "$job" || wait_all=1; done
    (( wait_all == 0 )) || { echo "a client of $1 failed" >&2; exit 1; }
    ended=$(date +%s.%N)
    awk -v s="$started" -v e="$ended" -v n=$clients 'BEGIN { printf "%.0f", 2 * n * 10000000 / (e - s) / 1e6 }'
}

nginx_workers() { pgrep -P "$(cat "$work/nginx/nginx.pid")" | tr '\n' ' '; }

echo "Load on this machine now: $(cut -d' ' -f1-3 /proc/loadavg) (${size_mib} MiB, $runs runs each)"
printf '\n%-44s %10s %10s %7s\n' "" "server" "nginx" "ratio"
for server in "${servers[@]}"; do
    name=$(basename "$(dirname "$(dirname "$server")")")-$(basename "$server")
    name=$(echo "$name" | tr -c 'A-Za-z0-9\n' _)
    start_server "$server" "$name"
    nginx_args=(-X POST -H 'Expect:' -T "$work/body" "$nginx_url/upload")
    server_args=(-X POST -H 'Expect:' -T "$work/body" "$server_base/quorvupload?$login&access_id=0&title=bench")
    read -r up_server up_nginx up_cpu_server up_cpu_nginx < <(compare upload)
    nginx_args=("$nginx_url/big")
    server_args=(-X POST --data-binary '<event/>' "$server_base/quorvdownload?$login&extguid=bench-file")
    read -r down_server down_nginx down_cpu_server down_cpu_nginx < <(compare download)
    curl -sS -X POST --data-binary '<event/>' "$server_base/quorvdownload?$login&extguid=bench-file" \
        | cmp -s - "$work/static/big" || { echo "the downloaded file differs from the uploaded one" >&2; exit 1; }
    single_peak=$(peak_kib "$server_pid")
    crowd_nginx=$(crowd nginx)
    crowd_server=$(crowd server)
    crowd_peak=$(peak_kib "$server_pid")
    nginx_peak=$(peak_kib $(nginx_workers))
    kill "$server_pid"; wait "$server_pid" 2> /dev/null || true
    # The same data served over HTTPS.
    start_server "$server" "$name" --tls-cert "$work/tls.pem" --tls-key "$work/tls.key"
    nginx_args=(--cacert "$work/tls.pem" "https://127.0.0.1:$nginx_tls_port/big")
    server_args=(--cacert "$work/tls.pem" -X POST --data-binary '<event/>' "$server_base/quorvdownload?$login&extguid=bench-file")
    read -r tls_server tls_nginx tls_cpu_server tls_cpu_nginx < <(compare download)
    echo "$server:"
    printf '  %-42s %5s MB/s %5s MB/s %6sx (goal >= 1.0x)\n' "${size_mib} MiB upload" "$up_server" "$up_nginx" "$(ratio "$up_server" "$up_nginx")"
    printf '  %-42s %5s MB/s %5s MB/s %6sx (goal >= 0.9x)\n' "${size_mib} MiB download" "$down_server" "$down_nginx" "$(ratio "$down_server" "$down_nginx")"
    printf '  %-42s %5s MB/s %5s MB/s %6sx\n' "${size_mib} MiB download over HTTPS" "$tls_server" "$tls_nginx" "$(ratio "$tls_server" "$tls_nginx")"
    printf '  %-42s %5s s    %5s s    %6sx\n' "CPU per GiB uploaded" "$up_cpu_server" "$up_cpu_nginx" "$(ratio "$up_cpu_server" "$up_cpu_nginx")"
    printf '  %-42s %5s s    %5s s    %6sx\n' "CPU per GiB downloaded" "$down_cpu_server" "$down_cpu_nginx" "$(ratio "$down_cpu_server" "$down_cpu_nginx")"
    printf '  %-42s %5s s    %5s s    %6sx\n' "CPU per GiB downloaded over HTTPS" "$tls_cpu_server" "$tls_cpu_nginx" "$(ratio "$tls_cpu_server" "$tls_cpu_nginx")"
    printf '  %-42s %5s MB/s %5s MB/s %6sx\n' "$clients clients, 10 MB up and down each" "$crowd_server" "$crowd_nginx" "$(ratio "$crowd_server" "$crowd_nginx")"
    printf '  %-42s %5s MiB  %5s MiB (one nginx worker)\n' "peak memory after one big file" "$((single_peak / 1024))" "-"
    printf '  %-42s %5s MiB  %5s MiB\n' "peak memory after $clients clients" "$((crowd_peak / 1024))" "$((nginx_peak / 1024))"
    kill "$server_pid"; wait "$server_pid" 2> /dev/null || true
done
echo "(goals: as marked, the crowd at least 1.0x; server memory under 64 MiB over idle. The server"
echo " syncs every upload to disk before answering; nginx does not.)"
