#!/usr/bin/env bash
# Hostile and broken peers over a pseudo-terminal pair (socat): a small
# Python sender (evil_peer.py) feeds `zmodem /r` crafted frames — names that
# leave the receive directory, over-long or empty names, broken file offers,
# floods of ZPAD or noise, a cancel (a flood of CAN), data for the wrong offset, a full disk, a
# sender that vanishes mid-file — and `zmodem /s` meets an unsendable file
# and an rz that is killed mid-file. Each case checks what the program
# prints, its exit status, and that nothing was written outside the receive
# directory.
#
#   hostile.sh ZMODEM_BINARY [NOISY_LINE_BINARY]
#
# NOISY_LINE_BINARY (default: noisy_line beside the program) is the paced
# line of the case whose rz is killed. Each side that must be ready before
# the other starts says so on its output; no case waits on a clock. A
# vanished peer costs the program up to 11 read time-outs of ~24 s: the
# vanished rz case waits for that (~4 min, beside the others); the vanished
# sender case stops the receiver once its first time-out and its renewed
# request are seen (HOSTILE_FULL=1 waits for it to give up by itself).

# A side that gives up by itself takes up to 11 read time-outs (~4.5 min).
E2E_TRANSFER_TIMEOUT=${E2E_TRANSFER_TIMEOUT:-330}
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../e2e/lib.sh"
e2e_init "${1:-}"
command -v python3 >/dev/null || { echo "python3 missing; skipping" >&2; exit 77; }
PEER=$(cd "$(dirname "$0")" && pwd)/evil_peer.py
# shellcheck source=tests/noisy/noisy_lib.sh
. "$(dirname "$0")/noisy_lib.sh"
NOISY_LINE_BIN=${2:-$(dirname "$ZMODEM_BIN")/noisy_line}
[[ -x "$NOISY_LINE_BIN" ]] || { echo "usage: $0 ZMODEM_BINARY [NOISY_LINE_BINARY]" >&2; exit 2; }
E2E_JOBS=${E2E_JOBS:-6}
FULL=${HOSTILE_FULL:-0}
# A name outside every case directory that an escaping name would create.
OUTSIDE_ABS=/tmp/zmodem-hostile-abs-$$

hex() { printf '%s' "$1" | od -v -An -tx1 | tr -d ' \n'; }
long_name() { printf 'n%.0s' $(seq "$1"); }

# peer_in DIR SCENARIO [ARG]: the evil peer in DIR/peer on end b (run in
# the background: it changes directory and replaces the shell).
peer_in() {
    local dir=$1
    shift
    cd "$dir/peer" || exit 1
    exec timeout "$E2E_TRANSFER_TIMEOUT" python3 "$PEER" "$dir/b" "$@"
}

# peer_start DIR SCENARIO [ARG]: starts the evil peer and returns once it has
# its end of the line open and set up ("ready"); its log of headers seen goes
# to DIR/peer.log. PEER_PID and PEER_COPIER are its pid and that of the copier
# of its log.
peer_start() {
    local dir=$1
    mkdir -p "$dir/peer"
    : >"$dir/peer.log"
    watch_start "$dir/peer.log" peer_in "$@" || return 1
    PEER_PID=$WATCH_PID
    if ! watch_for ready; then
        watch_close
        echo "FAIL: the peer did not start"
        cat "$dir/peer.log"
        return 1
    fi
}

# peer_stop: ends the peer and waits until its log is complete.
peer_stop() {
    kill "$PEER_PID" 2>/dev/null
    wait "$PEER_PID" 2>/dev/null
    wait "$PEER_COPIER" 2>/dev/null
}

# receive_with_peer DIR SCENARIO [ARG]: the evil peer in DIR/peer on end b
# (started first: it waits for the receiver's ZRINIT), then zmodem /r in
# DIR/rx on end a. The peer's log of headers seen goes to DIR/peer.log.
receive_with_peer() {
    local dir=$1
    mkdir -p "$dir/rx"
    cable_start "$dir" || return 1
    peer_start "$@" || { cable_stop "$dir"; return 1; }
    watch_rest
    PEER_COPIER=$WATCH_COPIER
    zmodem_on "$dir/a" "$dir/rx" "$dir/zmodem.out" /r
    peer_stop
    cable_stop "$dir"
}

