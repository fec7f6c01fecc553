#!/usr/bin/env bash
# A local broker for trying shared scenes: nats-server on the loopback interface with JetStream,
# max_payload 8 MB and its storage in a folder it names, and a WebSocket listener for the web page
# on the next port (plain ws: loopback only; a deployment puts TLS in front). Runs in the
# foreground until Ctrl-C.
#   tools/broker.sh [PORT] [STORE]     defaults: 4222, ${TMPDIR:-/tmp}/zel-broker; WebSocket PORT+1
# Then, in two other terminals:
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user alice
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user bob
set -euo pipefail
port=${1:-4222}
store=${2:-${TMPDIR:-/tmp}/zel-broker}
command -v nats-server >/dev/null || { echo "broker.sh: nats-server is not installed (apt-get install nats-server)" >&2; exit 2; }
mkdir -p "$store"
config="$store/broker.conf"
cat > "$config" <<CONF
listen: 127.0.0.1:$port
max_payload: 8MB
websocket {
  listen: "127.0.0.1:$((port + 1))"
  no_tls: true
}
jetstream {
  store_dir: "$store"
}
CONF
echo "broker.sh: nats://127.0.0.1:$port and ws://127.0.0.1:$((port + 1)), JetStream storage in $store (Ctrl-C stops it)" >&2
exec nats-server -c "$config"
