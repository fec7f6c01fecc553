#!/usr/bin/env bash
# tools/broker.sh's store and listener, with --config-only (no server runs): the store is a private
# folder of the caller's (made 0700; a link, a folder of someone else's or one others may write
# into are refused), the configuration with every password is never written through a link, no
# listener beyond loopback goes without TLS and users, a users file others may read is refused, the
# WebSocket listener takes the pages' origins only, and a writer's asset share is a percentage.
#
#   broker_script_test.sh BROKER_SH
set -u
script=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
printf 'admin root pw-Secret1\nwriter alice pw-Secret2 scenes=lobby\n' >"$tmp/users"
chmod 600 "$tmp/users"

# run STORE [OPTIONS...]: the script's exit code; its stdout in $tmp/out, its stderr in $tmp/err.
run() {
    local store=$1
    shift
    bash "$script" --config-only --users "$tmp/users" "$@" 4222 "$store" >"$tmp/out" 2>"$tmp/err"
}
mode() { stat -c %a "$1"; }
# expect CODE WORDS NAME: the last run exited with CODE and said WORDS on stderr, no password.
expect() {
    local code=$1 words=$2 name=$3
    [ "$rc" = "$code" ] || fail "$name: exit $rc, not $code: $(cat "$tmp/err")"
    grep -qF -- "$words" "$tmp/err" || fail "$name: stderr lacks '$words': $(cat "$tmp/err")"
    ! grep -q pw-Secret "$tmp/out" "$tmp/err" || fail "$name: a password was printed"
}

# A new store, in a parent folder that does not exist yet: private, the configuration readable by
# its owner only, nothing else left in it.
run "$tmp/new/store"
rc=$?
[ $rc = 0 ] || fail "new store: exit $rc: $(cat "$tmp/err")"
[ "$(mode "$tmp/new/store")" = 700 ] || fail "new store: mode $(mode "$tmp/new/store")"
[ "$(mode "$tmp/new/store/broker.conf")" = 600 ] || fail "new store: configuration mode"
[ "$(ls -A "$tmp/new/store")" = broker.conf ] || fail "new store holds $(ls -A "$tmp/new/store")"
[ "$(cat "$tmp/out")" = "$tmp/new/store/broker.conf" ] || fail "new store: stdout $(cat "$tmp/out")"

# A store of an older version (0755) is closed; written again, a configuration planted as a link is
# replaced, not written through.
mkdir -m 755 "$tmp/old"
echo "the victim's file" >"$tmp/victim"
ln -s "$tmp/victim" "$tmp/old/broker.conf"
ln -s "$tmp/victim" "$tmp/old/broker.conf.new"
run "$tmp/old"
rc=$?
[ $rc = 0 ] || fail "old store: exit $rc: $(cat "$tmp/err")"
[ "$(mode "$tmp/old")" = 700 ] || fail "old store: mode $(mode "$tmp/old")"
[ "$(cat "$tmp/victim")" = "the victim's file" ] || fail "the configuration went through a link"
[ -f "$tmp/old/broker.conf" ] && [ ! -L "$tmp/old/broker.conf" ] || fail "broker.conf is still a link"

# Refused stores: nothing is written into any of them.
mkdir -m 700 "$tmp/real"
ln -s "$tmp/real" "$tmp/link"
run "$tmp/link"
rc=$?
expect 2 "symbolic link" "linked store"
[ -z "$(ls -A "$tmp/real")" ] || fail "linked store: written through the link"
mkdir -m 777 "$tmp/open"
run "$tmp/open"
rc=$?
expect 2 "written by others" "store others may write into"
[ -z "$(ls -A "$tmp/open")" ] || fail "open store: written"
touch "$tmp/file"
run "$tmp/file"
rc=$?
expect 2 "not a folder" "store that is a file"
if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1; then
    mkdir -m 700 "$tmp/theirs"
    chown nobody "$tmp/theirs"
    run "$tmp/theirs"
    rc=$?
    expect 2 "belongs to someone else" "someone else's store"
    [ -z "$(ls -A "$tmp/theirs")" ] || fail "someone else's store: written"
else
    echo "someone else's store: skipped (needs root to make a folder of another user)"
fi

