#!/usr/bin/env bash
# The terminal, `zmodem /t`, under tmux, on a line whose other end is an
# interactive shell with lrzsz (socat's EXEC with a pty of its own): a command
# and its output, sz and rz started from the remote, Ctrl-T s, Ctrl-C during
# a transfer, and the ways out (the line gone, SIGHUP) with the terminal's
# modes given back. Every step waits for text on the tmux screen.
#
#   terminal.sh ZMODEM_BINARY

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init "${1:-}"
command -v tmux >/dev/null 2>&1 || { echo "missing tool: tmux; skipping" >&2; exit 77; }

# screen_has DIR TEXT: the pane shows TEXT (a fixed string).
screen_has() {
    local screen
    screen=$(tmux -S "$1/tmux" capture-pane -p -t t) && [[ "$screen" == *"$2"* ]]
}

# wait_screen DIR TEXT: waits until the pane shows TEXT. Between looks it
# waits for the pane's next output (tail follows its log) or one second.
wait_screen() {
    local dir=$1 text=$2 tries=0 size
    while ! screen_has "$dir" "$text"; do
        ((tries++ < 60)) || { echo "FAIL: the screen never showed '$text'"; tmux -S "$dir/tmux" capture-pane -p -t t; return 1; }
        size=$(stat -c %s "$dir/pane.log")
        timeout 1 tail -c +$((size + 1)) -F "$dir/pane.log" 2>/dev/null | head -c 1 >/dev/null
    done
    return 0
}

keys() { tmux -S "$1/tmux" send-keys -t t "${@:2}"; }

# start_terminal DIR: the remote shell on one end of a pty pair, the terminal
# on the other inside tmux, and the remote's prompt on screen.
start_terminal() {
    local dir=$1
    mkdir -p "$dir/remote" "$dir/local"
    printf 'cd %q && PS1="remote\\$ " exec bash --norc --noprofile -i\n' "$dir/remote" >"$dir/remote.sh"
    watch_start "$dir/cable.err" socat -d -d pty,raw,echo=0,link="$dir/a" EXEC:"bash $dir/remote.sh",pty,setsid,ctty,stderr,sane || return 1
    echo "$WATCH_PID" >"$dir/cable.pid"
    watch_for '*starting data transfer loop*' || { echo "FAIL: the line did not come up"; return 1; }
    watch_rest
    cat >"$dir/local.sh" <<SH
cd '$dir/local'
stty -g >'$dir/stty.before'
${TERMINAL_ENV:-} ZMODEM_PORT='$dir/a' sh -c 'echo \$\$ >"\$0"; exec "\$@"' '$dir/zmodem.pid' '$ZMODEM_BIN' /t
rc=\$?
stty -g >'$dir/stty.after'
echo "terminal exit=\$rc"
exec cat
SH
    tmux -S "$dir/tmux" new-session -d -s t -x 150 -y 45 "bash '$dir/local.sh'"
    tmux -S "$dir/tmux" pipe-pane -t t "cat >>'$dir/pane.log'"
    : >>"$dir/pane.log"
    wait_screen "$dir" "Ctrl-T q quits" || return 1
    keys "$dir" Enter
    wait_screen "$dir" 'remote$'
}

stop_terminal() {
    tmux -S "$1/tmux" kill-server 2>/dev/null
    # The program ends with its console; one that does not within 10 s (the
    # leak checker of a sanitized build has hung there) is not left running.
    local pid
    pid=$(cat "$1/zmodem.pid" 2>/dev/null) || pid=
    if [[ -n $pid ]]; then
        timeout 10 tail --pid="$pid" -f /dev/null
        kill -KILL "$pid" 2>/dev/null
    fi
    cable_stop "$1"
}

expect_modes_back() {
    cmp -s "$1/stty.before" "$1/stty.after" || { echo "FAIL: stty -g before and after differ"; return 1; }
}