# last_line OUT: the last non-blank line of the output.
last_line() { tr '\r' '\n' <"$1" | grep -av '^ *$' | tail -n 1; }

# expect_last OUT WANT WHO: the last line is WANT (a trailing * matches any rest).
expect_last() {
    local got
    got=$(last_line "$1")
    # shellcheck disable=SC2053 # WANT may end in a pattern
    if [[ "$got" != $2 ]]; then
        echo "FAIL: $3 ended with '$got', expected '$2'"
        return 1
    fi
}

# expect_only DIR NAMES...: DIR holds exactly these entries.
expect_only() {
    local dir=$1 got want
    shift
    got=$(cd "$dir" && ls -A | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | grep -v '^$' | sort | tr '\n' ' ')
    if [[ "$got" != "$want" ]]; then
        echo "FAIL: $dir holds '$got', expected '$want'"
        return 1
    fi
}

# The case directory holds only what the harness put there: nothing escaped rx/.
expect_nothing_outside() {
    local dir=$1 extra
    extra=$(cd "$dir" && ls -A | grep -vxE 'a|b|rx|peer|src|cable\.(pid|err)|zmodem\.out(\.rc|\.err)?|peer\.log|rz\.out(\.rc)?|sender\.out(\.rc)?' || true)
    if [[ -n "$extra" ]]; then
        echo "FAIL: written outside the receive directory: $extra"
        return 1
    fi
    if [[ -e "$OUTSIDE_ABS" || -e "$E2E_ROOT/x" || -e "$(dirname "$dir")/x" ]]; then
        echo "FAIL: an escaping name was created"
        return 1
    fi
}

# ---- names -------------------------------------------------------------
# Each refused or impossible name: "failed to open file NAME", the offer is
# skipped (ZSKIP), the batch still closes (ZFIN), exit status 2, no error line.
refused_name() {
    local name=$1 printed=$2 dir=$3 ok=0
    receive_with_peer "$dir" name "$(hex "$name")"
    expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
    expect_text "$dir/zmodem.out" "opening file $printed" "zmodem /r" || ok=1
    expect_last "$dir/zmodem.out" "failed to open file $printed" "zmodem /r" || ok=1
    expect_clean "$dir/zmodem.out" "zmodem /r" || ok=1
    expect_text "$dir/peer.log" "seen 5 0" "the peer (a ZSKIP)" || ok=1
    expect_text "$dir/peer.log" "seen 8 0" "the peer (a ZFIN)" || ok=1
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}

case_dotdot() { local d; d=$(case_dir "$1"); refused_name "../x" "../x" "$d" && expect_only "$d/rx"; }
case_absolute() { local d; d=$(case_dir "$1"); refused_name "$OUTSIDE_ABS" "$OUTSIDE_ABS" "$d" && expect_only "$d/rx"; }
case_inner_dotdot() { local d; d=$(case_dir "$1"); mkdir -p "$d/rx/a"; refused_name "a/../../x" "a/../../x" "$d" && expect_only "$d/rx" a; }
case_drive() { local d; d=$(case_dir "$1"); refused_name "C:x" "C:x" "$d" && expect_only "$d/rx"; }
case_directory() { local d; d=$(case_dir "$1"); mkdir -p "$d/rx/sub"; refused_name "sub" "sub" "$d" && expect_only "$d/rx" sub; }
case_empty_name() { local d; d=$(case_dir "$1"); refused_name "" "" "$d" && expect_only "$d/rx"; }
# Names are cut to 259 characters; a 259-character file name is more than a
# POSIX file system takes (255), so all three are refused by the system.
case_name_259() { local d; d=$(case_dir "$1"); refused_name "$(long_name 259)" "$(long_name 259)" "$d" && expect_only "$d/rx"; }
case_name_260() { local d; d=$(case_dir "$1"); refused_name "$(long_name 260)" "$(long_name 259)" "$d" && expect_only "$d/rx"; }
case_name_300() { local d; d=$(case_dir "$1"); refused_name "$(long_name 300)" "$(long_name 259)" "$d" && expect_only "$d/rx"; }

