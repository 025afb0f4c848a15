#!/usr/bin/env bash
# Runs the Windows program under Wine against lrzsz over a pseudo-terminal pair.
#
#   tests/wine/run.sh path/to/zmodem.exe
#
# Builds nothing. Needs wine, socat, lrzsz (sz, rz), cmp, tail and timeout.
# Makes a fresh Wine prefix in a temporary folder, maps COM1 to one end of a
# socat pty pair and runs the peer (sz or rz) on the other end. WINE names the
# Wine loader (default `wine`; scripts/test-windows sets /usr/lib/wine/wine64
# with WINEARCH=win64 for a 64-bit program where 32-bit code cannot run).
# Prints one PASS or FAIL line per case and ends with "N passed, M failed";
# the exit status is non-zero when any case failed.
set -u

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 path/to/zmodem.exe" >&2
    exit 2
fi
EXE=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
. "$(dirname "$0")/../../tools/ser2net.sh"

WINE=${WINE:-wine}
for tool in "$WINE" wineserver socat sz rz cmp tail timeout; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "missing tool: $tool" >&2
        exit 2
    fi
done

export LC_ALL=C
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zmodem-wine.XXXXXX")
export WINEPREFIX="$WORK/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
LINE_DIR="$WORK/line"
LINE_A="$LINE_DIR/a"   # COM1 of the Windows program
LINE_B="$LINE_DIR/b"   # the peer's end
SOCAT_PID=""
HOLD_A=""
HOLD_B=""
PASSED=0
FAILED=0
STARTED=$(date +%s)

