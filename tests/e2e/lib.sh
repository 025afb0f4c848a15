# Shared helpers of the end-to-end tests. Source it from a test script:
#
#   . "$(dirname "$0")/lib.sh"
#   e2e_init "$@"            # first argument: path of the zmodem binary
#
# Each case runs in a fresh directory under one temporary root, joined to its
# peer by a virtual null-modem cable: a pair of pseudo-terminals bridged by
# socat, whose ends are the links CASE/a and CASE/b. Every socat started here
# is stopped on exit; the temporary root is removed unless a case failed or
# E2E_KEEP=1 is set. A script that finds a failure sets E2E_FAILED=1.
#
# shellcheck shell=bash

set -u
set -o pipefail

# Seconds one transfer may take before `timeout` ends it.
E2E_TRANSFER_TIMEOUT=${E2E_TRANSFER_TIMEOUT:-120}
# Cases run at the same time; transfers mostly wait on the line, so a few at
# once suit a 2-core machine.
E2E_JOBS=${E2E_JOBS:-4}

E2E_ROOT=""
E2E_CABLE_PIDS=()
E2E_FAILED=0
export E2E_FAILED

# e2e_init ZMODEM_BINARY: checks the tools, makes the temporary root and sets
# the exit trap.
e2e_init() {
    ZMODEM_BIN=${1:-${ZMODEM_BIN:-}}
    if [[ -z "$ZMODEM_BIN" || ! -x "$ZMODEM_BIN" ]]; then
        echo "usage: $0 PATH_TO_ZMODEM_BINARY" >&2
        exit 2
    fi
    ZMODEM_BIN=$(cd "$(dirname "$ZMODEM_BIN")" && pwd)/$(basename "$ZMODEM_BIN")
    export ZMODEM_BIN
    local tool
    for tool in socat sz rz cmp timeout; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "missing tool: $tool (install socat and lrzsz); skipping" >&2
            exit 77
        fi
    done
    E2E_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/zmodem-e2e.XXXXXX")
    trap e2e_cleanup EXIT
    trap 'exit 130' INT TERM
}

