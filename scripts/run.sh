#!/usr/bin/env bash
# Installs what is missing, builds, starts our local backup server (if it is
# not running yet) with a demo account, and runs keycrate.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Switches only tests use stay out of what users run, also after a test build here.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DKEYCRATE_TESTING=OFF

data_home=${XDG_DATA_HOME:-$HOME/.local/share}
server_data="$data_home/keycrate/backup-server"
listen=127.0.0.1:8477
demo_user=demo
demo_password=keycrate-demo
mkdir -p "$server_data"

if ! (exec 3<>/dev/tcp/127.0.0.1/8477) 2> /dev/null; then
    printf '%s\n' "$demo_password" | build/bin/quorvane-server adduser "$demo_user" --data "$server_data" > /dev/null 2>&1 \
        || printf '%s\n' "$demo_password" | build/bin/quorvane-server passwd "$demo_user" --data "$server_data" > /dev/null
    build/bin/quorvane-server --listen "$listen" --data "$server_data" >> "$server_data/server.log" 2>&1 &
    echo "Backup server: http://$listen (data in $server_data, log in $server_data/server.log)"
fi
echo "Demo account: user \"$demo_user\", password \"$demo_password\" (enter them on the Settings tab)"

# Without a desktop session, give keycrate a virtual screen.
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    exec xvfb-run -a build/bin/keycrate "$@"
fi
exec build/bin/keycrate "$@"
