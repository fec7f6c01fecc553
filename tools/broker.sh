#!/usr/bin/env bash
# A broker for shared scenes: nats-server with JetStream, max_payload 1.1 MB (a model's chunk of
# 1 MiB and its headers) and its storage in a private folder, and a WebSocket listener for the web
# page on the next port. Runs in the foreground until Ctrl-C.
#   tools/broker.sh [--users FILE] [--listen ADDR] [--tls CERT KEY] [--origin URL]...
#                   [--asset-share PERCENT] [--config-only] [PORT] [STORE]
#                    defaults: 127.0.0.1, 4222, ${XDG_STATE_HOME:-~/.local/state}/zel-broker;
#                    WebSocket on PORT+1
# Then, in two other terminals:
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user alice
#   build/bin/zelhost --share nats://127.0.0.1:4222 --user bob
#
# --users FILE: only the users in FILE may connect, each in an account of its own with what its
# role may do. One user a line, "ROLE USER PASSWORD [scenes=NAME,...]"; blank lines and lines
# starting with # are skipped:
#   admin   root   s3cret                      everything; its first join makes each scene's buckets
#   writer  alice  pw-alice                    reads every scene, writes only its own records
#   writer  bob    pw-bob    scenes=lobby      reads and writes the scene lobby only
#   viewer  vera   pw-vera   scenes=lobby,x    reads the scenes lobby and x, writes nothing
# USER: letters, digits, - and _, at most 32 characters; a writer's USER is also its --user on
# zelhost. Scene names: the same, at most 64. PASSWORD: no blanks, quotes or backslashes. The file
# holds every password: only its owner may read it (chmod 600). The sites give theirs through
# ZEL_SHARE_USER and ZEL_SHARE_PASSWORD. No password is ever printed; the generated configuration
# (STORE/broker.conf, in a folder only its owner can enter) holds them. Every user but the admins
# gets an account of its own (see below), and the keeper (build/bin/zelkeeper, or ZEL_BROKER_KEEPER)
# runs beside the server.
# --listen ADDR: the address to listen on (both listeners). Beyond loopback (127.x.y.z, ::1,
# localhost) only with --users and --tls.
# --tls CERT KEY: TLS with this certificate (PEM, the chain after it) and key for every client,
# the WebSocket listener included: sites use tls://, the page wss://.
# --origin URL: a page served from URL (scheme://host[:port]) may use the WebSocket listener, beside
# http://127.0.0.1:8080 and http://localhost:8080 (tools/web.sh's); repeatable.
# --asset-share PERCENT: with --users, each writer may hold at most PERCENT (1 to 100, default 50)
# of a scene's asset bucket's limit, at least 64 MiB; the keeper deletes a writer's newest models
# past it.
# --config-only: writes STORE/broker.conf, prints its path and exits without starting the server.
set -euo pipefail
me=broker.sh
users=""
listen=127.0.0.1
cert=""
key=""
configOnly=0
assetShare=50
origins=("http://127.0.0.1:8080" "http://localhost:8080")
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
    --origin)
        [ $# -ge 2 ] || { echo "$me: --origin needs a URL" >&2; exit 2; }
        if ! [[ $2 =~ ^https?://[A-Za-z0-9.-]{1,253}(:[0-9]{1,5})?$ || $2 =~ ^https?://\[[0-9A-Fa-f:.]{2,45}\](:[0-9]{1,5})?$ ]]; then
            echo "$me: --origin takes scheme://host[:port] (http or https), not $2" >&2
            exit 2
        fi
        origins+=("$2")
        shift 2
        ;;
    --asset-share)
        [ $# -ge 2 ] || { echo "$me: --asset-share needs a percentage" >&2; exit 2; }
        if ! [[ $2 =~ ^[0-9]{1,3}$ ]] || ((10#$2 < 1 || 10#$2 > 100)); then
            echo "$me: --asset-share takes a percentage from 1 to 100, not $2" >&2
            exit 2
        fi
        assetShare=$((10#$2))
        shift 2
        ;;
    --config-only)
        configOnly=1
        shift
        ;;
    -h | --help)
        sed -n '2,36p' "$0" | sed 's/^# \{0,1\}//'
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
# Loopback: a 127.0.0.0/8 address written out, ::1 or localhost; any other name may resolve anywhere.
loopback=0
if [[ $listen =~ ^127\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$ ]] &&
    ((10#${BASH_REMATCH[1]} <= 255 && 10#${BASH_REMATCH[2]} <= 255 && 10#${BASH_REMATCH[3]} <= 255)); then
    loopback=1
elif [ "$listen" = ::1 ] || [ "$listen" = localhost ]; then
    loopback=1
fi
if [ $loopback = 0 ] && [ -z "$users" ]; then
    echo "$me: listening on $listen, beyond loopback, needs --users FILE: anyone who reaches it could change every scene" >&2
    exit 2
fi
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

# With a users file, every user but the admin has an account of its own; the streams live in an
# account of their own, zel-streams, that only the admins log into. A user account has no JetStream:
# it imports from zel-streams exactly what its user may do, under its own names, and nothing else
# reaches the streams. The broker sends the answer to a request wherever the request's reply
# subject says; in a user's account that is a subject of that account, where no stream listens, so
# no answer and no copy of a record can land under another user's key.
# For each scene a user may read (every scene without a list: * as the stream token), of its three
# streams:
# - stream information, ephemeral consumers (CONSUMER.CREATE.<stream> with no further token: no
#   name, so never a durable one; never a delete), single reads by direct get: as $JS.API.* in
#   zel-streams, imported as zel.API.* (the clients' JetStream API prefix; a user's own $JS.API is
#   the broker's, which answers that the account has no JetStream);
# - flow control answers, $JS.FC.<stream>.> (without them a large catch-up stalls);
# - writers only: its own keys, $KV.<bucket>.<USER>.>, also as zel.API.$KV.<bucket>.<USER>.> (where
#   the key-value clients publish when they use the prefix).
# Its inbox, _INBOX_<USER>.>, is exported back to it from zel-streams: the deliveries of its
# consumers. Its user's permissions allow publishing on these imported subjects only and
# subscribing to its own inbox only.
api=zel.API
streamsAccount=zel-streams
declare -A exportAccounts=()
exportOrder=()

# export KIND SUBJECT ACCOUNT: SUBJECT of zel-streams goes to ACCOUNT (merged, one export each).
export_() {
    local key="$1 $2"
    if [ -z "${exportAccounts[$key]:-}" ]; then
        exportOrder+=("$key")
        exportAccounts[$key]="\"$3\""
    elif [[ ${exportAccounts[$key]} != *"\"$3\""* ]]; then
        exportAccounts[$key]+=", \"$3\""
    fi
}

# The account of one writer or viewer, added to userBlocks; its exports noted.
userBlocks=""
userAccount() {
    local role=$1 user=$2 password=$3 scenes=$4 s b stream bucket account="user-$2" i block
    local -a tokens=() imports=() publish=()
    if [ -z "$scenes" ]; then
        tokens=('*')
    else
        IFS=, read -r -a tokens <<<"$scenes"
    fi
    # service FROM [TO]: FROM of zel-streams, imported as TO (default FROM), which its user may
    # publish on.
    service() {
        local from=$1 to=${2:-$1}
        export_ service "$from" "$account"
        imports+=("{service: {account: \"$streamsAccount\", subject: \"$from\"}, to: \"$to\"}")
        publish+=("\"$to\"")
    }
    local -A listed=()
    for s in "${tokens[@]}"; do
        # A scene named twice is imported once (the server refuses an import made twice).
        [ -z "${listed[$s]:-}" ] || continue
        listed[$s]=1
        for b in scene presence assets; do
            if [ "$s" = '*' ]; then stream='*'; bucket='*'; else stream=KV_zel-$b-$s; bucket=zel-$b-$s; fi
            service "\$JS.API.STREAM.INFO.$stream" "$api.STREAM.INFO.$stream"
            service "\$JS.API.CONSUMER.CREATE.$stream" "$api.CONSUMER.CREATE.$stream"
            service "\$JS.API.DIRECT.GET.$stream" "$api.DIRECT.GET.$stream"
            service "\$JS.API.DIRECT.GET.$stream.>" "$api.DIRECT.GET.$stream.>"
            service "\$JS.FC.$stream.>"
            if [ "$role" = writer ]; then
                service "\$KV.$bucket.$user.>"
                service "\$KV.$bucket.$user.>" "$api.\$KV.$bucket.$user.>"
            fi
            # Without a scene list, one token stands for all three buckets.
            [ "$s" != '*' ] || break
        done
    done
    export_ stream "_INBOX_$user.>" "$account"
    imports+=("{stream: {account: \"$streamsAccount\", subject: \"_INBOX_$user.>\"}}")
    block="  \"$account\": {"$'\n'"    users: ["$'\n'
    block+="      {user: \"$user\", password: \"$password\", permissions: {"$'\n'
    block+="        publish: { allow: [$(IFS=,; echo "${publish[*]}")] }"$'\n'
    block+="        subscribe: { allow: [\"_INBOX_$user.>\"] } } }"$'\n'"    ]"$'\n'
    block+="    imports: ["$'\n'
    for i in "${imports[@]}"; do block+="      $i"$'\n'; done
    block+="    ]"$'\n'"  }"$'\n'
    userBlocks+=$block
}

# The accounts block from the users file, on stdout; a bad line stops with its number.
accounts() {
    local file=$1 n=0 role user password rest more scenes
    [ -r "$file" ] && [ -f "$file" ] || { echo "$me: cannot read the users file $file" >&2; return 2; }
    local mode
    mode=$(stat -L -c %a -- "$file")
    if (((8#$mode & 8#077) != 0)); then
        echo "$me: the users file $file holds every password and others may read it (mode $mode): chmod 600 $file" >&2
        return 2
    fi
    local -A seen=()
    local admins=""
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
            admins+="      {user: \"$user\", password: \"$password\"}"$'\n'
            ;;
        writer | viewer)
            userAccount "$role" "$user" "$password" "$scenes"
            ;;
        *)
            echo "$me: $file line $n: the role is admin, writer or viewer, not $role" >&2
            return 2
            ;;
        esac
        echo "$me: $role $user${scenes:+ (scenes ${scenes//,/, })}" >&2
    done <"$file"
    [ -n "$admins$userBlocks" ] || { echo "$me: $file lists no user" >&2; return 2; }
    # The keeper: lists and deletes consumers; follows the asset buckets' record sizes through
    # consumers of its own (stream information, ephemeral consumers, flow control) and puts delete
    # markers on their keys; nothing else. A wildcard is a whole token: every stream's, every
    # bucket's, of which it uses the asset buckets' only.
    local keeperMay='"$JS.API.STREAM.NAMES", "$JS.API.CONSUMER.LIST.*", "$JS.API.CONSUMER.DELETE.*.*"'
    keeperMay+=', "$JS.API.STREAM.INFO.*", "$JS.API.CONSUMER.CREATE.*", "$JS.FC.*.>", "$KV.*.>"'
    admins+="      {user: \"$keeperUser\", password: \"$keeperPassword\", permissions: {"$'\n'
    admins+="        publish: { allow: [$keeperMay] }"$'\n'
    admins+="        subscribe: { allow: [\"_KEEPER.>\"] } } }"$'\n'
    printf 'accounts {\n  "%s": {\n    jetstream: enabled\n    users: [\n%s    ]\n    exports: [\n' \
        "$streamsAccount" "$admins"
    local key
    for key in "${exportOrder[@]}"; do
        printf '      {%s: "%s", accounts: [%s]}\n' "${key%% *}" "${key#* }" "${exportAccounts[$key]}"
    done
    printf '    ]\n  }\n%s}\n' "$userBlocks"
}

# The keeper (zelkeeper, built with the project) removes the consumers nobody listens to, whatever
# idle threshold their makers asked for, and a user's consumers past its share. It logs in as a user
# of the streams' account with a password made for this start, which only the configuration holds.
keeperUser=zel.keeper
keeperPassword=""
keeper=${ZEL_BROKER_KEEPER:-$(dirname -- "$0")/../build/bin/zelkeeper}
auth=""
if [ -n "$users" ]; then
    keeperPassword=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
    auth=$(accounts "$users")
fi
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
# The buckets' size limits are caps, not reservations: without max_file_store the broker reserves
# each asset bucket's whole limit against three quarters of the disk it found free, and refuses a
# new scene once a few are made. The disk itself is the store's bound.
# Written to a new file of a name no one can guess (mktemp: created, never opened through a link),
# then renamed over the old one.
next=$(mktemp -- "$store/broker.conf.XXXXXXXX")
trap 'rm -f -- "$next"' EXIT
allowed=""
for o in "${origins[@]}"; do allowed+="${allowed:+, }\"$o\""; done
cat >"$next" <<CONF
host: "$listen"
port: $port
max_payload: 1126400
$tls
websocket {
  host: "$listen"
  port: $((port + 1))
$wsTls
  allowed_origins: [$allowed]
  # permessage-deflate: models travel deflated already, yet with it a page's first look of a large
  # one took 0.77x the time on a quiet machine (the transfer 0.58x).
  compression: true
}
jetstream {
  store_dir: "$store"
  max_file_store: 1PB
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
if [ -n "$users" ]; then
    if [ -x "$keeper" ]; then
        # It reaches the server it was started beside; it ends when the server (its parent once
        # this script has become the server) ends.
        case $listen in 0.0.0.0 | :: | '[::]') near=127.0.0.1 ;; *) near=$listen ;; esac
        [[ $near != *:* ]] || near="[$near]"
        ZEL_KEEPER_USER=$keeperUser ZEL_KEEPER_PASSWORD=$keeperPassword ZEL_KEEPER_ASSET_SHARE=$assetShare "$keeper" "$scheme://$near:$port" &
    else
        echo "$me: no keeper at $keeper (build the project, or name it in ZEL_BROKER_KEEPER): consumers nobody listens to stay as long as their makers asked" >&2
    fi
fi
exec "$server" -c "$config"
