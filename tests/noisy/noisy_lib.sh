# Helpers of the noisy-line tests and of tests/noisy/report: one transfer over
# tools/noisy_line (bytes corrupted at a rate, from a seed, line paced to
# 115200 baud) between two peers, and the verdict on it. Source it after
# tests/e2e/lib.sh and e2e_init:
#
#   . tests/e2e/lib.sh; e2e_init ZMODEM_BINARY; . tests/noisy/noisy_lib.sh
#   NOISY_LINE_BIN=path/to/noisy_line
#
# Pairs (sender -> receiver):
#   sz-zmodem       lrzsz sz        -> zmodem /r
#   zmodem-rz       zmodem /s       -> lrzsz rz
#   zmodem-zmodem   zmodem /s       -> zmodem /r
#   sz-rz           lrzsz sz        -> lrzsz rz   (the reference)
#
# The invariant checked on every run, whether or not the file got through:
#   - no side was stopped by `timeout` (status 124: it hung);
#   - when both sides report success (status 0) the received file equals
#     the sent one; put the other way, a missing or different file is always
#     reported by at least one side;
#   - zmodem never exits with status 0 when the file did not arrive whole.
#     (An error line may end the output of a run that succeeded: one that
#     was recovered from, such as a damaged header after the last file.)
#
# shellcheck shell=bash

# Seconds each side may run; a side still running then has hung. A side
# waits on a silent line for about 11 read time-outs of ~24 s (~264 s) after
# the last byte that got through, which may come a minute or more into a
# transfer at 1e-3: the bound lies well beyond both together, so that only a
# side that would never end runs into it.
NOISY_SIDE_TIMEOUT=${NOISY_SIDE_TIMEOUT:-600}
NOISY_BAUD=${NOISY_BAUD:-115200}

# noisy_line_start DIR RATE SEED: the faulty cable between DIR/a and DIR/b;
# returns once both links exist (noisy_line prints "ready" then).
noisy_line_start() {
    local dir=$1 rate=$2 seed=$3
    watch_start "$dir/line.err" "$NOISY_LINE_BIN" "$dir/a" "$dir/b" --seed "$seed" --corrupt "$rate" \
        --baud "$NOISY_BAUD" --stats "$dir/line.stats" || return 1
    echo "$WATCH_PID" >"$dir/cable.pid"
    if ! watch_for ready; then
        watch_close
        echo "noisy line did not come up in $dir" >&2
        cat "$dir/line.err" >&2
        return 1
    fi
    watch_rest
}

# zmodem_succeeded OUT: the exit status is 0, which the program gives only
# when the transfer went through.
zmodem_succeeded() {
    [[ "$(cat "$1.rc" 2>/dev/null)" == 0 ]]
}

# side_start KIND PORT WORKDIR OUT ARGS...: starts one side in the
# background, bounded by `timeout`; its pid (that of `timeout`) goes to
# OUT.pid and, once it ends, its status to OUT.rc (124: `timeout` fired;
# 143: stopped by side_stop). KIND is zmodem (ARGS are the program's), sz
# (ARGS are files; sz reaches the line through socat, as on a modem line) or
# rz (on the terminal itself).
side_start() {
    local kind=$1 port=$2 workdir=$3 out=$4
    shift 4
    rm -f "$out.rc"
    case "$kind" in
        zmodem)
            (
                rc=0
                cd "$workdir" && ZMODEM_PORT="$port" timeout "$NOISY_SIDE_TIMEOUT" "$ZMODEM_BIN" "$@" \
                    >"$out" 2>&1 </dev/null || rc=$?
                echo "$rc" >"$out.rc"
            ) &
            ;;
        sz)
            local command="cd '$workdir' && exec 2>'$out'; sz" arg
            for arg in "$@"; do command+=" '$arg'"; done
            command+="; echo \$? >'$out.rc.sz'"
            (
                rc=0
                timeout "$NOISY_SIDE_TIMEOUT" socat FILE:"$port",raw,echo=0 SYSTEM:"$command" \
                    2>"$out.socat" </dev/null || rc=$?
                if [[ -f "$out.rc.sz" && $rc -ne 124 && $rc -ne 143 ]]; then mv "$out.rc.sz" "$out.rc"; else echo "$rc" >"$out.rc"; fi
            ) &
            ;;
        rz)
            (
                rc=0
                # shellcheck disable=SC2094 # a terminal is read and written at once
                cd "$workdir" && timeout "$NOISY_SIDE_TIMEOUT" rz "$@" <"$port" >"$port" 2>"$out" || rc=$?
                echo "$rc" >"$out.rc"
            ) &
            ;;
    esac
    echo "$!" >"$out.pid"
}

# side_running OUT: the side has not ended yet.
side_running() { [[ ! -f "$1.rc" ]]; }

# side_stop OUT: ends a side that outlived its peer (its `timeout` is sent
# SIGTERM, which it passes on).
side_stop() {
    local subshell timer
    subshell=$(cat "$1.pid")
    # The `timeout` process is the only child of the side's subshell.
    for timer in $(ps -o pid= --ppid "$subshell"); do kill -TERM "$timer" 2>/dev/null; done
}

