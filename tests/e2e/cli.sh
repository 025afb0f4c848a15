#!/usr/bin/env bash
# Command-line handling of the real binary: usage errors, an unknown switch
# and a serial device that does not exist. Only quick cases: nothing here
# waits on a line.
#
#   cli.sh ZMODEM_BINARY

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init "${1:-}"

# check NAME WANT_STATUS TEXT [ENV=VALUE...] -- ARGS...: runs the program with
# no serial device reachable, then checks its exit status and that it printed
# TEXT.
check() {
    local name=$1 want=$2 text=$3
    shift 3
    local -a env=()
    while [[ $# -gt 0 && "$1" != -- ]]; do env+=("$1"); shift; done
    shift
    local dir out
    dir=$(case_dir "cli-$name")
    out="$dir/zmodem.out"
    local rc=0
    (cd "$dir" && env ZMODEM_PORT=/nonexistent "${env[@]}" timeout 20 "$ZMODEM_BIN" "$@") >"$out" 2>&1 </dev/null || rc=$?
    echo "$rc" >"$out.rc"
    local ok=0
    expect_status "$out" "$want" "zmodem $*" || ok=1
    expect_text "$out" "Zmodem program..." "zmodem $*" || ok=1
    expect_text "$out" "$text" "zmodem $*" || ok=1
    if ((ok == 0)); then
        echo "PASS $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        sed 's/^/    | /' "$out"
        failed=$((failed + 1))
    fi
}

passed=0
failed=0

check no-arguments 1 "Usage: zmodem /r /s [filename]" --
check too-many-arguments 1 "Usage: zmodem /r /s [filename]" -- /r one two
check too-many-files 1 "Error: more than 255 files to send" -- /s $(seq 256)
check send-without-file 1 "Error: send requires filename" -- /s
check unrecognized-switch 0 "Unrecognized argument" -- /x
check unrecognized-word 0 "Unrecognized argument" -- receive
long_name=$(printf 'n%.0s' $(seq 300))
check file-name-too-long 1 "Error: file name longer than 259 characters" -- /s "$long_name"

# A device that does not exist: the open fails with ENOENT, reported in the
# program's Win32 wording. The program then goes on trying the closed line
# until its time-outs run out (tens of seconds), so it is stopped once the
# message is there (or checked when it has ended by itself).
zmodem_in() {
    cd "$1" || exit 1
    ZMODEM_PORT=/nonexistent exec timeout "$E2E_TRANSFER_TIMEOUT" "$ZMODEM_BIN" /s file </dev/null
}
missing_port() {
    local dir out
    dir=$(case_dir cli-missing-port)
    out="$dir/zmodem.out"
    echo payload >"$dir/file"
    watch_start "$out" zmodem_in "$dir"
    watch_for "*CreateFile failed with error 2.*"
    watch_close
    kill "$WATCH_PID" 2>/dev/null
    wait "$WATCH_PID" 2>/dev/null
    if grep -aqF "CreateFile failed with error 2." "$out" && ! grep -aqF "successfully reconfigured" "$out"; then
        echo "PASS missing-port"
        passed=$((passed + 1))
    else
        echo "FAIL missing-port: no 'CreateFile failed with error 2.'"
        head -n 5 "$out" | sed 's/^/    | /'
        failed=$((failed + 1))
    fi
}
missing_port

echo "$passed passed, $failed failed"
if ((failed != 0)); then
    E2E_FAILED=1
    exit 1
fi
