#!/usr/bin/env bash
# Sending: `zmodem /s FILE` sends one file over a virtual null-modem cable to
# a receiver, lrzsz `rz` or a second `zmodem /r`. The copy must match byte for
# byte, both sides must end with status 0 and neither may print an error line.
#
#   send.sh ZMODEM_BINARY rz|zmodem
#
# The sender streams about 1 kB per 110 ms, so the 100 kB case takes ~11 s;
# the cases run side by side to keep the total near that.

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init "${1:-}"
# shellcheck source=tests/noisy/noisy_lib.sh
. "$(dirname "$0")/../noisy/noisy_lib.sh"
NOISY_LINE_BIN=$(dirname "$ZMODEM_BIN")/noisy_line
PEER=${2:-rz}
case "$PEER" in
    rz | zmodem) ;;
    *) echo "unknown receiver $PEER (rz or zmodem)" >&2; exit 2 ;;
esac

# The longest first, so that it overlaps the short ones.
# missing-file names a file that does not exist: the sender says so, still
# closes the session with the receiver, and exits with status 2.
# name-* send under names whose bytes lie in the escape set (UTF-8 Greek and
# Cyrillic, Windows-1252 quotes), which rz would drop as flow control were
# they not escaped; our own receiver gets the densest of them. ctl-* go to
# `rz -e`, which asks for every control character to be escaped; our own
# receiver never asks. batch-gap sends three names, the middle one missing:
# the other two arrive and the sender's status is 2. Every file sent is dated
# in 2001 and is mode 0640; the copy must keep the time, and rz the mode.
CASE_NAMES=(random-100k size-0 size-1 size-500 size-1023 size-1024 size-1025 size-2048 size-2500 escape-dense
    missing-file name-cp1252 batch-gap)
[[ "$PEER" == rz ]] && CASE_NAMES+=(name-greek name-cyrillic ctl-random ctl-zeros ctl-name)
# progress: standard error on a terminal (shared: standard output too);
# interrupted: SIGINT midway. Both on a line paced to 115200 baud, which the
# sender keeps up with.
[[ "$PEER" == rz ]] && CASE_NAMES+=(progress progress-shared interrupted)

# The names a case's files are sent under.
case_file() {
    case "$1" in
        batch-gap) echo 'a.bin missing.bin c.bin' ;;
        name-greek) echo 'Γράφημα.txt' ;;
        name-cyrillic) echo 'ёлка-Б.bin' ;;
        name-cp1252 | ctl-name) printf '\x91cp\x92-\x93q\x94.txt' ;;
        *) echo "$1.bin" ;;
    esac
}

make_case_file() {
    local path=$1 name=$2
    case "$name" in
        size-*) make_random "$path" "${name#size-}" ;;
        random-100k) make_random "$path" 102400 ;;
        escape-dense) make_escape_dense "$path" 500 ;;
        name-* | ctl-name) make_random "$path" 3000 ;;
        ctl-random) make_random "$path" 20000 ;;
        ctl-zeros) head -c 5000 /dev/zero >"$path" ;;
        batch-gap) make_random "$path" 1500 ;;
        progress*) make_random "$path" 150000 ;;
        interrupted) make_random "$path" 200000 ;;
    esac
    touch -d @1000000000 "$path"
    chmod 0640 "$path"
}

check_missing_file() {
    local dir=$1 file=$2 ok=0
    expect_status "$dir/sender.out" 2 "zmodem /s" || ok=1
    expect_common_output "$dir/sender.out" "$dir/a" "zmodem /s" || ok=1
    expect_text "$dir/sender.out" "failed to open file $file" "zmodem /s" || ok=1
    expect_clean "$dir/sender.out" "zmodem /s" || ok=1
    if [[ "$PEER" == rz ]]; then
        expect_status "$dir/rz.out" 0 rz || ok=1
    else
        expect_status "$dir/receiver.out" 0 "zmodem /r" || ok=1
        expect_clean "$dir/receiver.out" "zmodem /r" || ok=1
    fi
    if [[ -n "$(ls -A "$dir/rx")" ]]; then
        echo "FAIL: the receiver created $(ls -A "$dir/rx")"
        ok=1
    fi
    return "$ok"
}

