#!/usr/bin/env bash
# Serves the web page (build/web/, made by the build) on the loopback interface for trying it, and
# prints the address to open. Static files only. Runs in the foreground until Ctrl-C.
#   tools/web.sh [PORT] [BROKER_WS]      defaults: 8080, ws://127.0.0.1:4223 (tools/broker.sh's)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
port=${1:-8080}
broker=${2:-ws://127.0.0.1:4223}
dir=${ZEL_WEB_DIR:-$top/build/web}
[ -f "$dir/index.html" ] || { echo "web.sh: no page in $dir: build first (tools/build.sh)" >&2; exit 2; }
echo "web.sh: open http://127.0.0.1:$port/ and join with the broker $broker (Ctrl-C stops it)" >&2
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$dir"