# ---- broken offers -----------------------------------------------------
broken_offer() {
    local dir=$1 scenario=$2 message=$3 ok=0
    receive_with_peer "$dir" "$scenario"
    expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
    expect_last "$dir/zmodem.out" "$message" "zmodem /r" || ok=1
    expect_only "$dir/rx" || ok=1
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}
# ZMD007: the file offer is malformed (its full text is in README.md).
case_unterminated_name() { broken_offer "$(case_dir "$1")" unterminated-name "ZMD007 *"; }
case_endless_subpacket() { broken_offer "$(case_dir "$1")" endless-subpacket "ZMD005 Error - subpacket too long"; }
# The offer stops mid-subpacket and the line goes silent: one read time-out.
case_cut_subpacket() { broken_offer "$(case_dir "$1")" cut-subpacket "ZMD009 Timeout"; }

# ---- floods, before the offer and in the middle of the data ---------------
# 3 s of ZPAD or random bytes at line speed: the receiver skips them as
# noise (or a damaged header, which it asks again for), and the file then
# arrives whole; exit status 0.
flood() {
    local dir=$1 scenario=$2 kind=$3 ok=0
    receive_with_peer "$dir" "$scenario" "$kind"
    expect_status "$dir/zmodem.out" 0 "zmodem /r" || ok=1
    expect_last "$dir/zmodem.out" "closing file" "zmodem /r" || ok=1
    expect_same "$dir/peer/evil.payload" "$dir/rx/flooded.bin" || ok=1
    expect_only "$dir/rx" flooded.bin || ok=1
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}
# A flood of CAN is the sender's cancel: the receiver stops at once with
# ZMD010 and exit status 2, sends nothing more (no abort sequence of its own:
# the peer logs every header it sees, and no ZRPOS follows the flood), and
# keeps what it had received of the file.
flood_cancel() {
    local dir=$1 scenario=$2 ok=0 size
    receive_with_peer "$dir" "$scenario" can
    expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
    expect_last "$dir/zmodem.out" "ZMD010 Received cancel signal from remote" "zmodem /r" || ok=1
    if [[ "$scenario" == flood ]]; then
        expect_only "$dir/rx" || ok=1
    else
        size=$(stat -c %s "$dir/rx/flooded.bin" 2>/dev/null || echo 0)
        if ((size == 0 || size >= 5000)) || ! cmp -s -n "$size" "$dir/peer/evil.payload" "$dir/rx/flooded.bin"; then
            echo "FAIL: rx/flooded.bin is not the start of the file ($size bytes)"
            ok=1
        fi
        if grep -q '^seen 9 [1-9]' "$dir/peer.log"; then
            echo "FAIL: the receiver asked for data after the cancel"
            ok=1
        fi
    fi
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}
case_flood_can() { flood_cancel "$(case_dir "$1")" flood; }
case_flood_zpad() { flood "$(case_dir "$1")" flood zpad; }
case_flood_noise() { flood "$(case_dir "$1")" flood noise; }
case_flood_can_mid() { flood_cancel "$(case_dir "$1")" flood-mid; }
case_flood_zpad_mid() { flood "$(case_dir "$1")" flood-mid zpad; }
case_flood_noise_mid() { flood "$(case_dir "$1")" flood-mid noise; }

# ---- data for the wrong offset ----------------------------------------------
# Asked for offset 0, the peer sends ZDATA 100 and the data from 100: the
# receiver asks again for 0 (a second ZRPOS 0, and one more for the ZEOF
# that followed the wrong data) and the file arrives whole.
case_wrong_offset() {
    local dir ok=0
    dir=$(case_dir "$1")
    receive_with_peer "$dir" wrong-offset
    expect_status "$dir/zmodem.out" 0 "zmodem /r" || ok=1
    expect_clean "$dir/zmodem.out" "zmodem /r" || ok=1
    if (($(grep -c '^seen 9 0$' "$dir/peer.log") < 2)); then
        echo "FAIL: expected a second ZRPOS 0 after the wrong ZDATA"
        ok=1
    fi
    expect_same "$dir/peer/evil.payload" "$dir/rx/offset.bin" || ok=1
    return "$ok"
}

