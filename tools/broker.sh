#!/usr/bin/env bash
# A broker for shared scenes: nats-server with JetStream, max_payload 8 MB and its storage in a
# private folder, and a WebSocket listener for the web page on the next port. Runs in the
# foreground until Ctrl-C.
#   tools/broker.sh [--users FILE] [--listen ADDR] [--tls CERT KEY] [--config-only] [PORT] [STORE]
#                    defaults: 127.0.0.1, 4222, ${XDG_STATE_HOME:-~/.local/state}/zel-broker;
#                    WebSocket on PORT+1
# Then, in two other terminals:
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user alice
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user bob
#
# --users FILE: only the users in FILE may connect, each with the permissions of its role. One user
# a line, "ROLE USER PASSWORD [scenes=NAME,...]"; blank lines and lines starting with # are skipped:
#   admin   root   s3cret                      everything; its first join makes each scene's buckets
#   writer  alice  pw-alice                    reads every scene, writes only its own records
#   writer  bob    pw-bob    scenes=lobby      reads and writes the scene lobby only
#   viewer  vera   pw-vera   scenes=lobby,x    reads the scenes lobby and x, writes nothing
# USER: letters, digits, - and _, at most 32 characters; a writer's USER is also its --user on
# zelhost. Scene names: the same, at most 64. PASSWORD: no blanks, quotes or backslashes. The sites
# give theirs through ZEL_SHARE_USER and ZEL_SHARE_PASSWORD. No password is ever printed; the
# generated configuration (STORE/broker.conf, in a folder only its owner can enter) holds them.
# --listen ADDR: the address to listen on (both listeners). Beyond loopback only with --tls.
# --tls CERT KEY: TLS with this certificate (PEM, the chain after it) and key for every client,
# the WebSocket listener included: sites use tls://, the page wss://.
# --config-only: writes STORE/broker.conf, prints its path and exits without starting the server.
set -euo pipefail
me=broker.sh
users=""
listen=127.0.0.1
cert=""
key=""
configOnly=0
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --users)
        [ $# -ge 2 ] || { echo "$me: --users needs a file" >&2; exit 2; }
        users=$2
        shift 2
        ;;
    --listen)
        [ $# -ge 2 ] || { echo "$me: --listen needs an address" >&2; exit 2; }
        listen=$2
        shift 2
        ;;
    --tls)
        [ $# -ge 3 ] || { echo "$me: --tls needs a certificate file and a key file" >&2; exit 2; }
        cert=$2
        key=$3
        shift 3
        ;;
    --config-only)
        configOnly=1
        shift
        ;;
    -h | --help)
        sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'
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
store=${args[1]:-${XDG_STATE_HOME:-${HOME:?}/.local/state}/zel-broker}
case $port in
'' | *[!0-9]*) echo "$me: PORT must be a number, not $port" >&2; exit 2 ;;
esac
[ "$port" -ge 1 ] && [ "$port" -le 65534 ] || { echo "$me: PORT must be 1 to 65534" >&2; exit 2; }