e2e_cleanup() {
    local status=$?
    local pid
    # Background cases may still hold cables; stop them first.
    for pid in $(jobs -p); do
        kill "$pid" 2>/dev/null
    done
    for pid in "${E2E_CABLE_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    if [[ -n "$E2E_ROOT" && -d "$E2E_ROOT" ]]; then
        local pidfile
        for pidfile in "$E2E_ROOT"/*/cable.pid; do
            [[ -f "$pidfile" ]] && kill "$(cat "$pidfile")" 2>/dev/null
        done
        if [[ $status -ne 0 || $E2E_FAILED -ne 0 || "${E2E_KEEP:-0}" == 1 ]]; then
            echo "work files kept in $E2E_ROOT"
        else
            rm -rf "$E2E_ROOT"
        fi
    fi
    wait 2>/dev/null
    exit "$status"
}

# case_dir NAME: makes and prints a fresh directory for one case.
case_dir() {
    local dir="$E2E_ROOT/$1"
    rm -rf "$dir"
    mkdir -p "$dir"
    echo "$dir"
}

# ---- waiting for another process ---------------------------------------
# A process that must be ready before another starts says so on its output:
# watch_start runs it with its standard output and error on a pipe, and
# watch_for reads that pipe line by line until the line that says so. Nothing
# waits on a clock: a watched process that ends without the line ends the
# wait. One watch at a time per shell.

# watch_start LOG COMMAND...: starts COMMAND (a program or a function) in the
# background, its output on a pipe read by this shell. Sets WATCH_PID (the
# background process), WATCH_FD (the pipe) and WATCH_LOG.
watch_start() {
    WATCH_LOG=$1
    shift
    local fifo
    fifo=$(mktemp -u "${TMPDIR:-/tmp}/zmodem-watch.XXXXXX")
    mkfifo -m 600 "$fifo" || return 1
    "$@" >"$fifo" 2>&1 &
    WATCH_PID=$!
    # Both ends are open once this returns, so the name can go.
    exec {WATCH_FD}<"$fifo"
    rm -f "$fifo"
}

# watch_for PATTERN [END]: copies the watched output to WATCH_LOG line by line
# (lines end in END, a newline by default) until a line matches the glob
# PATTERN (status 0) or the command has closed its output without one (1).
watch_for() {
    local line
    while IFS= read -r -d "${2:-$'\n'}" -u "$WATCH_FD" line; do
        printf '%s\n' "$line" >>"$WATCH_LOG"
        # shellcheck disable=SC2053 # PATTERN is a glob
        [[ "$line" == $1 ]] && return 0
    done
    printf '%s' "$line" >>"$WATCH_LOG"
    return 1
}

# watch_rest: copies the rest of the watched output to WATCH_LOG in the
# background until the command closes it (WATCH_COPIER is the copier's pid:
# wait for it before reading the log), and closes WATCH_FD here.
watch_rest() {
    cat <&"$WATCH_FD" >>"$WATCH_LOG" &
    WATCH_COPIER=$!
    exec {WATCH_FD}<&-
}

# watch_close: stops reading the watched output.
watch_close() { exec {WATCH_FD}<&-; }

# cable_start DIR: joins DIR/a and DIR/b by a pseudo-terminal pair and
# returns once socat has both ends open (it says so on its log, DIR/cable.err).
# The socat pid is kept in DIR/cable.pid.
cable_start() {
    local dir=$1
    watch_start "$dir/cable.err" socat -d -d pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" || return 1
    echo "$WATCH_PID" >"$dir/cable.pid"
    E2E_CABLE_PIDS+=("$WATCH_PID")
    if ! watch_for '*starting data transfer loop*'; then
        watch_close
        echo "cable did not come up in $dir" >&2
        cat "$dir/cable.err" >&2
        return 1
    fi
    watch_rest
}

# cable_stop DIR: stops the socat of DIR's cable.
cable_stop() {
    local dir=$1
    if [[ -f "$dir/cable.pid" ]]; then
        local pid
        pid=$(cat "$dir/cable.pid")
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        rm -f "$dir/cable.pid"
    fi
    return 0
}

# zmodem_on END WORKDIR OUT ARGS...: runs the program in WORKDIR on the cable
# end END (a path), bounded by `timeout`. Its standard output goes to OUT,
# its standard error to OUT.err and its exit status to OUT.rc. With
# E2E_STDERR_TTY=1, standard error is a terminal instead, whose output this
# function writes on its own standard output; the program's pid is in OUT.pid.
# With E2E_STDERR_TTY=2, standard output goes to that terminal too, and OUT
# gets a copy of all it showed.
zmodem_on() {
    local port=$1 workdir=$2 out=$3
    shift 3
    local rc=0
    if [[ "${E2E_STDERR_TTY:-0}" != 0 ]]; then
        # A script, so that socat does not parse the command's quotes.
        printf "cd '%s' && ZMODEM_PORT='%s' sh -c 'echo \$\$ >\"\$0\"; exec \"\$@\"' '%s' '%s'" \
            "$workdir" "$port" "$out.pid" "$ZMODEM_BIN" >"$out.sh"
        printf " '%s'" "$@" >>"$out.sh"
        local shared=""
        [[ "$E2E_STDERR_TTY" == 2 ]] && shared=1
        # socat puts only standard input and output on the terminal.
        printf " 2>&1" >>"$out.sh"
        [[ -n "$shared" ]] || printf " >'%s'" "$out" >>"$out.sh"
        printf "; echo \$? >'%s'\n" "$out.rc" >>"$out.sh"
        rm -f "$out.rc"
        timeout "$E2E_TRANSFER_TIMEOUT" socat -u SYSTEM:"sh '$out.sh'",pty,raw,echo=0 STDOUT </dev/null |
            tee ${shared:+"$out"}
        return 0
    fi
    (cd "$workdir" && ZMODEM_PORT="$port" timeout "$E2E_TRANSFER_TIMEOUT" "$ZMODEM_BIN" "$@") >"$out" 2>"$out.err" </dev/null || rc=$?
    echo "$rc" >"$out.rc"
    return 0
}

# sz_bridged END SRCDIR OUT SZ_ARGS...: runs `sz SZ_ARGS` in SRCDIR, its
# standard input and output joined to the cable end END through socat (pipes,
# as a program on a modem line would see them). Progress goes to OUT, the
# exit status to OUT.rc and everything sz wrote to the line to OUT.wire.
sz_bridged() {
    local port=$1 srcdir=$2 out=$3
    shift 3
    local command="cd '$srcdir' && exec 2>'$out'; sz"
    local arg
    for arg in "$@"; do command+=" '$arg'"; done
    command+="; echo \$? >'$out.rc'"
    rm -f "$out.rc"
    timeout "$E2E_TRANSFER_TIMEOUT" socat -R "$out.wire" FILE:"$port",raw,echo=0 SYSTEM:"$command" 2>"$out.socat" </dev/null
    [[ -f "$out.rc" ]] || echo 124 >"$out.rc"
    return 0
}

# peer_on_tty END WORKDIR OUT PROGRAM ARGS...: runs an lrzsz program in
# WORKDIR with its standard input and output on the terminal END, as a user
# would at a shell on that line. Exit status to OUT.rc.
peer_on_tty() {
    local port=$1 workdir=$2 out=$3
    shift 3
    local rc=0
    # shellcheck disable=SC2094 # a terminal is read and written at once
    (cd "$workdir" && timeout "$E2E_TRANSFER_TIMEOUT" "$@" <"$port" >"$port" 2>"$out") || rc=$?
    echo "$rc" >"$out.rc"
    return 0
}

# interrupt_midway OUT WHO: the program, started by watch_start with
# E2E_STDERR_TTY=1 and OUT as its output, gets SIGINT once its progress line
# shows 1% or more; the rest of its terminal goes on to WATCH_LOG.
interrupt_midway() {
    if ! watch_for '*[1-9]%*' $'\r'; then
        watch_rest
        echo "FAIL: $2 drew no progress line to interrupt"
        return 1
    fi
    kill -INT "$(cat "$1.pid")"
    watch_rest
    wait "$WATCH_COPIER"
    if ! grep -aq "Transfer interrupted" "$WATCH_LOG"; then
        echo "FAIL: $2 did not say on its terminal that it was interrupted"
        return 1
    fi
}

# expect_stopped OUT WHO: a peer ended by the other side's abort, on its own
# (not by `timeout`, status 124) and not as a success.
expect_stopped() {
    local got
    got=$(cat "$1.rc" 2>/dev/null || echo missing)
    if [[ "$got" == 0 || "$got" == 124 || "$got" == missing ]]; then
        echo "FAIL: $2 exited with status $got, not stopped by the abort"
        return 1
    fi
}

# ---- files -------------------------------------------------------------

# make_random FILE SIZE
make_random() {
    head -c "$2" /dev/urandom >"$1"
}

# make_every_byte FILE REPEATS: every byte value 0..255 in order, REPEATS times.
make_every_byte() {
    local once="$1.once" i
    : >"$once"
    for ((i = 0; i < 256; i++)); do
        # shellcheck disable=SC2059
        printf "\\$(printf '%03o' "$i")" >>"$once"
    done
    : >"$1"
    for ((i = 0; i < $2; i++)); do cat "$once" >>"$1"; done
    rm -f "$once"
}

# make_escape_dense FILE REPEATS: the bytes a Zmodem line must escape
# (DLE, XON, XOFF, ZDLE, DEL and their high-bit twins), REPEATS times.
make_escape_dense() {
    local i
    : >"$1"
    for ((i = 0; i < $2; i++)); do
        printf '\x10\x11\x13\x18\x7f\x90\x91\x93\x98\xff' >>"$1"
    done
}

# ---- assertions --------------------------------------------------------
# Each prints a reason to stdout and returns 1 when the check fails.

# expect_status OUT WANT WHO
expect_status() {
    local got
    got=$(cat "$1.rc" 2>/dev/null || echo missing)
    if [[ "$got" != "$2" ]]; then
        echo "FAIL: $3 exited with status $got, expected $2"
        return 1
    fi
}

# expect_same EXPECTED ACTUAL
expect_same() {
    if [[ ! -f "$2" ]]; then
        echo "FAIL: $2 was not created"
        return 1
    fi
    if ! cmp "$1" "$2"; then
        echo "FAIL: $2 differs from $1 ($(stat -c %s "$1") vs $(stat -c %s "$2") bytes)"
        return 1
    fi
}

# expect_clean OUT WHO: no engine, memory or file error line in the output.
expect_clean() {
    if grep -aE '(ZMD|MEM|FIL)[0-9]{3} ' "$1"; then
        echo "FAIL: $2 printed an error line (above)"
        return 1
    fi
}

# expect_text OUT TEXT WHO: the output holds TEXT (a fixed string).
expect_text() {
    if ! grep -aqF -- "$2" "$1"; then
        echo "FAIL: $3 did not print '$2'"
        return 1
    fi
}

# expect_common_output OUT PORT WHO: the banner and the port line, and
# nothing at all on standard error when that is no terminal.
expect_common_output() {
    if [[ -s "$1.err" ]]; then
        echo "FAIL: $3 wrote to standard error, which is no terminal: $(head -c 200 "$1.err")"
        return 1
    fi
    expect_text "$1" "Zmodem program..." "$3" &&
        expect_text "$1" "Serial port $2 successfully reconfigured." "$3"
}

# expect_unmixed TTY WHO: on a terminal shared by both streams, no line of
# standard output was written onto the progress line.
expect_unmixed() {
    if ! awk -F '\r' '$NF ~ /%/ && $NF ~ /(read|seeking|closing|opening) / { bad = 1 } END { exit bad }' "$1"; then
        echo "FAIL: $2 wrote standard output onto its progress line"
        return 1
    fi
}

# expect_progress TTY WHO: the progress line drawn on the terminal TTY was
# redrawn several times, its percentages never fell, and it ended at 100%.
expect_progress() {
    local -a pct
    mapfile -t pct < <(tr '\r' '\n' <"$1" | grep -aoE '[0-9]+%' | tr -d %)
    if ((${#pct[@]} < 4)) || ((pct[-1] != 100 || pct[0] >= 100)); then
        echo "FAIL: $2 drew the percentages ${pct[*]:-(none)}; wanted several, ending at 100"
        return 1
    fi
    local i
    for ((i = 1; i < ${#pct[@]}; i++)); do
        ((pct[i] >= pct[i - 1])) || { echo "FAIL: $2's progress fell from ${pct[i - 1]}% to ${pct[i]}%"; return 1; }
    done
}

# show_outputs DIR: prints every output file of a case, for a failure report.
show_outputs() {
    local f
    for f in "$1"/*.out; do
        [[ -f "$f" ]] || continue
        echo "----- $(basename "$f") (status $(cat "$f.rc" 2>/dev/null || echo ?))"
        tr '\r' '\n' <"$f" | grep -av '^ *$' | head -n 60
    done
}

# ---- running cases -----------------------------------------------------

# run_cases FUNCTION CASE...: runs `FUNCTION CASE` for every case, at most
# E2E_JOBS at a time, each logging to its own file; prints one PASS/FAIL line
# per case and the totals. Returns non-zero when any case failed.
run_cases() {
    local fn=$1
    shift
    local -a names=("$@")
    local -A pid_of=()
    local name running=0
    mkdir -p "$E2E_ROOT/logs"
    for name in "${names[@]}"; do
        while ((running >= E2E_JOBS)); do
            wait -n 2>/dev/null || true
            running=$(jobs -rp | wc -l)
        done
        (
            set +e
            trap - EXIT
            start=$SECONDS
            "$fn" "$name" >"$E2E_ROOT/logs/$name.log" 2>&1
            rc=$?
            echo "($((SECONDS - start)) s)" >>"$E2E_ROOT/logs/$name.log"
            echo "$rc" >"$E2E_ROOT/logs/$name.rc"
        ) &
        pid_of[$name]=$!
        running=$(jobs -rp | wc -l)
    done
    for name in "${names[@]}"; do wait "${pid_of[$name]}" 2>/dev/null || true; done

    local passed=0 failed=0 rc
    for name in "${names[@]}"; do
        rc=$(cat "$E2E_ROOT/logs/$name.rc" 2>/dev/null || echo missing)
        if [[ "$rc" == 0 ]]; then
            passed=$((passed + 1))
            echo "PASS $name $(tail -n 1 "$E2E_ROOT/logs/$name.log")"
        else
            failed=$((failed + 1))
            echo "FAIL $name"
            sed 's/^/    /' "$E2E_ROOT/logs/$name.log"
        fi
    done
    echo "$passed passed, $failed failed"
    if ((failed != 0)); then
        E2E_FAILED=1
        return 1
    fi
}