run_case() {
    local name=$1 dir
    dir=$(case_dir "$PEER-$name")
    mkdir "$dir/src" "$dir/rx"
    # The name travels as given, so the sender runs beside its file.
    local -a files
    read -r -a files <<<"$(case_file "$name")"
    local file=${files[0]} f
    for f in "${files[@]}"; do
        [[ "$name" == missing-file || "$f" == missing.bin ]] || make_case_file "$dir/src/$f" "$name"
    done
    if [[ "$name" == progress* || "$name" == interrupted ]]; then
        noisy_line_start "$dir" 0 1 || return 1
    else
        cable_start "$dir" || return 1
    fi

    local receiver
    if [[ "$PEER" == rz ]]; then
        local -a rz=(rz)
        [[ "$name" == ctl-* ]] && rz=(rz -e)
        # Stopped by the abort within a second, rz must not need its own time-outs.
        E2E_TRANSFER_TIMEOUT=$([[ "$name" == interrupted ]] && echo 30 || echo "$E2E_TRANSFER_TIMEOUT") \
            peer_on_tty "$dir/b" "$dir/rx" "$dir/rz.out" "${rz[@]}" &
    else
        zmodem_on "$dir/b" "$dir/rx" "$dir/receiver.out" /r &
    fi
    receiver=$!
    local ok=0
    if [[ "$name" == interrupted ]]; then
        E2E_STDERR_TTY=1 watch_start "$dir/sender.tty" zmodem_on "$dir/a" "$dir/src" "$dir/sender.out" /s "$file"
        interrupt_midway "$dir/sender.out" "zmodem /s" || ok=1
        wait "$WATCH_PID"
    else
        local tty=0
        [[ "$name" == progress ]] && tty=1
        [[ "$name" == progress-shared ]] && tty=2
        E2E_STDERR_TTY=$tty zmodem_on "$dir/a" "$dir/src" "$dir/sender.out" /s "${files[@]}" >"$dir/sender.tty"
    fi
    wait "$receiver"
    cable_stop "$dir"

    if [[ "$name" == interrupted ]]; then
        expect_status "$dir/sender.out" 2 "zmodem /s" || ok=1
        expect_text "$dir/sender.out" "ZMD011 Transfer interrupted" "zmodem /s" || ok=1
        expect_stopped "$dir/rz.out" rz || ok=1
        if ((ok != 0)); then show_outputs "$dir"; fi
        return "$ok"
    fi
    if [[ "$name" == missing-file ]]; then
        check_missing_file "$dir" "$file" || ok=1
        if ((ok != 0)); then show_outputs "$dir"; fi
        return "$ok"
    fi
    expect_status "$dir/sender.out" "$([[ "$name" == batch-gap ]] && echo 2 || echo 0)" "zmodem /s" || ok=1
    expect_common_output "$dir/sender.out" "$dir/a" "zmodem /s" || ok=1
    expect_clean "$dir/sender.out" "zmodem /s" || ok=1
    if [[ "$PEER" == rz ]]; then
        expect_status "$dir/rz.out" 0 rz || ok=1
    else
        expect_status "$dir/receiver.out" 0 "zmodem /r" || ok=1
        expect_common_output "$dir/receiver.out" "$dir/b" "zmodem /r" || ok=1
        expect_clean "$dir/receiver.out" "zmodem /r" || ok=1
    fi
    for file in "${files[@]}"; do
        if [[ "$file" == missing.bin ]]; then
            expect_text "$dir/sender.out" "failed to open file $file" "zmodem /s" || ok=1
            continue
        fi
        expect_text "$dir/sender.out" "opening file $file" "zmodem /s" || ok=1
        if grep -aq "^failed to open file $file" "$dir/sender.out"; then
            echo "FAIL: zmodem /s could not open $file"
            ok=1
        fi
        [[ "$PEER" == rz ]] || expect_text "$dir/receiver.out" "opening file $file" "zmodem /r" || ok=1
        expect_same "$dir/src/$file" "$dir/rx/$file" || ok=1
        local kept
        kept=$(stat -c %Y "$dir/rx/$file" 2>/dev/null)
        [[ "$PEER" == rz ]] && kept+=" $(stat -c %a "$dir/rx/$file" 2>/dev/null)"
        if [[ "$kept" != "1000000000$([[ "$PEER" == rz ]] && printf ' %o' $((0640 & ~$(umask))))" ]]; then
            echo "FAIL: $file arrived with time and mode $kept"
            ok=1
        fi
    done
    expect_text "$dir/sender.out" "closing file" "zmodem /s" || ok=1
    [[ "$name" != progress* ]] || expect_progress "$dir/sender.tty" "zmodem /s" || ok=1
    [[ "$name" != progress-shared ]] || expect_unmixed "$dir/sender.tty" "zmodem /s" || ok=1
    if ((ok != 0)); then show_outputs "$dir"; fi
    return "$ok"
}

echo "send: zmodem /s -> $PEER"
run_cases run_case "${CASE_NAMES[@]}"