run_case() {
    local name=$1 dir rc=0
    [[ -n "${E2E_TRACE:-}" ]] && set -x
    dir=$(case_dir "$name")
    [[ "$name" == autostart-off ]] && local TERMINAL_ENV=ZMODEM_AUTOSTART=off
    start_terminal "$dir" || { stop_terminal "$dir"; return 1; }
    case "$name" in
        command)
            keys "$dir" 'echo out-$((6*7))' Enter
            wait_screen "$dir" out-42 || rc=1
            keys "$dir" C-t q
            wait_screen "$dir" "terminal exit=0" && expect_modes_back "$dir" || rc=1
            ;;
        sz-from-remote)
            make_random "$dir/remote/a" 30000
            make_random "$dir/remote/b b" 7000
            # A last file skipped (it is there already) makes sz repeat its ZFIN.
            make_random "$dir/remote/c" 100
            cp "$dir/remote/c" "$dir/local/c"
            keys "$dir" "sz -p a 'b b' c; echo sz-exit=\$?" Enter
            wait_screen "$dir" "sz-exit=0" || rc=1
            expect_same "$dir/remote/a" "$dir/local/a" && expect_same "$dir/remote/b b" "$dir/local/b b" || rc=1
            # The prompt is back clean: no header debris before it.
            keys "$dir" 'echo after' Enter
            wait_screen "$dir" 'remote$ echo after' || rc=1
            local screen
            screen=$(tmux -S "$dir/tmux" capture-pane -p -t t)
            if grep -aE 'B0[018]0000|OO|\*\*' <<<"$screen"; then echo "FAIL: session debris on screen"; rc=1; fi
            ;;
        rz-from-remote)
            make_random "$dir/local/c.bin" 20000
            keys "$dir" "rz; echo rz-exit=\$?" Enter
            wait_screen "$dir" "Files to send:" || rc=1
            keys "$dir" c.bin Enter
            wait_screen "$dir" "rz-exit=0" || rc=1
            expect_same "$dir/local/c.bin" "$dir/remote/c.bin" || rc=1
            ;;
        rz-empty-answer)
            keys "$dir" "rz; echo rz-exit=\$?" Enter
            wait_screen "$dir" "Files to send:" || rc=1
            keys "$dir" Enter
            wait_screen "$dir" "rz-exit=1" || rc=1
            ;;
        autostart-off)
            # The invitation is shown as it comes, and nothing starts.
            make_random "$dir/remote/a" 1000
            keys "$dir" "sz a; echo sz-exit=\$?" Enter
            wait_screen "$dir" "B00000000000000" || rc=1
            keys "$dir" C-x C-x C-x C-x C-x C-x C-x C-x C-x C-x  # the cancel, typed
            wait_screen "$dir" "sz-exit=1" || rc=1
            [[ -e "$dir/local/a" ]] && { echo "FAIL: a transfer started"; rc=1; }
            ;;
        ctrl-t-send)
            make_random "$dir/local/with space.txt" 5000
            make_random "$dir/local/Γράφημα.txt" 4000
            keys "$dir" C-t s
            wait_screen "$dir" "Files to send:" || rc=1
            keys "$dir" -l '"with space.txt" Γράφημα.txt'
            keys "$dir" Enter
            wait_screen "$dir" "2 files" || rc=1
            keys "$dir" 'echo done-$((1+1))' Enter
            wait_screen "$dir" done-2 || rc=1
            expect_same "$dir/local/with space.txt" "$dir/remote/with space.txt" &&
                expect_same "$dir/local/Γράφημα.txt" "$dir/remote/Γράφημα.txt" || rc=1
            ;;
        ctrl-c)
            # Bytes that go unescaped and are no text: what is still in flight
            # after the cancel must not reach the screen.
            head -c 200000000 /dev/zero | tr '\0' '\200' >"$dir/remote/big"
            keys "$dir" "sz big; echo sz-exit=\$?" Enter
            wait_screen "$dir" "big  " || rc=1
            keys "$dir" C-c
            wait_screen "$dir" "sz-exit=1" || rc=1
            screen_has "$dir" "failed: ZMD011" || { echo "FAIL: no closing line for the file"; rc=1; }
            local debris
            debris=$(tr -dc '\200' <"$dir/pane.log" | wc -c)
            ((debris == 0)) || { echo "FAIL: $debris bytes of the cancelled session shown"; rc=1; }
            keys "$dir" 'echo still-$((2+2))' Enter
            wait_screen "$dir" still-4 || rc=1
            [[ -f "$dir/local/big" ]] || { echo "FAIL: the partial file was not kept"; rc=1; }
            ;;
        line-gone)
            cable_stop "$dir"
            wait_screen "$dir" "terminal exit=2" || rc=1
            screen_has "$dir" "is gone" || { echo "FAIL: no message for the line gone"; rc=1; }
            expect_modes_back "$dir" || rc=1
            ;;
        sighup)
            kill -HUP "$(cat "$dir/zmodem.pid")"
            wait_screen "$dir" "terminal exit=2" && expect_modes_back "$dir" || rc=1
            # The shell after it starts on a line of its own.
            tmux -S "$dir/tmux" capture-pane -p -t t | grep -q '^terminal exit=2' || { echo "FAIL: exit mid-line"; rc=1; }
            ;;
    esac
    ((rc == 0)) || tmux -S "$dir/tmux" capture-pane -p -t t
    stop_terminal "$dir"
    return "$rc"
}

run_cases run_case ${E2E_CASES:-command sz-from-remote rz-from-remote rz-empty-answer autostart-off ctrl-t-send ctrl-c line-gone sighup}
