#!/usr/bin/env bash
# The kinds of line besides a device, against lrzsz: standard input and
# output (ZMODEM_PORT=-, joined to the cable by socat as a terminal program
# would join it), a raw TCP connection (tcp:127.0.0.1:PORT, socat listening
# with sz or rz behind), and a line that goes away in the middle of a
# transfer: exit 2 soon after, one message naming the line, the partial file
# kept. picocom runs the program as its --send-cmd and --receive-cmd, driven
# through tmux.
#
# Through ser2net in front of a pty, raw (tcp:) and telnet with RFC 2217
# (telnet:): a file dense in 0xFF, which telnet doubles, both ways, and the
# speed asked for reaching the device; and the telnet line lost mid-file.
#
#   lines.sh ZMODEM_BINARY CASE    (stdio | tcp | gone | stalled | ser2net | telnet_gone | picocom)
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../../tools/ser2net.sh"
e2e_init "$1"
KIND=${2:-stdio}

# stdio_case DIR DIRECTION: sz -> zmodem /r, or zmodem /s -> rz, the program
# on standard input and output.
stdio_case() {
    local dir=$1 direction=$2
    mkdir -p "$dir/src" "$dir/dst"
    make_every_byte "$dir/src/every.bin" 300
    cable_start "$dir" || return 1
    if [[ $direction == receive ]]; then
        peer_on_tty "$dir/b" "$dir/src" "$dir/peer" sz every.bin &
        local peer=$!
        (cd "$dir/dst" && ZMODEM_PORT=- timeout "$E2E_TRANSFER_TIMEOUT" \
            socat FILE:"$dir/a",raw,echo=0 EXEC:"'$ZMODEM_BIN' /r" 2>"$dir/out") </dev/null
        wait "$peer"
        expect_same "$dir/src/every.bin" "$dir/dst/every.bin" stdio-receive || return 1
    else
        peer_on_tty "$dir/b" "$dir/dst" "$dir/peer" rz &
        local peer=$!
        (cd "$dir/src" && ZMODEM_PORT=- timeout "$E2E_TRANSFER_TIMEOUT" \
            socat FILE:"$dir/a",raw,echo=0 EXEC:"'$ZMODEM_BIN' /s every.bin" 2>"$dir/out") </dev/null
        wait "$peer"
        expect_same "$dir/src/every.bin" "$dir/dst/every.bin" stdio-send || return 1
    fi
    # The transcript goes to standard error, and names the line.
    grep -q "Line - (standard input and output) successfully opened." "$dir/out" ||
        { echo "FAIL: stdio $direction: no success line on standard error"; cat "$dir/out"; return 1; }
    cable_stop "$dir"
}

# tcp_case DIR DIRECTION: lrzsz behind a listening socat, the program connects.
tcp_case() {
    local dir=$1 direction=$2 peer
    mkdir -p "$dir/src" "$dir/dst"
    make_every_byte "$dir/src/every.bin" 300
    if [[ $direction == receive ]]; then peer="cd '$dir/src' && exec sz every.bin"; else peer="cd '$dir/dst' && exec rz"; fi
    watch_start "$dir/listen.log" socat -d -d TCP-LISTEN:0,bind=127.0.0.1 SYSTEM:"$peer",pty,raw,echo=0 || return 1
    local listener=$WATCH_PID
    if ! watch_for '*listening on*'; then watch_close; echo "FAIL: no listener"; return 1; fi
    local port
    port=$(tail -n 1 "$dir/listen.log" | sed 's/.*://')
    watch_rest
    local work=$dir/dst args=(/r)
    [[ $direction == send ]] && work=$dir/src args=(/s every.bin)
    zmodem_on "tcp:127.0.0.1:$port" "$work" "$dir/out" "${args[@]}"
    wait "$listener"
    expect_status "$dir/out" 0 "tcp $direction" || return 1
    expect_same "$dir/src/every.bin" "$dir/dst/every.bin" "tcp-$direction" || return 1
    grep -q "Line tcp:127.0.0.1:$port successfully opened." "$dir/out" ||
        { echo "FAIL: tcp $direction: no success line"; return 1; }
}