# ---- a full disk -------------------------------------------------------------
# The receiver may write no file beyond 4 kB (ulimit -f, with SIGXFSZ
# ignored): the name passes, the writes past that fail. A link to /dev/full
# would not do: the receiver opens nothing but regular files.
case_full_disk() {
    local dir ok=0
    dir=$(case_dir "$1")
    mkdir -p "$dir/rx"
    cable_start "$dir" || return 1
    peer_start "$dir" full-disk || { cable_stop "$dir"; return 1; }
    watch_rest
    PEER_COPIER=$WATCH_COPIER
    (trap '' XFSZ && ulimit -f 4 && zmodem_on "$dir/a" "$dir/rx" "$dir/zmodem.out" /r)
    peer_stop
    cable_stop "$dir"
    expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
    expect_text "$dir/zmodem.out" "opening file full" "zmodem /r" || ok=1
    expect_last "$dir/zmodem.out" "FIL001 Error writing file full" "zmodem /r" || ok=1
    expect_only "$dir/rx" full || ok=1
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}

# ---- a sender that vanishes mid-file ----------------------------------------
# 4 kB of a 10 kB file, then silence: the receiver times out (ZMD009) and
# asks again from 4096 (ZRPOS 4096), up to 10 times, then exits with 2. By
# default the receiver is stopped once the peer has seen that first ZRPOS
# 4096, which it sends only after a time-out (HOSTILE_FULL=1 waits for it
# to give up by itself).
case_vanishing_sender() {
    local dir ok=0
    dir=$(case_dir "$1")
    mkdir -p "$dir/rx"
    cable_start "$dir" || return 1
    peer_start "$dir" vanish || { cable_stop "$dir"; return 1; }
    if ((FULL)); then
        watch_rest
        PEER_COPIER=$WATCH_COPIER
        zmodem_on "$dir/a" "$dir/rx" "$dir/zmodem.out" /r
        peer_stop
        expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
        expect_last "$dir/zmodem.out" "ZMD009 Timeout" "zmodem /r" || ok=1
        if [[ "$(grep -c '^seen 9 4096$' "$dir/peer.log")" != 10 ]]; then
            echo "FAIL: expected 10 ZRPOS 4096, saw $(grep -c '^seen 9 4096$' "$dir/peer.log")"
            ok=1
        fi
    else
        (cd "$dir/rx" && ZMODEM_PORT="$dir/a" exec timeout "$E2E_TRANSFER_TIMEOUT" "$ZMODEM_BIN" /r) >"$dir/zmodem.out" 2>&1 </dev/null &
        local z=$! asked=0
        watch_for 'seen 9 4096' || asked=1
        watch_rest
        PEER_COPIER=$WATCH_COPIER
        kill "$z" 2>/dev/null
        wait "$z" 2>/dev/null
        peer_stop
        expect_text "$dir/peer.log" "vanished" "the peer" || ok=1
        expect_text "$dir/zmodem.out" "ZMD009 Timeout" "zmodem /r" || ok=1
        ((asked == 0)) || { echo "FAIL: no ZRPOS 4096 after the time-out"; ok=1; }
    fi
    cable_stop "$dir"
    # Stopped, it leaves what stdio had flushed; ending by itself, all 4096 bytes.
    local size
    size=$(stat -c %s "$dir/rx/vanish.bin" 2>/dev/null || echo missing)
    if [[ "$size" == missing ]] || ((size > 4096)) || ((FULL && size != 4096)); then
        echo "FAIL: rx/vanish.bin holds $size bytes of the 4096 received"
        ok=1
    fi
    expect_nothing_outside "$dir" || ok=1
    return "$ok"
}

# ---- the sending side ----------------------------------------------------
# A directory named as the file: it is not offered, the session is closed
# with rz, exit status 2, and the message is "failed to open file NAME", as
# for an unreadable regular file. (As root, chmod 000 does not
# stop reading, so the unreadable file is a directory here; run as another
# user, a chmod-000 file is tried as well.)
send_unsendable() {
    local dir=$1 name=$2 message=$3 ok=0
    cable_start "$dir" || return 1
    peer_on_tty "$dir/b" "$dir/rx" "$dir/rz.out" rz &
    local rz=$!
    zmodem_on "$dir/a" "$dir/src" "$dir/sender.out" /s "$name"
    wait "$rz"
    cable_stop "$dir"
    expect_status "$dir/sender.out" 2 "zmodem /s" || ok=1
    expect_text "$dir/sender.out" "$message" "zmodem /s" || ok=1
    expect_clean "$dir/sender.out" "zmodem /s" || ok=1
    expect_status "$dir/rz.out" 0 rz || ok=1
    expect_only "$dir/rx" || ok=1
    return "$ok"
}
case_send_directory() {
    local dir
    dir=$(case_dir "$1")
    mkdir -p "$dir/src/adir" "$dir/rx"
    send_unsendable "$dir" adir "failed to open file adir"
}
case_send_unreadable() {
    local dir
    dir=$(case_dir "$1")
    mkdir -p "$dir/src" "$dir/rx"
    head -c 5000 /dev/urandom >"$dir/src/locked.bin"
    chmod 000 "$dir/src/locked.bin"
    send_unsendable "$dir" locked.bin "failed to open file locked.bin"
}

