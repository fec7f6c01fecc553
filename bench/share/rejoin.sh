#!/bin/sh
# Rejoining a shared scene that holds a large model, against the first join, one run each: a site
# "alice" places FILE and stays; "bob" joins (an empty cache folder) and waits until everything
# the broker holds is applied here, models included (`share sync`), and leaves; then bob joins
# again with the cache folder his first join filled. Whole processes, wall-clock time; a first
# join of another user ("carol") beforehand makes sure alice's model is stored on the broker.
#
#   rejoin.sh ZELHOST [FILE] [NATS_SERVER]
#
# FILE defaults to the corpus's generated/large.3ds. The broker runs on a free loopback port with
# a temporary store and is stopped by its pid; every cache folder is a temporary one.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 1 ] && [ -x "$1" ] || usage "ZELHOST [FILE] [NATS_SERVER]"
zelhost=$1
file=${2:-$large}
server=${3:-/usr/sbin/nats-server}
need_files "$file"
[ -x "$server" ] || { echo "$0: no nats-server at $server" >&2; exit 2; }

broker=
alice=
cleanup() {
    [ -z "$alice" ] || kill "$alice" 2>/dev/null || true
    [ -z "$broker" ] || kill "$broker" 2>/dev/null || true
    wait 2>/dev/null || true
}
mkdir "$tmp/models" "$tmp/store"
cp "$file" "$tmp/models/archi.3ds"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$server" -a 127.0.0.1 -p "$port" -js -sd "$tmp/store" >"$tmp/broker.log" 2>&1 &
broker=$!
url=nats://127.0.0.1:$port
i=0
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; do
    i=$((i + 1))
    [ "$i" -lt 100 ] || { echo "$0: the broker did not start" >&2; exit 1; }
    sleep 0.1
done

printf 'share sync 300\ndump %s\nsleep 900\n' "$tmp/alice.json" >"$tmp/alice.zel"
XDG_CACHE_HOME="$tmp/alice-cache" "$zelhost" --share "$url" --user alice --models "$tmp/models" \
    --script "$tmp/alice.zel" >/dev/null 2>"$tmp/alice.err" &
alice=$!

# Alice's dump comes once the broker acknowledged her model and the record that names it.
i=0
until [ -s "$tmp/alice.json" ]; do
    i=$((i + 1))
    [ "$i" -lt 3000 ] || { echo "$0: alice did not place and store her model" >&2; exit 1; }
    kill -0 "$alice" 2>/dev/null || { echo "$0: alice ended" >&2; cat "$tmp/alice.err" >&2; exit 1; }
    sleep 0.2
done

printf 'share wait 2 120\nshare sync 300\n' >"$tmp/join.zel"
join() {
    name=$1
    user=$2
    cache=$3
    /usr/bin/time -f "%e" -o "$tmp/$name.time" env XDG_CACHE_HOME="$cache" "$zelhost" \
        --share "$url" --user "$user" --script "$tmp/join.zel" --dump "$tmp/$name.json" \
        >/dev/null 2>"$tmp/$name.err" || {
        echo "$0: $name failed" >&2
        cat "$tmp/$name.err" >&2
        exit 1
    }
    python3 - "$tmp/$name.json" <<'PY' || { echo "$0: $name did not see alice's model" >&2; exit 1; }
import json, sys
d = json.load(open(sys.argv[1]))
others = {s["site"] for s in d.get("sites", []) if not s.get("self")}
def meshes(n):
    return "mesh" in n or any(meshes(c) for c in n.get("children", []))
def find(n):
    return (n.get("owner") in others and meshes(n)) or any(find(c) for c in n.get("children", []))
sys.exit(0 if find(d["scene"]) else 1)
PY
    cat "$tmp/$name.time"
}
join carol carol "$tmp/carol-cache" >/dev/null
first=$(join first bob "$tmp/bob-cache")
again=$(join again bob "$tmp/bob-cache")
[ -n "$(find "$tmp/bob-cache" -name 'a-*' -type f)" ] || { echo "$0: bob kept no model" >&2; exit 1; }
echo "file: $file (whole processes, join to everything applied, models included)"
echo "first join  $first s"
echo "rejoin      $again s   $(awk -v a="$again" -v b="$first" 'BEGIN { printf "%.3f", a / b }') x first   (aim: at most 0.3)"