# gone_case DIR DIRECTION: the cable is taken away once data flows; the
# program must end on its own with status 2 and say that the line is gone,
# not wait out its time-outs (ten of 24 s each). stalled: the cable stops
# taking bytes instead, under a sender streaming without a window, whose
# writes find no room: the line counts as gone after 30 s, not never.
gone_case() {
    local dir=$1 direction=$2 line=$1/a settings=""
    [[ $KIND == stalled ]] && settings=ZMODEM_WINDOW=0
    mkdir -p "$dir/src" "$dir/dst"
    make_random "$dir/src/big.bin" $((96 * 1024 * 1024))
    cable_start "$dir" || return 1
    if [[ $KIND == telnet_gone ]]; then
        ser2net_start "$dir" || return 1
        line=telnet:127.0.0.1:$SER2NET_PORT
    fi
    if [[ $direction == receive ]]; then
        peer_on_tty "$dir/b" "$dir/src" "$dir/peer" sz big.bin &
        watch_start "$dir/out" sh -c "cd '$dir/dst' && ZMODEM_PORT='$line' exec timeout ${E2E_TRANSFER_TIMEOUT} '$ZMODEM_BIN' /r; " || return 1
        local pid=$WATCH_PID
        watch_for '*opening file*' || { watch_rest; echo "FAIL: gone receive: no file opened"; return 1; }
        watch_rest
        # The first data has been written: the line is taken away mid-file.
        timeout 60 sh -c "until [ -s '$dir/dst/big.bin' ]; do :; done"
    else
        peer_on_tty "$dir/b" "$dir/dst" "$dir/peer" rz &
        watch_start "$dir/out" sh -c "cd '$dir/src' && $settings ZMODEM_PORT='$line' exec timeout ${E2E_TRANSFER_TIMEOUT} '$ZMODEM_BIN' /s big.bin" || return 1
        local pid=$WATCH_PID
        watch_for 'read 1024 bytes' || { watch_rest; echo "FAIL: gone send: no data sent"; return 1; }
        watch_rest
    fi
    local start=$SECONDS
    # telnet: the serial server goes away, and the connection with it.
    if [[ $KIND == telnet_gone ]]; then ser2net_down; fi
    if [[ $KIND == stalled ]]; then kill -STOP "$(cat "$dir/cable.pid")"; else cable_stop "$dir"; fi
    local rc=0
    wait "$pid" || rc=$?
    local took=$((SECONDS - start))
    [[ $KIND == stalled ]] && { kill -CONT "$(cat "$dir/cable.pid")"; cable_stop "$dir"; }
    wait "$WATCH_COPIER"
    wait
    [[ $rc == 2 ]] || { echo "FAIL: gone $direction: status $rc, not 2"; return 1; }
    # A bound far below the ten time-outs a quiet line would cost (240 s).
    # Stalled: 30 s from the last byte the line took, and the system may
    # still find room for a few once the cable has stopped.
    local least=0 most=5
    [[ $KIND == stalled ]] && least=25 most=100
    ((took >= least && took <= most)) || { echo "FAIL: gone $direction: took $took s to notice"; return 1; }
    [[ $(grep -c "LIN001 Line $line is gone" "$dir/out") == 1 ]] ||
        { echo "FAIL: gone $direction: not said once that the line is gone"; tail -5 "$dir/out"; return 1; }
    if [[ $direction == receive ]]; then
        local size
        size=$(stat -c %s "$dir/dst/big.bin")
        [[ $size -gt 0 && $size -lt $((96 * 1024 * 1024)) ]] || { echo "FAIL: partial file not kept ($size)"; return 1; }
        cmp -n "$size" "$dir/src/big.bin" "$dir/dst/big.bin" || { echo "FAIL: partial file damaged"; return 1; }
    fi
}


# ser2net_start DIR: ser2net on loopback in front of the cable end DIR/a,
# telnet with RFC 2217 on SER2NET_PORT, raw TCP on the next port and telnet
# without RFC 2217 on the one after; returns once it listens on all three.
ser2net_start() {
    command -v ser2net >/dev/null && command -v ss >/dev/null || { echo "missing tool: ser2net or ss; skipping"; exit 77; }
    ser2net_up "$1" "$1/a" 9600n81 "telnet(rfc2217),tcp" tcp "telnet,tcp" && return 0
    echo "FAIL: ser2net did not listen"; cat "$1/ser2net.log"; return 1
}

# ser2net_case DIR DIRECTION: raw and telnet, each on a fresh cable and
# server; telnet sets 57600 on the device, as seen there while connected; a
# telnet server without RFC 2217 is used as it is, and the program says so.
ser2net_case() {
    local dir=$1 direction=$2 form forms=(tcp telnet)
    [[ $direction == receive ]] && forms+=(plain)
    for form in "${forms[@]}"; do
        local d=$dir/$form
        mkdir -p "$d/src" "$d/dst"
        local i
        # Half the bytes 0xFF, in runs, each run followed by random bytes.
        for ((i = 0; i < 128; i++)); do tr '\0' '\377' </dev/zero | head -c 512; head -c 512 /dev/urandom; done >"$d/src/ff.bin"
        cable_start "$d" || return 1
        ser2net_start "$d" || return 1
        local port=$SER2NET_PORT
        [[ $form == tcp ]] && port=$((SER2NET_PORT + 1))
        [[ $form == plain ]] && port=$((SER2NET_PORT + 2))
        local name=${form/plain/telnet}:127.0.0.1:$port
        local peerdir=$d/src peer=(sz ff.bin) work=$d/dst args=(/r)
        [[ $direction == send ]] && peerdir=$d/dst peer=(rz) work=$d/src args=(/s ff.bin)
        (
            cd "$peerdir" || exit 1
            # The program's "rz" comes once it is connected and has set the
            # port up: the device side notes its speed then.
            if [[ $direction == send ]]; then
                timeout "$E2E_TRANSFER_TIMEOUT" dd bs=1 count=3 <"$d/b" >/dev/null 2>&1
                stty -F "$d/a" speed >"$d/speed" 2>&1
            fi
            exec timeout "$E2E_TRANSFER_TIMEOUT" "${peer[@]}" <"$d/b" >"$d/b" 2>"$d/peer"
        ) &
        local peerpid=$!
        ZMODEM_BAUD=57600 zmodem_on "$name" "$work" "$d/out" "${args[@]}"
        # A program that failed leaves the peer waiting: the cable goes first then.
        [[ $(cat "$d/out.rc") == 0 ]] && wait "$peerpid"
        ser2net_down
        cable_stop "$d"
        wait "$peerpid"
        expect_status "$d/out" 0 "$form $direction" || return 1
        expect_same "$d/src/ff.bin" "$d/dst/ff.bin" || return 1
        grep -q "Line $name successfully opened." "$d/out" ||
            { echo "FAIL: $form $direction: no success line"; return 1; }
        local refused="Line $name: the server does not set its serial port (RFC 2217 refused)"
        if [[ $form == plain ]]; then expect_text "$d/out" "$refused" "$form $direction" || return 1
        elif grep -qF "$refused" "$d/out"; then echo "FAIL: $form $direction: said RFC 2217 was refused"; return 1; fi
        if [[ $form == telnet && $direction == send ]]; then
            [[ $(cat "$d/speed") == 57600 ]] || { echo "FAIL: device speed $(cat "$d/speed"), not 57600"; return 1; }
        fi
    done
}

