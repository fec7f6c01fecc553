#!/usr/bin/env bash
# tools/build.sh (with tools/install-deps.sh beside it) as root and as a user who is not: only the
# package installation goes through sudo, it is announced on stderr before sudo asks, nothing is
# installed when nothing is missing, and without sudo the user is told what to run as root. Runs a copy of the script against stub
# commands (dpkg-query, id, sudo, apt-get, cmake) in a private PATH; nothing is installed or built.
#
#   build_script_test.sh BUILD_SH
set -u
script=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

mkdir -p "$tmp/tree/tools" "$tmp/bin"
cp "$script" "$tmp/tree/tools/build.sh"
cp "$(dirname "$script")/install-deps.sh" "$tmp/tree/tools/install-deps.sh"
printf '# needed\npresent-pkg\nmissing-pkg\n' >"$tmp/tree/run-deps.txt"
printf '# tests\ntest-pkg\n' >"$tmp/tree/ci-deps.txt"
for tool in bash grep sed basename dirname nproc mkdir cat env; do
    ln -s "$(command -v "$tool")" "$tmp/bin/$tool"
done
log=$tmp/log
cat >"$tmp/bin/dpkg-query" <<EOF
#!$(command -v bash)
# Every package counts as installed except those named in \$STUB_MISSING; asked for what the
# installed packages provide, one installed package provides \$STUB_PROVIDES.
case "\$*" in *Provides*) echo "install ok installed|\${STUB_PROVIDES:-}"; exit 0 ;; esac
for a; do p=\$a; done
case " \${STUB_MISSING:-} " in *" \$p "*) exit 1 ;; esac
echo "install ok installed"
EOF
cat >"$tmp/bin/id" <<EOF
#!$(command -v bash)
case "\$1" in -u) echo "\${STUB_UID:-1000}" ;; -un) echo tester ;; esac
EOF
cat >"$tmp/bin/sudo" <<EOF
#!$(command -v bash)
echo "sudo asks for a password" >&2
echo "sudo \$*" >>"$log"
EOF
cat >"$tmp/bin/apt-get" <<EOF
#!$(command -v bash)
echo "apt-get \$*" >>"$log"
EOF
cat >"$tmp/bin/cmake" <<EOF
#!$(command -v bash)
echo "cmake as \${STUB_UID:-1000} \$*" >>"$log"
EOF
chmod +x "$tmp/bin/"*

# run UID MISSING [no-sudo|product]: the script's exit code; its stderr in $tmp/err, the commands in $log.
run() {
    : >"$log"
    if [ "${3:-}" = no-sudo ]; then
        mv "$tmp/bin/sudo" "$tmp/sudo.off"
    fi
    local args=()
    [ "${3:-}" = product ] && args=(--product)
    STUB_UID=$1 STUB_MISSING=$2 PATH=$tmp/bin ZEL_BUILD_DIR=$tmp/build \
        bash "$tmp/tree/tools/build.sh" "${args[@]}" >"$tmp/out" 2>"$tmp/err"
    local rc=$?
    [ -f "$tmp/sudo.off" ] && mv "$tmp/sudo.off" "$tmp/bin/sudo"
    return $rc
}

# A user who is not root, one package missing: announced, then sudo for apt-get only, then the build
# as the user.
run 1000 missing-pkg || fail "non-root with a missing package: exit $?: $(cat "$tmp/err")"
grep -q "missing: missing-pkg" "$tmp/err" || fail "the missing package is not named: $(cat "$tmp/err")"
announce=$(grep -n "sudo apt-get" "$tmp/err" | head -n 1 | cut -d: -f1)
asked=$(grep -n "sudo asks" "$tmp/err" | head -n 1 | cut -d: -f1)
[ -n "$announce" ] && [ -n "$asked" ] && [ "$announce" -lt "$asked" ] ||
    fail "sudo is not announced before it asks: $(cat "$tmp/err")"
grep -Eq "^sudo (env [^ ]+ )?apt-get .*install .*missing-pkg" "$log" ||
    fail "no sudo apt-get install: $(cat "$log")"
grep -Ev "^sudo (env [^ ]+ )?apt-get" "$log" | grep -q "^sudo" && fail "sudo ran something else: $(cat "$log")"
grep -q "^apt-get" "$log" && fail "apt-get ran without sudo: $(cat "$log")"
grep -q "present-pkg" "$log" && fail "an installed package is installed again: $(cat "$log")"
grep -q "^cmake as 1000" "$log" || fail "the build did not run as the user: $(cat "$log")"
[ "$(cat "$tmp/out")" = "$tmp/build" ] || fail "the build folder is not the last line: $(cat "$tmp/out")"

# Everything installed: no sudo, no apt-get, no word about installing.
run 1000 "" || fail "non-root with everything installed: exit $?"
grep -q -e sudo -e apt-get "$log" && fail "installed everything, still ran: $(cat "$log")"
grep -q -i -e sudo -e install "$tmp/err" && fail "installed everything, still said: $(cat "$tmp/err")"
grep -q "^cmake" "$log" || fail "no build with everything installed"

# No sudo on the machine: what to run as root, and no build.
run 1000 missing-pkg no-sudo && fail "without sudo the script succeeded"
grep -q "as root, run: apt-get install .*missing-pkg" "$tmp/err" ||
    fail "without sudo, no advice: $(cat "$tmp/err")"
grep -q "^cmake" "$log" && fail "built without the packages"

# A package that an installed one provides (NodeSource's nodejs provides npm and conflicts with
# Debian's): nothing to install.
STUB_PROVIDES="nodejs-dev, missing-pkg (= 9.0)" run 1000 missing-pkg || fail "a provided package: exit $?"
grep -q -e sudo -e apt-get "$log" && fail "a provided package was installed: $(cat "$log")"

# Root: apt-get directly, no sudo.
run 0 missing-pkg || fail "root with a missing package: exit $?"
grep -q "^apt-get .*install .*missing-pkg" "$log" || fail "root did not install: $(cat "$log")"
grep -q "^sudo" "$log" && fail "root used sudo: $(cat "$log")"

# The run's build installs what running needs, not the tests' packages, and builds the product only.
run 0 "missing-pkg test-pkg" product || fail "product build: exit $?"
grep -q "^apt-get .*install .*missing-pkg" "$log" || fail "the product's package not installed: $(cat "$log")"
grep -q "test-pkg" "$log" && fail "the product build installed a test package: $(cat "$log")"
grep -q "^cmake as .*--target zelhost" "$log" || fail "the product build built more than the product: $(cat "$log")"
run 0 "missing-pkg test-pkg" || fail "full build: exit $?"
grep -q "^apt-get .*install .*missing-pkg test-pkg" "$log" || fail "the full build missed a list: $(cat "$log")"

if [ "$failures" -gt 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "build.sh: every case passed"
