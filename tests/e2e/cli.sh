#!/usr/bin/env bash
# Command-line handling of the real binary: usage errors, an unknown switch,
# bad line settings and a serial device that does not exist. Only quick cases: nothing here
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
check terminal-without-terminal 1 "Error: /t needs a terminal" -- /t
long_name=$(printf 'n%.0s' $(seq 300))
check file-name-too-long 1 "Error: file name longer than 259 characters" -- /s "$long_name"

# Line settings that cannot be: refused before the port is opened.
check baud-word 1 "Error: ZMODEM_BAUD=fast is not a line speed" ZMODEM_BAUD=fast -- /r
check baud-zero 1 "Error: ZMODEM_BAUD=0 is not a line speed" ZMODEM_BAUD=0 -- /r
check baud-not-in-termios 1 "Error: ZMODEM_BAUD=12345 is not a line speed" ZMODEM_BAUD=12345 -- /s file
check dtr-word 1 "Error: ZMODEM_DTR=yes must be on or off" ZMODEM_DTR=yes -- /r
check rts-word 1 "Error: ZMODEM_RTS=1 must be on or off" ZMODEM_RTS=1 -- /s file
check window-word 1 "Error: ZMODEM_WINDOW=big must be 0 or a number of bytes" ZMODEM_WINDOW=big -- /s file
check window-below-a-block 1 "Error: ZMODEM_WINDOW=512 must be 0 or a number of bytes" ZMODEM_WINDOW=512 -- /s file

# A device that does not exist, or is no terminal: the run ends at once with
# the failed step (in the program's Win32 wording) and the ports to choose from.
check port-unknown-prefix 1 "Error: ZMODEM_PORT=xyz:1 is not a line this program opens" ZMODEM_PORT=xyz:1 -- /r
check port-not-a-number 1 "Error: ZMODEM_PORT=tcp:localhost:http is not a line" ZMODEM_PORT=tcp:localhost:http -- /r
check port-no-host 2 "Cannot find host nosuchhost.invalid" ZMODEM_PORT=tcp:nosuchhost.invalid:23 -- /r
check port-refused 2 "Cannot connect to tcp:127.0.0.1:1: Connection refused." ZMODEM_PORT=tcp:127.0.0.1:1 -- /r
check missing-port 2 "CreateFile failed with error 2." ZMODEM_BAUD=57600 ZMODEM_DTR=off -- /r
check missing-port-list 2 "Choose one with the environment variable ZMODEM_PORT." -- /s file
check no-terminal 2 "GetCommState failed with error 25." ZMODEM_PORT=/dev/null -- /r

echo "$passed passed, $failed failed"
if ((failed != 0)); then
    E2E_FAILED=1
    exit 1
fi