# Listeners: loopback without TLS; beyond it only with a certificate, the WebSocket one included.
run "$tmp/net" --listen 0.0.0.0
rc=$?
expect 2 "needs --tls" "0.0.0.0 without TLS"
[ ! -e "$tmp/net" ] || fail "0.0.0.0 without TLS: the store was made"
run "$tmp/net" --listen "bad\"addr"
rc=$?
expect 2 "--listen" "a quote in the address"
run "$tmp/net" --listen 0.0.0.0 --tls "$tmp/missing.pem" "$tmp/missing.key"
rc=$?
expect 2 "cannot read" "missing certificate"
printf 'cert\n' >"$tmp/c.pem"
printf 'key\n' >"$tmp/k.pem"
run "$tmp/net" --listen 0.0.0.0 --tls "$tmp/c.pem" "$tmp/k.pem"
rc=$?
[ $rc = 0 ] || fail "TLS: exit $rc: $(cat "$tmp/err")"
conf=$(cat "$tmp/net/broker.conf" 2>/dev/null)
[ "$(grep -c "cert_file: \"$tmp/c.pem\"" <<<"$conf")" = 2 ] ||
    fail "TLS: not both listeners have the certificate: $conf"
! grep -q no_tls <<<"$conf" || fail "TLS: a listener without TLS: $conf"
run "$tmp/lo" --listen 127.0.0.2
rc=$?
[ $rc = 0 ] || fail "another loopback address: exit $rc: $(cat "$tmp/err")"

# Without users nothing listens beyond loopback, which only a 127.0.0.0/8 address written out, ::1
# and localhost are: a name that starts with 127 may resolve anywhere.
bare() {
    bash "$script" --config-only "$@" 4222 "$tmp/bare" >"$tmp/out" 2>"$tmp/err"
}
for listen in 127.example.org 127.0.0.256 0.0.0.0 10.1.2.3; do
    bare --listen "$listen" --tls "$tmp/c.pem" "$tmp/k.pem"
    rc=$?
    expect 2 "needs --users" "$listen with TLS and without users"
done
for listen in 127.0.0.1 127.1.2.3 ::1 localhost; do
    bare --listen "$listen"
    rc=$?
    [ $rc = 0 ] || fail "$listen without users: exit $rc: $(cat "$tmp/err")"
done

# The users file holds every password: one that others may read is refused, nothing written.
chmod 640 "$tmp/users"
run "$tmp/leaky"
rc=$?
expect 2 "others may read it" "users file readable by its group"
[ ! -e "$tmp/leaky" ] || fail "users file readable by its group: the store was made"
chmod 600 "$tmp/users"

# The WebSocket listener takes pages from tools/web.sh's origins and from those named; a bad origin
# is refused.
run "$tmp/origins" --origin https://viewer.example:8443 --origin http://[::1]:8081
rc=$?
[ $rc = 0 ] || fail "origins: exit $rc: $(cat "$tmp/err")"
grep -qF 'allowed_origins: ["http://127.0.0.1:8080", "http://localhost:8080", "https://viewer.example:8443", "http://[::1]:8081"]' \
    "$tmp/origins/broker.conf" || fail "origins: $(grep -F allowed_origins "$tmp/origins/broker.conf")"
for origin in 'http://evil"]' 'ftp://host' 'http://host/path' '*'; do
    run "$tmp/origins" --origin "$origin"
    rc=$?
    expect 2 "--origin takes" "origin $origin"
done

# A writer's share of an asset bucket: a percentage from 1 to 100.
for share in 1 100 050; do
    run "$tmp/shares" --asset-share "$share"
    rc=$?
    [ $rc = 0 ] || fail "asset share $share: exit $rc: $(cat "$tmp/err")"
done
for share in 0 101 1000 5x -1 ''; do
    run "$tmp/shares" --asset-share "$share"
    rc=$?
    expect 2 "--asset-share takes a percentage" "asset share '$share'"
done

# What the script writes is a configuration the server takes, for users files of every shape: an
# admin alone, writers and viewers of every scene and of some, a scene named twice, many users.
server=$(command -v nats-server || echo /usr/sbin/nats-server)
if [ -x "$server" ]; then
    many=""
    for i in $(seq 1 40); do many+="writer w$i pw-Secret$i scenes=s$((i % 7)),s$((i % 5))"$'\n'; done
    n=0
    for users in 'admin root pw-Secret1' \
        $'admin root pw-Secret1\nwriter alice pw-Secret2\nviewer vera pw-Secret3' \
        $'writer bob pw-Secret4 scenes=lobby,lobby,design\nviewer vic pw-Secret5 scenes=design' \
        "$many"; do
        n=$((n + 1))
        printf '%s\n' "$users" >"$tmp/users"
        run "$tmp/shape$n"
        rc=$?
        [ $rc = 0 ] || fail "users file $n: exit $rc: $(cat "$tmp/err")"
        "$server" -t -c "$tmp/shape$n/broker.conf" >"$tmp/check" 2>&1 ||
            fail "users file $n: the server refuses the configuration: $(cat "$tmp/check")"
    done
else
    echo "the server's check of the configurations: skipped (no nats-server)"
fi

[ $failures = 0 ] && echo "all broker.sh store and listener checks passed"
exit $((failures > 0))
