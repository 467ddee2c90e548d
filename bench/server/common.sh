# What the server benches share: medians, ratios, one timed curl transfer and
# the event document an upload starts with. Sourced, not run.

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# One curl transfer; prints its throughput in bytes per second.
transfer() { # transfer upload|download curl-args...
    local kind=$1; shift
    local field=$([[ $kind == upload ]] && echo speed_upload || echo speed_download)
    local out
    out=$(curl -sS -o /dev/null -w "%{http_code} %{$field}" "$@")
    [[ ${out%% *} == 200 ]] || { echo "curl $kind answered ${out%% *}" >&2; exit 1; }
    echo "${out#* }"
}

document() { # document ID
    printf '<?xml version="1.0" encoding="UTF-8"?><event><id>%s</id><name><![CDATA[File [bench.bin]]]></name><path><![CDATA[bench.bin]]></path><type>application/octet-stream</type><content><![CDATA[]]></content><description><![CDATA[Uploaded by KEYCRATE]]></description><recordTime>1700000000</recordTime><recordChanged>1700000000</recordChanged></event>-|+' "$1"
}