# screen_wait DIR TEXT [END]: waits (bounded) until the picocom screen,
# copied to DIR/screen by tmux, shows TEXT on a line that ends in END (a
# line end by default; a prompt ends in its colon).
screen_wait() {
    # The watchers hold no output of the script: they end at their deadline.
    grep -qF -m1 -- "$2" < <(exec 2>/dev/null; timeout "$E2E_TRANSFER_TIMEOUT" tail -c +1 -F "$1/screen" |
        exec stdbuf -o0 tr "${3:-\n}" '\n')
}

# picocom_case DIR DIRECTION: picocom on one end of the cable with the
# program (ZMODEM_PORT=-) as its send and receive command, sz or rz on the
# other; the keys go in through tmux, and each step waits for picocom's text.
picocom_case() {
    local dir=$1 direction=$2
    for tool in picocom tmux; do command -v "$tool" >/dev/null || { echo "missing $tool: skipping"; exit 77; }; done
    mkdir -p "$dir/src" "$dir/dst"
    make_every_byte "$dir/src/every.bin" 300
    cable_start "$dir" || return 1
    local tm=(tmux -L "zmodem-picocom-$$" -f /dev/null) work=$dir/dst
    [[ $direction == send ]] && work=$dir/src
    : >"$dir/screen"
    # picocom starts once its screen is being copied: it waits for "go".
    "${tm[@]}" new-session -d -x 160 -y 40 -c "$work" \
        "${tm[*]} wait-for go; picocom -b 115200 --send-cmd 'env ZMODEM_PORT=- $ZMODEM_BIN /s' \
            --receive-cmd 'env ZMODEM_PORT=- $ZMODEM_BIN /r' '$dir/a'" || return 1
    "${tm[@]}" pipe-pane -o "cat >>'$dir/screen'"
    "${tm[@]}" wait-for -S go
    local ok=0 keys=(C-a C-r)
    if [[ $direction == receive ]]; then
        peer_on_tty "$dir/b" "$dir/src" "$dir/peer" sz every.bin &
    else
        peer_on_tty "$dir/b" "$dir/dst" "$dir/peer" rz &
        keys=(C-a C-s)
    fi
    local peer=$!
    if screen_wait "$dir" "Terminal ready"; then
        "${tm[@]}" send-keys "${keys[@]}"
        screen_wait "$dir" "*** file" : && "${tm[@]}" send-keys "$([[ $direction == send ]] && echo every.bin)" Enter &&
            screen_wait "$dir" "*** exit status: " && ok=1
    fi
    "${tm[@]}" kill-server 2>/dev/null
    cable_stop "$dir"
    wait "$peer"
    [[ $ok == 1 ]] || { echo "FAIL: picocom $direction: no end of the command"; tr -d '\r' <"$dir/screen" | tail -5; return 1; }
    grep -qF "*** exit status: 0 ***" "$dir/screen" ||
        { echo "FAIL: picocom $direction: the command failed"; tr -d '\r' <"$dir/screen" | tail -8; return 1; }
    expect_same "$dir/src/every.bin" "$dir/dst/every.bin" "picocom-$direction"
}

status=0
for direction in receive send; do
    dir=$(case_dir "$KIND-$direction")
    case_fn=${KIND}_case
    [[ $KIND == telnet_gone || $KIND == stalled ]] && case_fn=gone_case
    [[ $KIND == stalled && $direction == receive ]] && continue
    if "$case_fn" "$dir" "$direction"; then echo "ok: $KIND $direction"; else status=1; E2E_FAILED=1; fi
done
exit "$status"
