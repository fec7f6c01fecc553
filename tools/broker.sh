#!/usr/bin/env bash
# A local broker for shared scenes: nats-server on the loopback interface with JetStream,
# max_payload 8 MB and its storage in a folder it names, and a WebSocket listener for the web
# page on the next port (plain ws: loopback only; a deployment puts TLS in front). Runs in the
# foreground until Ctrl-C.
#   tools/broker.sh [--users FILE] [--config-only] [PORT] [STORE]
#                                      defaults: 4222, ${TMPDIR:-/tmp}/zel-broker; WebSocket PORT+1
# Then, in two other terminals:
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user alice
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user bob
#
# --users FILE: only the users in FILE may connect, each with the permissions of its role. One user
# a line, "ROLE USER PASSWORD"; blank lines and lines starting with # are skipped:
#   admin   root   s3cret     everything; its first join makes the buckets
#   writer  alice  pw-alice   reads every scene, writes only its own records ($KV.*.alice.>)
#   viewer  vera   pw-vera    reads every scene, writes nothing
# USER: letters, digits, - and _, at most 32 characters; a writer's USER is also its --user on
# zelhost. PASSWORD: no blanks, quotes or backslashes. The sites give theirs through
# ZEL_SHARE_USER and ZEL_SHARE_PASSWORD. No password is ever printed; the generated configuration
# (STORE/broker.conf, readable by its owner only) holds them.
# --config-only: writes STORE/broker.conf, prints its path and exits without starting the server.
set -euo pipefail
me=broker.sh
users=""
configOnly=0
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --users)
        [ $# -ge 2 ] || { echo "$me: --users needs a file" >&2; exit 2; }
        users=$2
        shift 2
        ;;
    --config-only)
        configOnly=1
        shift
        ;;
    -h | --help)
        sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*)
        echo "$me: unknown option $1 (see --help)" >&2
        exit 2
        ;;
    *)
        args+=("$1")
        shift
        ;;
    esac
done
[ ${#args[@]} -le 2 ] || { echo "$me: at most PORT and STORE (see --help)" >&2; exit 2; }
port=${args[0]:-4222}
store=${args[1]:-${TMPDIR:-/tmp}/zel-broker}
case $port in
'' | *[!0-9]*) echo "$me: PORT must be a number, not $port" >&2; exit 2 ;;
esac
server=$(command -v nats-server || true)
[ -n "$server" ] || [ ! -x /usr/sbin/nats-server ] || server=/usr/sbin/nats-server
[ -n "$server" ] || [ $configOnly = 1 ] ||
    { echo "$me: nats-server is not installed (apt-get install nats-server)" >&2; exit 2; }

# What a user who only reads needs, on any scene: the bucket streams' information and names, a
# consumer to watch each bucket (with its flow control, without which a large catch-up stalls),
# direct reads of single records, and replies in its inbox. The C client asks for its watchers'
# consumers on CONSUMER.CREATE.<stream> itself, with no further token.
readPublish='"$JS.API.STREAM.INFO.*", "$JS.API.STREAM.NAMES", "$JS.API.CONSUMER.CREATE.*",
                         "$JS.API.CONSUMER.CREATE.*.>", "$JS.API.CONSUMER.DELETE.*.>",
                         "$JS.API.DIRECT.GET.*.>", "$JS.FC.*.>"'
readSubscribe='"_INBOX.>"'

# The authorization block from the users file, on stdout; a bad line stops with its number.
authorization() {
    local file=$1 n=0 role user password rest
    [ -r "$file" ] || { echo "$me: cannot read the users file $file" >&2; return 2; }
    local -A seen=()
    local entries=""
    while IFS= read -r line || [ -n "$line" ]; do
        n=$((n + 1))
        line=${line%$'\r'}
        [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
        read -r role user password rest <<<"$line"
        if [ -n "${rest:-}" ] || [ -z "${password:-}" ]; then
            echo "$me: $file line $n: expected ROLE USER PASSWORD" >&2
            return 2
        fi
        if ! [[ $user =~ ^[A-Za-z0-9_-]{1,32}$ ]]; then
            echo "$me: $file line $n: a user name has 1 to 32 letters, digits, - or _" >&2
            return 2
        fi
        if [[ $password == *[\"\\]* ]]; then
            echo "$me: $file line $n: the password of $user holds a quote or a backslash" >&2
            return 2
        fi
        if [ -n "${seen[$user]:-}" ]; then
            echo "$me: $file line $n: $user is listed twice" >&2
            return 2
        fi
        seen[$user]=1
        case $role in
        admin)
            entries+="    {user: \"$user\", password: \"$password\"}"$'\n'
            ;;
        writer)
            entries+="    {user: \"$user\", password: \"$password\", permissions: {
      publish: { allow: [$readPublish,
                         \"\$KV.*.$user.>\"] }
      subscribe: { allow: [$readSubscribe] } } }"$'\n'
            ;;
        viewer)
            entries+="    {user: \"$user\", password: \"$password\", permissions: {
      publish: { allow: [$readPublish] }
      subscribe: { allow: [$readSubscribe] } } }"$'\n'
            ;;
        *)
            echo "$me: $file line $n: the role is admin, writer or viewer, not $role" >&2
            return 2
            ;;
        esac
        echo "$me: $role $user" >&2
    done <"$file"
    [ -n "$entries" ] || { echo "$me: $file lists no user" >&2; return 2; }
    printf 'authorization {\n  users = [\n%s  ]\n}\n' "$entries"
}

mkdir -p "$store"
config="$store/broker.conf"
auth=""
[ -z "$users" ] || auth=$(authorization "$users")
(
    umask 077
    cat >"$config.new" <<CONF
listen: 127.0.0.1:$port
max_payload: 8MB
websocket {
  listen: "127.0.0.1:$((port + 1))"
  no_tls: true
}
jetstream {
  store_dir: "$store"
}
$auth
CONF
)
mv -f "$config.new" "$config"
if [ $configOnly = 1 ]; then
    echo "$config"
    exit 0
fi
echo "$me: nats://127.0.0.1:$port and ws://127.0.0.1:$((port + 1)), JetStream storage in $store (Ctrl-C stops it)" >&2
exec "$server" -c "$config"
