#!/usr/bin/env bash
# tools/apt-get-waiting against a stand-in apt-get: a lock held by another program is waited for
# with one message; any other failure, or a lock held past the limit, fails at once with apt-get's
# own message and status.
set -uo pipefail
tool="$(dirname "$0")/../tools/apt-get-waiting"
stub="$(mktemp -d)"
trap 'rm -rf "$stub"' EXIT
failures=0
check() { # what, condition...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# The stand-in fails while $stub/held has lines left (one taken per call), then does $stub/then.
cat >"$stub/apt-get" <<'STUB'
#!/usr/bin/env bash
dir="$(dirname "$0")"
echo "$*" >>"$dir/calls"
if [[ -s "$dir/held" ]]; then
    sed -i 1d "$dir/held"
    echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (unattended-upgr)" >&2
    echo "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?" >&2
    exit 100
fi
eval "$(cat "$dir/then")"
STUB
chmod +x "$stub/apt-get"
run() { # lock-held-calls then-command
    rm -f "$stub/calls"
    yes | head -n "$1" >"$stub/held"
    echo "$2" >"$stub/then"
    PATH="$stub:$PATH" "$tool" install -y something >"$stub/out" 2>"$stub/err"
}

run 2 'echo installed; exit 0'
status=$?
check "held twice: succeeds ($status)" test "$status" -eq 0
check "held twice: apt-get called three times" test "$(wc -l <"$stub/calls")" -eq 3
check "held twice: says once whom it waits for" \
    test "$(grep -c 'package manager is busy (/var/lib/dpkg/lock-frontend. It is held by process 4242 (unattended-upgr))' "$stub/err")" -eq 1
check "held twice: apt-get's output passes" grep -q installed "$stub/out"

run 0 'echo "E: Unable to locate package something" >&2; exit 100'
status=$?
check "another failure: its status at once ($status)" test "$status" -eq 100
check "another failure: apt-get called once" test "$(wc -l <"$stub/calls")" -eq 1
check "another failure: apt-get's message" grep -q 'Unable to locate package' "$stub/err"

PITCHWARDEN_APT_WAIT=1 run 100 'exit 0'
status=$?
check "held past the limit: fails with apt-get's status ($status)" test "$status" -eq 100
check "held past the limit: apt-get's message" grep -q 'Could not get lock' "$stub/err"

echo "$((failures == 0 ? 1 : 0)) passed, $((failures ? 1 : 0)) failed"
exit $((failures ? 1 : 0))