# Paths and addresses go into the configuration between quotes: nothing that would end them.
quotable() {
    [[ $2 != *[\"\\$'\n'$'\r']* && -n $2 ]] ||
        { echo "$me: the $1 must not be empty or hold a quote, backslash or line break" >&2; exit 2; }
}
quotable "store folder" "$store"
if ! [[ $listen =~ ^[A-Za-z0-9.:-]{1,253}$ ]]; then
    echo "$me: --listen takes a host name or an IP address, not $listen" >&2
    exit 2
fi
case $listen in
127.* | ::1 | localhost) loopback=1 ;;
*) loopback=0 ;;
esac
if [ -n "$cert" ]; then
    for f in "$cert" "$key"; do
        quotable "certificate or key file name" "$f"
        [ -f "$f" ] && [ -r "$f" ] || { echo "$me: cannot read $f" >&2; exit 2; }
    done
elif [ $loopback = 0 ]; then
    echo "$me: listening on $listen, beyond loopback, needs --tls CERT KEY: passwords would cross the network in clear" >&2
    exit 2
fi

server=$(command -v nats-server || true)
[ -n "$server" ] || [ ! -x /usr/sbin/nats-server ] || server=/usr/sbin/nats-server
[ -n "$server" ] || [ $configOnly = 1 ] ||
    { echo "$me: nats-server is not installed (apt-get install nats-server)" >&2; exit 2; }

# The store holds every password (in broker.conf) and every scene: a folder of the caller's own that
# no one else may enter, never reached through a link.
privateStore() {
    if [ -L "$store" ]; then
        echo "$me: the store $store is a symbolic link; name the folder itself" >&2
        exit 2
    fi
    if [ ! -e "$store" ]; then
        mkdir -p -- "$(dirname -- "$store")"
        # No -p: if someone made it meanwhile, this fails instead of taking theirs.
        (umask 077 && mkdir -- "$store") || { echo "$me: cannot make the store $store" >&2; exit 2; }
    fi
    if [ ! -d "$store" ] || [ -L "$store" ]; then
        echo "$me: the store $store is not a folder" >&2
        exit 2
    fi
    if [ ! -O "$store" ]; then
        echo "$me: the store $store belongs to someone else; name a folder of your own" >&2
        exit 2
    fi
    local mode
    mode=$(stat -c %a -- "$store")
    # Writable by others: what is in it may be theirs. Only readable (made by an older version of
    # this script): closed now, before any password is written.
    if (((8#$mode & 8#022) != 0)); then
        echo "$me: the store $store can be written by others (mode $mode); use a folder only you can enter" >&2
        exit 2
    fi
    chmod 0700 -- "$store"
}

# Each user's permissions, from its role and its scenes. A scene list gives every subject with the
# scene's stream names; no list gives the stream token as *, any scene (the broker serves shared
# scenes only). Every user but the admin:
# - subscribes only to its own inbox prefix, _INBOX_<USER> (never another's replies or deliveries);
# - reads: the JetStream account and stream information, an ephemeral consumer to watch each
#   bucket (CONSUMER.CREATE.<stream> with no further token: no durable consumer, no consumer name),
#   its flow control (without which a large catch-up stalls), single reads by direct get;
#   never a consumer delete: an idle ephemeral consumer goes by itself;
# - writes (writers only): its own records, presence and models, $KV.<bucket>.<USER>.>.
permissions() {
    local role=$1 user=$2 scenes=$3 pub='"$JS.API.INFO", "$JS.API.STREAM.NAMES"' s b stream bucket
    local -a tokens=()
    if [ -z "$scenes" ]; then
        tokens=('*')
    else
        IFS=, read -r -a tokens <<<"$scenes"
    fi
    for s in "${tokens[@]}"; do
        for b in scene presence assets; do
            if [ "$s" = '*' ]; then stream='*'; bucket='*'; else stream=KV_zel-$b-$s; bucket=zel-$b-$s; fi
            pub+=", \"\$JS.API.STREAM.INFO.$stream\", \"\$JS.API.CONSUMER.CREATE.$stream\""
            pub+=", \"\$JS.API.DIRECT.GET.$stream.>\", \"\$JS.FC.$stream.>\""
            [ "$role" != writer ] || pub+=", \"\$KV.$bucket.$user.>\""
            # Without a scene list, one token stands for all three buckets.
            [ "$s" != '*' ] || break
        done
    done
    printf 'permissions: {\n      publish: { allow: [%s] }\n      subscribe: { allow: ["_INBOX_%s.>"] } }' \
        "$pub" "$user"
}

# The authorization block from the users file, on stdout; a bad line stops with its number.
authorization() {
    local file=$1 n=0 role user password rest more scenes
    [ -r "$file" ] || { echo "$me: cannot read the users file $file" >&2; return 2; }
    local -A seen=()
    local entries=""
    while IFS= read -r line || [ -n "$line" ]; do
        n=$((n + 1))
        line=${line%$'\r'}
        [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
        rest="" more="" scenes=""
        read -r role user password rest more <<<"$line"
        if [ -n "${more:-}" ] || [ -z "${password:-}" ] || { [ -n "$rest" ] && [[ $rest != scenes=* ]]; }; then
            echo "$me: $file line $n: expected ROLE USER PASSWORD [scenes=NAME,...]" >&2
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
        if [ -n "$rest" ]; then
            scenes=${rest#scenes=}
            if ! [[ $scenes =~ ^[A-Za-z0-9_-]{1,64}(,[A-Za-z0-9_-]{1,64})*$ ]]; then
                echo "$me: $file line $n: scenes= takes scene names (1 to 64 letters, digits, - or _) separated by commas" >&2
                return 2
            fi
            if [ "$role" = admin ]; then
                echo "$me: $file line $n: an admin reaches every scene; scenes= is for writers and viewers" >&2
                return 2
            fi
        fi
        case $role in
        admin)
            entries+="    {user: \"$user\", password: \"$password\"}"$'\n'
            ;;
        writer | viewer)
            entries+="    {user: \"$user\", password: \"$password\", $(permissions "$role" "$user" "$scenes")}"$'\n'
            ;;
        *)
            echo "$me: $file line $n: the role is admin, writer or viewer, not $role" >&2
            return 2
            ;;
        esac
        echo "$me: $role $user${scenes:+ (scenes ${scenes//,/, })}" >&2
    done <"$file"
    [ -n "$entries" ] || { echo "$me: $file lists no user" >&2; return 2; }
    printf 'authorization {\n  users = [\n%s  ]\n}\n' "$entries"
}

auth=""
[ -z "$users" ] || auth=$(authorization "$users")
privateStore
# Absolute: the server resolves a relative store_dir against its own working folder.
store=$(cd -- "$store" && pwd)
quotable "store folder" "$store"
config="$store/broker.conf"
tls="" wsTls="  no_tls: true" scheme=nats wsScheme=ws
if [ -n "$cert" ]; then
    # Absolute: the server resolves paths against its own working folder.
    cert=$(realpath -- "$cert") key=$(realpath -- "$key")
    quotable "certificate or key file name" "$cert$key"
    tls="tls {
  cert_file: \"$cert\"
  key_file: \"$key\"
  timeout: 5
}"
    wsTls="  tls {
    cert_file: \"$cert\"
    key_file: \"$key\"
  }"
    scheme=tls wsScheme=wss
fi
# Written to a new file of a name no one can guess (mktemp: created, never opened through a link),
# then renamed over the old one.
next=$(mktemp -- "$store/broker.conf.XXXXXXXX")
trap 'rm -f -- "$next"' EXIT
cat >"$next" <<CONF
host: "$listen"
port: $port
max_payload: 8MB
$tls
websocket {
  host: "$listen"
  port: $((port + 1))
$wsTls
}
jetstream {
  store_dir: "$store"
}
$auth
CONF
mv -f -- "$next" "$config"
trap - EXIT
if [ $configOnly = 1 ]; then
    echo "$config"
    exit 0
fi
echo "$me: $scheme://$listen:$port and $wsScheme://$listen:$((port + 1)), JetStream storage in $store (Ctrl-C stops it)" >&2
exec "$server" -c "$config"