# rz killed once part of the file is there: the sender streams the rest to
# nobody, then waits for the answer to its ZEOF, silently, 10 read time-outs
# (~4 min), and exits with 2 after "ZMD009 Timeout", never "closing file".
# The line is paced (tools/noisy_line at 115200 baud, no faults), so the
# 200 kB file takes about 17 s: rz is killed as soon as 8 kB of it are on
# disk (tail follows the file as it grows), long before it could be whole.
# (rz writes its file in 32 kB pieces here, so it is killed at 32 kB.)
case_vanishing_rz() {
    local dir ok=0
    dir=$(case_dir "$1")
    mkdir -p "$dir/src" "$dir/rx"
    head -c 200000 /dev/urandom >"$dir/src/big.bin"
    noisy_line_start "$dir" 0 1 || return 1
    # rz is bounded too: should the sender never get going, the wait for
    # its file below ends with rz.
    (cd "$dir/rx" && exec timeout "$E2E_TRANSFER_TIMEOUT" rz <"$dir/b" >"$dir/b" 2>"$dir/rz.out") &
    local rz=$!
    (cd "$dir/src" && ZMODEM_PORT="$dir/a" exec timeout "$E2E_TRANSFER_TIMEOUT" "$ZMODEM_BIN" /s big.bin) >"$dir/sender.out" 2>&1 </dev/null &
    local z=$!
    head -c 8192 < <(exec tail -c +1 -F --pid="$rz" "$dir/rx/big.bin" 2>/dev/null) >/dev/null
    # rz itself, not the timeout above it, is killed: without a chance to
    # say goodbye on the line.
    pkill -KILL -P "$rz" 2>/dev/null
    wait "$rz" 2>/dev/null
    # Nobody listens any more: what the sender still writes is read and
    # dropped, as on a line with no one at the other end (the paced line
    # would otherwise hold it, and the sender's writes would block).
    stty -F "$dir/b" raw -echo 2>/dev/null
    cat "$dir/b" >/dev/null 2>&1 &
    local drain=$!
    local rc=0
    wait "$z" || rc=$?
    kill "$drain" 2>/dev/null
    wait "$drain" 2>/dev/null
    [[ "$rc" == 2 ]] || { echo "FAIL: zmodem /s exited with $rc, expected 2"; ok=1; }
    expect_last "$dir/sender.out" "ZMD009 Timeout" "zmodem /s" || ok=1
    if grep -q '^closing file' "$dir/sender.out"; then
        echo "FAIL: zmodem /s closed the file as sent"
        ok=1
    fi
    cable_stop "$dir"
    local size
    size=$(stat -c %s "$dir/rx/big.bin" 2>/dev/null || echo 0)
    ((size >= 8192 && size < 200000)) || { echo "FAIL: rz held $size bytes when it was killed"; ok=1; }
    return "$ok"
}

CASES=(vanishing_sender vanishing_rz cut_subpacket dotdot absolute inner_dotdot drive directory empty_name
    name_259 name_260 name_300 unterminated_name endless_subpacket flood_can flood_zpad flood_noise
    flood_can_mid flood_zpad_mid flood_noise_mid wrong_offset full_disk send_directory)
if [[ "$(id -u)" != 0 ]]; then CASES+=(send_unreadable); fi
# HOSTILE_CASES="a b" runs only those cases.
if [[ -n "${HOSTILE_CASES:-}" ]]; then read -r -a CASES <<<"$HOSTILE_CASES"; fi

run_one() { "case_$1" "$1"; }
echo "hostile peers"
run_cases run_one "${CASES[@]}"