# An lrzsz side still running this many seconds after its peer ended is
# stopped and the run counted as "peer-stuck": lrzsz waits on a silent line
# far longer than any bound of these tests (zmodem's own sides give up by
# themselves within ~11 read time-outs, and are never stopped this way).
NOISY_PEER_GRACE=${NOISY_PEER_GRACE:-90}

# noisy_transfer DIR PAIR RATE SEED SIZE: one transfer of a random file of
# SIZE bytes. Writes DIR/result as
#   pair rate seed size sender_status receiver_status both_ok same seconds verdict
# where verdict is "ok" (the file arrived and both sides say so), "failed"
# (it did not, and a side said so), "peer-stuck" (failed, and an lrzsz side
# was still waiting NOISY_PEER_GRACE s after zmodem had ended), or a
# violation of the invariant: "hang" (a side ran into its time-out),
# "silent-corruption" or "status-mismatch". Returns 1 on a violation.
noisy_transfer() {
    local dir=$1 pair=$2 rate=$3 seed=$4 size=$5
    mkdir -p "$dir/src" "$dir/rx"
    local file=noisy.bin
    make_random "$dir/src/$file" "$size"
    noisy_line_start "$dir" "$rate" "$seed" || return 1

    local src_kind rx_kind
    case "$pair" in
        sz-zmodem) src_kind=sz rx_kind=zmodem ;;
        zmodem-rz) src_kind=zmodem rx_kind=rz ;;
        zmodem-zmodem) src_kind=zmodem rx_kind=zmodem ;;
        sz-rz) src_kind=sz rx_kind=rz ;;
        *) echo "unknown pair $pair" >&2; return 1 ;;
    esac
    local start=$SECONDS
    # The receiver on end a, the sender on end b.
    if [[ "$rx_kind" == zmodem ]]; then
        side_start zmodem "$dir/a" "$dir/rx" "$dir/receiver.out" /r
    else
        side_start rz "$dir/a" "$dir/rx" "$dir/receiver.out"
    fi
    if [[ "$src_kind" == zmodem ]]; then
        side_start zmodem "$dir/b" "$dir/src" "$dir/sender.out" /s "$file"
    else
        side_start sz "$dir/b" "$dir/src" "$dir/sender.out" "$file"
    fi
    # Wait for the first side to end; zmodem's sides end by themselves, an
    # lrzsz side still running NOISY_PEER_GRACE s later is stopped.
    local sender receiver ended stuck=0
    sender=$(cat "$dir/sender.out.pid")
    receiver=$(cat "$dir/receiver.out.pid")
    wait -n -p ended "$sender" "$receiver"
    local other=$sender other_out=$dir/sender.out other_kind=$src_kind
    if [[ "$ended" == "$sender" ]]; then other=$receiver other_out=$dir/receiver.out other_kind=$rx_kind; fi
    if [[ "$other_kind" != zmodem ]]; then
        # A timer, not a synchronisation: either outcome is a pass.
        sleep "$NOISY_PEER_GRACE" &
        local timer=$!
        wait -n "$other" "$timer"
        if side_running "$other_out"; then
            side_stop "$other_out"
            stuck=1
        fi
        kill "$timer" 2>/dev/null
        wait "$timer" 2>/dev/null
    fi
    wait "$other" 2>/dev/null
    local seconds=$((SECONDS - start))
    cable_stop "$dir"

    local src_rc rx_rc src_ok=1 rx_ok=1 same=0 verdict
    src_rc=$(cat "$dir/sender.out.rc")
    rx_rc=$(cat "$dir/receiver.out.rc")
    if [[ "$src_kind" == zmodem ]]; then zmodem_succeeded "$dir/sender.out" || src_ok=0
    else [[ "$src_rc" == 0 ]] || src_ok=0; fi
    if [[ "$rx_kind" == zmodem ]]; then zmodem_succeeded "$dir/receiver.out" || rx_ok=0
    else [[ "$rx_rc" == 0 ]] || rx_ok=0; fi
    [[ -f "$dir/rx/$file" ]] && cmp -s "$dir/src/$file" "$dir/rx/$file" && same=1

    local both_ok=$((src_ok && rx_ok)) mismatch=0
    if [[ "$src_kind" == zmodem && "$src_rc" == 0 ]] && ((!same)); then mismatch=1; fi
    if [[ "$rx_kind" == zmodem && "$rx_rc" == 0 ]] && ((!same)); then mismatch=1; fi
    if [[ "$src_rc" == 124 || "$rx_rc" == 124 ]]; then
        verdict=hang
    elif ((both_ok && !same)); then
        verdict=silent-corruption
    elif ((mismatch)); then
        verdict=status-mismatch
    elif ((both_ok)); then
        verdict=ok
    elif ((stuck)); then
        verdict=peer-stuck
    else
        verdict=failed
    fi
    echo "$pair $rate $seed $size $src_rc $rx_rc $both_ok $same $seconds $verdict" >"$dir/result"
    case "$verdict" in
        ok | failed | peer-stuck) return 0 ;;
        *) return 1 ;;
    esac
}