cleanup() {
    stop_line
    timeout 30 wineserver -k >/dev/null 2>&1
    timeout 30 wineserver -w >/dev/null 2>&1
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

pass() { echo "PASS: $1"; PASSED=$((PASSED + 1)); }

# fail NAME REASON [LOG...]: the tail of each log is shown under the line.
fail() {
    local name=$1 reason=$2
    shift 2
    echo "FAIL: $name: $reason"
    local log
    for log in "$@"; do
        [ -f "$log" ] || continue
        echo "  --- $(basename "$log") (last lines)"
        tr -d '\r' <"$log" | tail -n 15 | sed 's/^/  | /'
    done
    FAILED=$((FAILED + 1))
}

# wait_text FILE TEXT PID: returns 0 once FILE holds TEXT, 1 if process PID
# ends first. tail follows the file as it is written (no polling here).
wait_text() {
    grep -qF -m1 -- "$2" < <(exec tail -c +1 -F --pid="$3" "$1" 2>/dev/null)
}

# A fresh pty pair for one case: socat links $LINE_A and $LINE_B to the two
# slave ends and copies bytes between them until it is stopped; it is ready
# once it says so on its log. This shell then holds each end open (and never
# reads), which keeps the pair alive when a side exits: otherwise socat ends
# at that side's hang-up, the other end is hung up too, and the last bytes
# still unread there ("OO") are thrown away.
start_line() {
    # A fresh log: the line of the last pair must not be taken for this one's.
    rm -f "$LINE_A" "$LINE_B" "$WORK/socat.log"
    socat -d -d pty,raw,echo=0,link="$LINE_A" pty,raw,echo=0,link="$LINE_B" >"$WORK/socat.log" 2>&1 &
    SOCAT_PID=$!
    if ! wait_text "$WORK/socat.log" "starting data transfer loop" "$SOCAT_PID"; then
        echo "socat did not create the pty pair" >&2
        return 1
    fi
    exec {HOLD_A}<>"$LINE_A" {HOLD_B}<>"$LINE_B"
}

stop_line() {
    if [ -n "$HOLD_A" ]; then
        exec {HOLD_A}<&- {HOLD_B}<&-
        HOLD_A=""
        HOLD_B=""
    fi
    if [ -n "$SOCAT_PID" ]; then
        kill "$SOCAT_PID" 2>/dev/null
        wait "$SOCAT_PID" 2>/dev/null
        SOCAT_PID=""
    fi
    rm -f "$LINE_A" "$LINE_B"
}

# run_zmodem DIR LOG SECONDS ARGS...: runs the program in DIR, on the port
# ZM_PORT names (COM1 when it is empty) at ZM_BAUD (115200), with Unix file names in UTF-8;
# prints its status. The program's first act is its banner: a run that
# failed with nothing at all on its output never got to the program (once
# in many CI runs, Wine's start ended with status 1), and is made once more.
run_zmodem() {
    local dir=$1 log=$2 seconds=$3 try status
    shift 3
    for try in 1 2; do
        (cd "$dir" && ZMODEM_PORT=${ZM_PORT:-} ZMODEM_BAUD=${ZM_BAUD:-} LC_ALL=C.UTF-8 timeout "$seconds" "$WINE" "$EXE" "$@" \
            </dev/null >"$log" 2>&1)
        status=$?
        [ "$status" != 0 ] && [ ! -s "$log" ] || break
        echo "NOTE: Wine did not start the program (status $status, no output); once more" >&2
    done
    echo "$status"
}

# clean_log LOG: the program's output without carriage returns.
clean_log() { tr -d '\r' <"$1"; }

# ---------------------------------------------------------------- prefix
echo "Wine prefix: $WINEPREFIX"
echo "Wine loader: $WINE${WINEARCH:+ ($WINEARCH)}"
if ! timeout 240 "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1; then
    echo "FAIL: wine prefix could not be created"
    tail -n 20 "$WORK/wineboot.log"
    echo "0 passed, 1 failed"
    exit 1
fi
# COM1 is mapped through the registry: Wine's mount manager rebuilds
# dosdevices/com1 from it (otherwise from /dev/ttyS0) whenever the server
# starts, so a plain symbolic link made by hand does not last. COM3 and COM12
# lead to the same end of the line: the ports of a USB adapter.
for port in COM1 COM3 COM12; do
    timeout 60 "$WINE" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$LINE_A" /f >>"$WORK/reg.log" 2>&1
done
timeout 60 wineserver -k >/dev/null 2>&1
timeout 60 wineserver -w >/dev/null 2>&1
# One server for the whole run, started here so that its own output (it
# lists its objects when it is stopped) stays out of the log of whichever
# program would otherwise have started it.
timeout 60 wineserver -p >/dev/null 2>&1
mkdir -p "$LINE_DIR"

# ---------------------------------------------------------------- files
DATA="$WORK/data"
mkdir -p "$DATA"

all_bytes() {
    local i
    for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done
    for i in $(seq 255 -1 0); do printf "\\$(printf %03o "$i")"; done
}

# Mostly the bytes that the line coding escapes (DLE, XON, XOFF, ZDLE, DEL and
# their high-bit twins), in runs and mixed with a few plain ones.
dense_bytes() {
    local escaped=(020 021 023 030 177 220 221 223 230 377)
    local cycle=("${escaped[@]}" 030 052 015 012 000 101) set2="" i b
    for i in $(seq 0 255); do set2+="\\${cycle[$((i % 16))]}"; done
    for b in "${escaped[@]}"; do printf "\\$b\\$b\\$b\\$b"; done
    for b in "${escaped[@]}"; do printf "A\\${b}B"; done
    head -c 4000 /dev/urandom | tr '\000-\377' "$set2"
    printf '\030\030\030\030\030\030\030\030\030\030'
}

: >"$DATA/r0.bin"
head -c 1 /dev/urandom >"$DATA/r1.bin"
head -c 1024 /dev/urandom >"$DATA/r1024.bin"
head -c 1025 /dev/urandom >"$DATA/r1025.bin"
head -c 51200 /dev/urandom >"$DATA/r50k.bin"
all_bytes >"$DATA/rall.bin"
: >"$DATA/s0.bin"
head -c 1 /dev/urandom >"$DATA/s1.bin"
head -c 1025 /dev/urandom >"$DATA/s1025.bin"
head -c 20480 /dev/urandom >"$DATA/s20k.bin"
dense_bytes >"$DATA/sdense.bin"

# ---------------------------------------------------------------- command line
# cli_case NAME EXPECTED_STATUS EXPECTED_TEXT ARGS...
cli_case() {
    local name=$1 want_status=$2 want_text=$3
    shift 3
    local dir="$WORK/cli-$name"
    mkdir -p "$dir"
    local status
    status=$(run_zmodem "$dir" "$dir/out.log" 60 "$@")
    if [ "$status" != "$want_status" ]; then
        fail "command line: $name" "exit status $status, expected $want_status" "$dir/out.log"
    elif ! clean_log "$dir/out.log" | grep -qF "$want_text"; then
        fail "command line: $name" "\"$want_text\" not printed" "$dir/out.log"
    elif ! clean_log "$dir/out.log" | grep -qF "Zmodem program..."; then
        fail "command line: $name" "banner not printed" "$dir/out.log"
    elif clean_log "$dir/out.log" | grep -qE "CreateFile|Serial port"; then
        fail "command line: $name" "the serial port was touched" "$dir/out.log"
    else
        pass "command line: $name"
    fi
}

cli_case "no arguments" 1 "Usage: zmodem /r /s [filename]"
cli_case "/s without a file name" 1 "Error: send requires filename" /s
cli_case "/x" 0 "Unrecognized argument" /x

# ---------------------------------------------------------------- transfers
# transfer_checks NAME ZM_STATUS PEER_STATUS ZM_LOG PEER_LOG SOURCE RECEIVED
transfer_checks() {
    local name=$1 zm_status=$2 peer_status=$3 zm_log=$4 peer_log=$5 source=$6 received=$7
    if [ "$zm_status" != 0 ]; then
        fail "$name" "zmodem.exe exit status $zm_status" "$zm_log" "$peer_log"
    elif [ "$peer_status" != 0 ]; then
        fail "$name" "peer exit status $peer_status" "$zm_log" "$peer_log"
    elif [ ! -f "$received" ]; then
        fail "$name" "no file received" "$zm_log" "$peer_log"
    elif ! cmp "$source" "$received" >"$WORK/cmp.log" 2>&1; then
        fail "$name" "received file differs: $(cat "$WORK/cmp.log")" "$zm_log" "$peer_log"
    elif ! clean_log "$zm_log" | grep -qF "${ZM_OPENED:-Serial port ${ZM_PORT:-COM1} successfully reconfigured.}"; then
        fail "$name" "no \"${ZM_OPENED:-Serial port ${ZM_PORT:-COM1} successfully reconfigured.}\" line" "$zm_log"
    elif clean_log "$zm_log" | grep -qE "^Error (in|Create)"; then
        fail "$name" "a port read failed" "$zm_log"
    else
        pass "$name"
    fi
}

# settings_check NAME LOG ZM_LOG ZM_PID: once the program has said that it
# reconfigured its port, the pty behind it must carry the line settings that
# SetCommState wrote (a fresh pty is at 38400 baud).
settings_check() {
    local name=$1 log=$2
    if ! wait_text "$3" "successfully reconfigured" "$4"; then
        fail "$name" "the program ended before it reconfigured its port" "$3"
        return
    fi
    stty -F "$LINE_A" -a >"$log" 2>&1
    local missing="" flag
    grep -qF "speed ${ZM_BAUD:-115200} baud" "$log" || missing+=" ${ZM_BAUD:-115200}"
    for flag in cs8 -parenb -cstopb -crtscts -ixon -ixoff; do
        tr ' ;' '\n\n' <"$log" | grep -qxF -- "$flag" || missing+=" $flag"
    done
    if [ -n "$missing" ]; then
        fail "$name" "missing:$missing" "$log"
    else
        pass "$name"
    fi
}

# receive_case FILE [settings]: sz sends FILE, the program receives it with
# /r; with "settings", the line settings are checked before sz starts.
receive_case() {
    local file=$1 check=${2:-} size
    size=$(stat -c %s "$DATA/$file")
    local name="receive $file ($size bytes): sz -> zmodem.exe /r${ZM_PORT:+ on $ZM_PORT}"
    local dir="$WORK/rx-$file${ZM_PORT:+-${ZM_PORT//[^A-Za-z0-9]/}}"
    mkdir -p "$dir/src" "$dir/dst"
    cp "$DATA/$file" "$dir/src/"
    if ! start_line; then
        fail "$name" "no pty pair"
        return
    fi
    run_zmodem "$dir/dst" "$dir/zmodem.log" 120 /r >"$dir/zmodem.status" &
    local zm_pid=$!
    if [ "$check" = settings ]; then
        settings_check "line settings on ${ZM_PORT:-COM1}: ${ZM_BAUD:-115200} 8N1, no flow control" "$dir/stty.log" \
            "$dir/zmodem.log" "$zm_pid"
    fi
    local sz_status
    (cd "$dir/src" && timeout 120 sz "$file" <"$LINE_B" >"$LINE_B" 2>"$dir/sz.log")
    sz_status=$?
    wait "$zm_pid"
    stop_line
    transfer_checks "$name" "$(cat "$dir/zmodem.status")" "$sz_status" \
        "$dir/zmodem.log" "$dir/sz.log" "$DATA/$file" "$dir/dst/$file"
}

# send_to_rz DIR ARGS...: on a fresh line, rz receives into DIR/dst while the
# program runs in DIR/src with ARGS; prints the program's exit status (rz's
# goes to DIR/rz.status). Status 1 when no line comes up.
send_to_rz() {
    local dir=$1
    shift
    start_line || return 1
    (cd "$dir/dst" && timeout 120 rz <"$LINE_B" >"$LINE_B" 2>"$dir/rz.log"; echo $? >"$dir/rz.status") &
    local rz_pid=$!
    run_zmodem "$dir/src" "$dir/zmodem.log" 120 "$@"
    wait "$rz_pid"
    stop_line
}

# send_case FILE: the program sends FILE with /s, rz receives it.
send_case() {
    local file=$1 size
    size=$(stat -c %s "$DATA/$file")
    local name="send $file ($size bytes): zmodem.exe /s -> rz${ZM_PORT:+ on $ZM_PORT}"
    local dir="$WORK/tx-$file${ZM_PORT:+-${ZM_PORT//[^A-Za-z0-9]/}}"
    mkdir -p "$dir/src" "$dir/dst"
    cp "$DATA/$file" "$dir/src/"
    local zm_status
    if ! zm_status=$(send_to_rz "$dir" /s "$file"); then
        fail "$name" "no pty pair"
        return
    fi
    transfer_checks "$name" "$zm_status" "$(cat "$dir/rz.status")" \
        "$dir/zmodem.log" "$dir/rz.log" "$DATA/$file" "$dir/dst/$file"
}

receive_case r0.bin
receive_case r1.bin
receive_case r1024.bin settings
receive_case r1025.bin
receive_case r50k.bin
receive_case rall.bin
for file in s0.bin s1.bin s1025.bin s20k.bin sdense.bin; do
    send_case "$file"
done
# Other ports, as named by a user: COM3; COM12, which Windows opens only as \\.\COM12.
ZM_PORT=COM3 ZM_BAUD=57600 receive_case r1025.bin settings
ZM_PORT=COM3 send_case s1025.bin
ZM_PORT=com12 receive_case r1024.bin
ZM_PORT='\\.\COM12' send_case s20k.bin
# Names in Greek and Cyrillic, both ways: on the Linux side the file has the
# same Unicode name, in UTF-8.
for name in "ελληνικά.bin" "ёлка-Б.bin"; do
    cp "$DATA/r1025.bin" "$DATA/r-$name"
    cp "$DATA/s1025.bin" "$DATA/s-$name"
    receive_case "r-$name"
    send_case "s-$name"
done

# check_refused NAME STATUS LINE DIR PEER_LOG: the run failed (status 2),
# the program said LINE, and nothing was written in DIR/dst.
check_refused() {
    local name=$1 status=$2 line=$3 dir=$4 peer_log=$5
    if [ "$status" != 2 ]; then
        fail "$name" "exit status $status, expected 2" "$dir/zmodem.log" "$peer_log"
    elif ! clean_log "$dir/zmodem.log" | grep -qxF "$line"; then
        fail "$name" "no \"$line\" line" "$dir/zmodem.log"
    elif [ -n "$(ls -A "$dir/dst")" ]; then
        fail "$name" "written: $(ls -A "$dir/dst")"
    else
        pass "$name"
    fi
}

# device_name_case FILE: sz offers FILE under a name that Windows maps to a
# device; the program refuses it and writes nothing, and the run fails.
device_name_case() {
    local file=$1
    local name="receive under the device name $file: refused"
    local dir="$WORK/dev-$file"
    mkdir -p "$dir/src" "$dir/dst"
    head -c 100 /dev/urandom >"$dir/src/$file"
    if ! start_line; then
        fail "$name" "no pty pair"
        return
    fi
    run_zmodem "$dir/dst" "$dir/zmodem.log" 120 /r >"$dir/zmodem.status" &
    local zm_pid=$!
    (cd "$dir/src" && timeout 120 sz "$file" <"$LINE_B" >"$LINE_B" 2>"$dir/sz.log")
    wait "$zm_pid"
    stop_line
    check_refused "$name" "$(cat "$dir/zmodem.status")" "failed to open file $file" "$dir" "$dir/sz.log"
}
device_name_case nul.txt
device_name_case "nul .txt"

# A file of 4 GiB (sparse) is measured with the 64-bit length: it is refused
# as too large, not as a file that cannot be opened, and nothing is sent.
large_file_case() {
    local name="send a 4 GiB file: refused as too large, exit 2"
    local dir="$WORK/tx-large"
    mkdir -p "$dir/src" "$dir/dst"
    truncate -s 4G "$dir/src/big.bin"
    local status
    if ! status=$(send_to_rz "$dir" /s big.bin); then
        fail "$name" "no pty pair"
        return
    fi
    check_refused "$name" "$status" "file big.bin is 2 GiB or larger and cannot be sent" "$dir" "$dir/rz.log"
    rm -f "$dir/src/big.bin"
}
large_file_case

# wildcard_case: Windows leaves wildcards to the program, which sends every
# file that w?.bin and *.txt match (not the folder sub.txt, not other.bin),
# each with its time, and rz keeps it; a match named in Greek keeps its name.
wildcard_case() {
    local name="send w?.bin *.txt: zmodem.exe /s expands the wildcards -> rz"
    local dir="$WORK/tx-wildcard" f
    mkdir -p "$dir/src/sub.txt" "$dir/dst"
    for f in wa.bin wb.bin nότα.txt other.bin; do
        head -c 3000 /dev/urandom >"$dir/src/$f"
        touch -d @1000000000 "$dir/src/$f"
    done
    local zm_status
    if ! zm_status=$(send_to_rz "$dir" /s 'w?.bin' '*.txt'); then
        fail "$name" "no pty pair"
        return
    fi
    local got
    got=$(cd "$dir/dst" && echo *)
    if [ "$zm_status" != 0 ] || [ "$(cat "$dir/rz.status")" != 0 ]; then
        fail "$name" "exit status $zm_status, rz $(cat "$dir/rz.status")" "$dir/zmodem.log" "$dir/rz.log"
    elif [ "$got" != "nότα.txt wa.bin wb.bin" ]; then
        fail "$name" "received: $got" "$dir/zmodem.log"
    else
        for f in nότα.txt wa.bin wb.bin; do
            if ! cmp -s "$dir/src/$f" "$dir/dst/$f" || [ "$(stat -c %Y "$dir/dst/$f")" != 1000000000 ]; then
                fail "$name" "$f differs or lost its time" "$dir/zmodem.log"
                return
            fi
        done
        pass "$name"
    fi
}
wildcard_case

# ---------------------------------------------------------------- other lines
# listen PEER_COMMAND: socat listens on a free loopback port, with the peer
# behind it for one connection; sets LISTEN_PID and LISTEN_PORT (from its log).
listen() {
    rm -f "$WORK/listen.log"
    socat -d -d TCP-LISTEN:0,bind=127.0.0.1 SYSTEM:"$1" >"$WORK/listen.log" 2>&1 &
    LISTEN_PID=$!
    wait_text "$WORK/listen.log" "listening on" "$LISTEN_PID" || return 1
    LISTEN_PORT=$(sed -n 's/.*listening on .*:\([0-9][0-9]*\)$/\1/p' "$WORK/listen.log" | head -n 1)
    [ -n "$LISTEN_PORT" ]
}

# tcp_case DIRECTION FILE: over tcp:127.0.0.1:PORT, sz -> the program (receive)
# or the program -> rz (send).
tcp_case() {
    local direction=$1 file=$2
    local name="tcp: $direction $file" dir="$WORK/tcp-$direction-$file"
    mkdir -p "$dir/src" "$dir/dst"
    cp "$DATA/$file" "$dir/src/"
    local peer="cd '$dir/src' && exec sz '$file' 2>'$dir/peer.log'" args=(/r) run_in=$dir/dst
    if [ "$direction" = send ]; then
        peer="cd '$dir/dst' && exec rz 2>'$dir/peer.log'" args=(/s "$file") run_in=$dir/src
    fi
    if ! listen "$peer"; then
        fail "$name" "socat did not listen" "$WORK/listen.log"
        return
    fi
    local status
    status=$(ZM_PORT=tcp:127.0.0.1:$LISTEN_PORT run_zmodem "$run_in" "$dir/zmodem.log" 120 "${args[@]}")
    # A run that failed may never have connected: the listener would wait for ever.
    [ "$status" = 0 ] || kill "$LISTEN_PID" 2>/dev/null
    wait "$LISTEN_PID"
    ZM_OPENED="Line tcp:127.0.0.1:$LISTEN_PORT successfully opened." \
        transfer_checks "$name" "$status" 0 "$dir/zmodem.log" "$dir/peer.log" "$DATA/$file" "$dir/dst/$file"
}
tcp_case receive r50k.bin
tcp_case receive rall.bin
tcp_case send s20k.bin
tcp_case send sdense.bin

# telnet_case DIRECTION FILE: over telnet:127.0.0.1:PORT to ser2net with
# RFC 2217, in front of a pty pair with sz or rz behind it; the files are
# dense in 0xFF, which telnet doubles on the way.
telnet_case() {
    local direction=$1 file=$2
    local name="telnet: $direction $file, through ser2net" dir="$WORK/telnet-$direction-$file"
    command -v ser2net >/dev/null && command -v ss >/dev/null || { echo "SKIP: $name (no ser2net or ss)"; return; }
    mkdir -p "$dir/src" "$dir/dst"
    cp "$DATA/$file" "$dir/src/"
    socat -d -d pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" >"$dir/cable.log" 2>&1 &
    local cable=$!
    wait_text "$dir/cable.log" "starting data transfer loop" "$cable"
    if ! ser2net_up "$dir" "$dir/a" 115200n81 "telnet(rfc2217),tcp"; then
        fail "$name" "ser2net did not listen" "$dir/ser2net.log"
        kill $cable 2>/dev/null
        wait $cable 2>/dev/null
        return
    fi
    local port=$SER2NET_PORT
    local peer=(sz "$file") peer_dir=$dir/src args=(/r) run_in=$dir/dst
    [ "$direction" = send ] && peer=(rz) peer_dir=$dir/dst args=(/s "$file") run_in=$dir/src
    (cd "$peer_dir" && timeout 120 "${peer[@]}" <"$dir/b" >"$dir/b" 2>"$dir/peer.log"; echo $? >"$dir/peer.status") &
    local peer_pid=$! status
    status=$(ZM_PORT=telnet:127.0.0.1:$port run_zmodem "$run_in" "$dir/zmodem.log" 120 "${args[@]}")
    [ "$status" = 0 ] || kill "$peer_pid" 2>/dev/null
    wait "$peer_pid"
    ser2net_down
    kill $cable 2>/dev/null
    wait $cable 2>/dev/null
    ZM_OPENED="Line telnet:127.0.0.1:$port successfully opened." \
        transfer_checks "$name" "$status" "$(cat "$dir/peer.status" 2>/dev/null)" "$dir/zmodem.log" "$dir/peer.log" "$DATA/$file" "$dir/dst/$file"
}
telnet_case receive rall.bin
telnet_case send sdense.bin

# gone_check NAME STATUS DIR LINE_NAME: the run ended with 2, said the line
# LINE_NAME is gone, and kept the partial file.
gone_check() {
    local name=$1 status=$2 dir=$3 line=$4 size
    size=$(stat -c %s "$dir/dst/big.bin" 2>/dev/null || echo none)
    if [ "$status" != 2 ]; then
        fail "$name" "exit status $status, expected 2" "$dir/zmodem.log"
    elif ! clean_log "$dir/zmodem.log" | grep -qF "LIN001 Line $line is gone"; then
        fail "$name" "no \"LIN001 Line $line is gone\"" "$dir/zmodem.log"
    elif [ "$size" = none ] || [ "$size" -ge "$(stat -c %s "$DATA/big.bin")" ]; then
        fail "$name" "partial file: $size" "$dir/zmodem.log"
    else
        pass "$name"
    fi
}
# The line goes away while sz sends this file, once the program has opened
# it: 48 MB, far more than the line moves in the time that takes.
head -c 48000000 /dev/urandom >"$DATA/big.bin"

# The connection closed while sz sends: socat (and sz with it) is stopped.
tcp_gone_case() {
    local name="tcp: the connection closed mid-transfer: LIN001, exit 2, partial file kept"
    local dir="$WORK/tcp-gone"
    mkdir -p "$dir/dst"
    if ! listen "exec sz '$DATA/big.bin' 2>/dev/null"; then
        fail "$name" "socat did not listen" "$WORK/listen.log"
        return
    fi
    ZM_PORT=tcp:127.0.0.1:$LISTEN_PORT run_zmodem "$dir/dst" "$dir/zmodem.log" 120 /r >"$dir/zmodem.status" &
    local zm_pid=$!
    wait_text "$dir/zmodem.log" "opening file" "$zm_pid"
    kill "$LISTEN_PID" 2>/dev/null
    wait "$zm_pid"
    wait "$LISTEN_PID" 2>/dev/null
    gone_check "$name" "$(cat "$dir/zmodem.status")" "$dir" "tcp:127.0.0.1:$LISTEN_PORT"
}
tcp_gone_case

# stdio_case DIRECTION FILE: ZMODEM_PORT=- with both ends pipes (socat's
# EXEC with pipes), sz or rz at the other end.
stdio_case() {
    local direction=$1 file=$2
    local name="-: $direction $file over pipes" dir="$WORK/stdio-$direction-$file"
    mkdir -p "$dir/src" "$dir/dst"
    cp "$DATA/$file" "$dir/src/"
    local peer="cd '$dir/src' && exec sz '$file' 2>'$dir/peer.log'" args="/r" run_in=$dir/dst
    if [ "$direction" = send ]; then
        peer="cd '$dir/dst' && exec rz 2>'$dir/peer.log'" args="/s $file" run_in=$dir/src
    fi
    (cd "$run_in" && timeout 120 socat SYSTEM:"$peer" \
        SYSTEM:"ZMODEM_PORT=- '$WINE' '$EXE' $args 2>'$dir/zmodem.log'; echo \$? >'$dir/zmodem.status'",pipes \
        >"$dir/socat.log" 2>&1)
    ZM_OPENED="Line - (standard input and output) successfully opened." transfer_checks "$name" \
        "$(cat "$dir/zmodem.status" 2>/dev/null)" 0 "$dir/zmodem.log" "$dir/peer.log" "$DATA/$file" "$dir/dst/$file"
}
stdio_case receive r50k.bin
stdio_case receive rall.bin
stdio_case send s20k.bin
stdio_case send sdense.bin

# COM1 whose other end goes away mid-transfer: the pty pair is taken down
# once the program has opened the file.
com_gone_case() {
    local name="COM1 whose other end goes away mid-transfer: LIN001, exit 2, partial file kept"
    local dir="$WORK/com-gone"
    mkdir -p "$dir/dst"
    if ! start_line; then
        fail "$name" "no pty pair"
        return
    fi
    run_zmodem "$dir/dst" "$dir/zmodem.log" 120 /r >"$dir/zmodem.status" &
    local zm_pid=$!
    (timeout 120 sz "$DATA/big.bin" <"$LINE_B" >"$LINE_B" 2>/dev/null) &
    local sz_pid=$!
    wait_text "$dir/zmodem.log" "opening file" "$zm_pid" && stop_line
    wait "$zm_pid"
    kill "$sz_pid" 2>/dev/null
    wait "$sz_pid" 2>/dev/null
    gone_check "$name" "$(cat "$dir/zmodem.status")" "$dir" COM1
}
com_gone_case

# ---------------------------------------------------------------- no port
# A port that cannot be used ends the run at once with the failure status: the
# failed step with its error number, then the ports there are to choose from,
# and no transfer (no time-out). Wine still opens COM1 when the device behind
# it is missing and fails at GetCommState instead; Windows fails at
# CreateFile. Either report is taken. COM7 is mapped to nothing.
no_port_case() {
    local port=$1
    local name="$port without a device: open failure and the ports reported, exit 2"
    local dir="$WORK/noport-$port"
    mkdir -p "$dir"
    stop_line
    local status
    status=$(ZM_PORT=$port run_zmodem "$dir" "$dir/zmodem.log" 150 /r)
    if [ "$status" != 2 ]; then
        fail "$name" "exit status $status, expected 2" "$dir/zmodem.log"
    elif ! clean_log "$dir/zmodem.log" | grep -qE "(CreateFile|GetCommState) failed with error -?[0-9]+\."; then
        fail "$name" "no \"CreateFile/GetCommState failed with error N.\" line" "$dir/zmodem.log"
    elif ! clean_log "$dir/zmodem.log" |
        grep -qE "^Serial ports on this machine: .*COM3.*\. Choose one with the environment variable ZMODEM_PORT\.$"; then
        fail "$name" "no list of the ports naming COM3" "$dir/zmodem.log"
    elif clean_log "$dir/zmodem.log" | grep -qE "successfully reconfigured|ZMD009|^Error"; then
        fail "$name" "went on after the failed open" "$dir/zmodem.log"
    else
        pass "$name"
    fi
}
# The terminal, /t, in a tmux pane (Wine's console on a Unix terminal): it
# starts, keys go out on the line as typed (Enter as CR), what the line brings
# is shown (UTF-8 Greek included), and Ctrl-T q quits with status 0. Each step
# waits for the pane to show its text, looking again at its next output.
pane_shows() {
    local sock=$1 text=$2 tries=0 screen size
    while true; do
        screen=$(tmux -S "$sock" capture-pane -p -t w) && [[ "$screen" == *"$text"* ]] && return 0
        ((tries++ < 90)) || return 1
        size=$(stat -c %s "$WORK/terminal/pane.log")
        timeout 1 tail -c +$((size + 1)) -F "$WORK/terminal/pane.log" 2>/dev/null | head -c 1 >/dev/null
    done
}
# A receive that sz starts, its progress line naming the file in Greek, is
# stopped by Ctrl-C; then keys go out again. Sets reason when it fails.
terminal_receive_stopped() {
    local dir=$1 sock=$2 sender
    mkdir -p "$dir/remote"
    head -c 30000000 /dev/zero >"$dir/remote/Γράφημα.bin"
    (cd "$dir/remote" && exec timeout 60 sz Γράφημα.bin <"$LINE_B" >"$LINE_B" 2>/dev/null) &
    sender=$!
    if ! pane_shows "$sock" "Γράφημα.bin  "; then
        reason="no progress line naming Γράφημα.bin"
    else
        tmux -S "$sock" send-keys -t w C-c
        wait "$sender"
        pane_shows "$sock" "Transfer interrupted" || reason="Ctrl-C did not stop the receive"
        # Past what the stopped session left unread on the line.
        timeout 60 grep -aqm1 'ok-after' <&"$HOLD_B" &
        local reader=$!
        tmux -S "$sock" send-keys -t w ok-after C-j
        wait "$reader" || reason="keys did not go out after the Ctrl-C"
    fi
    kill "$sender" 2>/dev/null
    [ -z "$reason" ]
}
terminal_case() {
    local name="terminal /t: start, keys out, output in, a receive stopped by Ctrl-C, Ctrl-T q"
    if ! command -v tmux >/dev/null 2>&1; then
        echo "SKIP: $name (no tmux)"
        return
    fi
    local dir="$WORK/terminal" sock="$WORK/terminal/tmux" reason=""
    mkdir -p "$dir"
    : >"$dir/pane.log"
    start_line || { fail "$name" "no line"; return; }
    tmux -S "$sock" new-session -d -s w -x 120 -y 30 \
        "cd '$dir' && ZMODEM_PORT=COM1 LC_ALL=C.UTF-8 '$WINE' '$EXE' /t; echo wine-exit=\$?; exec cat"
    tmux -S "$sock" pipe-pane -t w "cat >>'$dir/pane.log'"
    if ! pane_shows "$sock" "Ctrl-T q quits"; then
        reason="it did not start"
    else
        timeout 60 head -c 3 <&"$HOLD_B" >"$dir/keys.out" &
        local reader=$!
        tmux -S "$sock" send-keys -t w hi Enter
        wait "$reader"
        if [ "$(od -An -c "$dir/keys.out" | tr -d ' ')" != 'hi\r' ]; then
            reason="the keys reached the line as '$(od -An -c "$dir/keys.out")'"
        else
            printf 'from-remote \316\223\316\265\316\271\316\254\r\n' >&"$HOLD_B"
            if ! pane_shows "$sock" "from-remote Γειά"; then
                reason="the line's output was not shown"
            elif ! terminal_receive_stopped "$dir" "$sock"; then
                :
            else
                tmux -S "$sock" send-keys -t w C-t q
                pane_shows "$sock" "wine-exit=0" || reason="Ctrl-T q did not end it with status 0"
            fi
        fi
    fi
    [ -z "$reason" ] || tmux -S "$sock" capture-pane -p -t w >"$dir/screen.log"
    tmux -S "$sock" kill-server 2>/dev/null
    stop_line
    if [ -n "$reason" ]; then fail "$name" "$reason" "$dir/screen.log"; else pass "$name"; fi
}
terminal_case

no_port_case COM1
no_port_case COM7

echo "Wine run took $(($(date +%s) - STARTED)) s"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
