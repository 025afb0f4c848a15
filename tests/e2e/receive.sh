#!/usr/bin/env bash
# Receiving: lrzsz `sz` sends, `zmodem /r` receives, over a virtual
# null-modem cable. Every file must arrive byte for byte, both sides must end
# with status 0 and the program must print no error line.
#
#   receive.sh ZMODEM_BINARY crc32|crc16|escaped|windowed
#
# crc32 is sz's default; crc16 runs `sz -o`, which keeps to 16-bit CRCs;
# escaped runs `sz -e`, which opens with ZSINIT and escapes every control
# character; windowed runs `sz -w 2048`, which ends subpackets with ZCRCQ and
# waits for acknowledgements. The
# bytes sz put on the line are checked for the header kind the mode implies,
# so a run that silently fell back to the other CRC fails.

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init "${1:-}"
# shellcheck source=tests/noisy/noisy_lib.sh
. "$(dirname "$0")/../noisy/noisy_lib.sh"
NOISY_LINE_BIN=$(dirname "$ZMODEM_BIN")/noisy_line
MODE=${2:-crc32}
case "$MODE" in
    crc32) SZ_OPTS=() ;;
    crc16) SZ_OPTS=(-o) ;;
    escaped) SZ_OPTS=(-e) ;;
    windowed) SZ_OPTS=(-w 2048) ;;
    *) echo "unknown mode $MODE (crc32, crc16, escaped or windowed)" >&2; exit 2 ;;
esac

# Files sent by each case. A name's form picks its content:
#   random-N  N random bytes      bytes-R  every byte value, R times over
#   escape-R  bytes to escape, R times
CASE_NAMES=(size-0 size-1 size-1023 size-1024 size-1025 random-100k every-byte batch)
declare -A CASE_FILES=(
    [size-0]="random-0"
    [size-1]="random-1"
    [size-1023]="random-1023"
    [size-1024]="random-1024"
    [size-1025]="random-1025"
    [random-100k]="random-102400"
    [every-byte]="bytes-100"
    [batch]="random-0 random-1 random-1025 random-4096 bytes-20 escape-300 random-30000"
)
if [[ "$MODE" == escaped || "$MODE" == windowed ]]; then
    CASE_NAMES=(size-0 size-1025 random-100k every-byte batch)
fi
# What stands in the receiving directory under the first file's name before
# a case, and sz's own options for it. dir, fifo and link (a dangling symbolic
# link): the file cannot be created, is skipped, the rest of the batch arrives
# and the status is 2; nothing is written through the link. other: a file
# that `sz -p` protects; it stays as it was and the status is 0. partial: the
# first part of the file with other first bytes, which `sz -r` resumes; only
# a resumed transfer keeps them.
CASE_NAMES+=(cannot-create)
CASE_FILES[cannot-create]="random-500 random-700"
declare -A CASE_EXISTING=([cannot-create]=dir)
declare -A CASE_SZ=()

# sz on the terminal itself, as a user at a shell on that line would run it
# (the other cases reach the line through socat). On a line paced to 115200
# baud: progress, standard error on a terminal; interrupted, SIGINT midway.
if [[ "$MODE" == crc32 ]]; then
    CASE_NAMES+=(batch-on-tty blocked-fifo blocked-link protect resume progress interrupted)
    CASE_FILES[batch-on-tty]="random-2000 bytes-4"
    CASE_FILES[blocked-fifo]="random-500 random-700"
    CASE_EXISTING[blocked-fifo]=fifo
    CASE_FILES[blocked-link]="random-500 random-700"
    CASE_EXISTING[blocked-link]=link
    CASE_FILES[protect]="random-600 random-800"
    CASE_EXISTING[protect]=other
    CASE_SZ[protect]=-p
    CASE_FILES[resume]="random-5000"
    CASE_EXISTING[resume]=partial
    CASE_SZ[resume]=-r
    CASE_FILES[progress]="random-40000"
    CASE_FILES[interrupted]="random-300000"
fi
PACED=" progress interrupted "

# prepare_existing DIR KIND FILE: puts what KIND names under FILE in DIR/rx;
# DIR/want is what the receiver must leave there.
prepare_existing() {
    local dir=$1 kind=$2 f=$3
    case "$kind" in
        dir) mkdir "$dir/rx/$f" ;;
        fifo) mkfifo "$dir/rx/$f" ;;
        link) ln -s ../outside "$dir/rx/$f" ;;
        other) make_random "$dir/want" 100 && cp "$dir/want" "$dir/rx/$f" ;;
        partial)
            { printf 'DIFFERENT!' && head -c 2000 "$dir/src/$f" | tail -c +11; } >"$dir/rx/$f"
            { head -c 10 "$dir/rx/$f" && tail -c +11 "$dir/src/$f"; } >"$dir/want"
            ;;
    esac
}

make_case_file() {
    local path=$1 name
    name=$(basename "$path")
    case "$name" in
        random-*) make_random "$path" "${name#random-}" ;;
        bytes-*) make_every_byte "$path" "${name#bytes-}" ;;
        escape-*) make_escape_dense "$path" "${name#escape-}" ;;
    esac
    # An old time, which the receiver must give its copy.
    touch -d @1000000000 "$path"
}

# The line carries headers as ZPAD ZDLE and a frame letter: 'A' for binary
# with CRC-16, 'C' for binary with CRC-32.
check_wire() {
    local wire=$1
    [[ -f "$wire" ]] || return 0
    if [[ "$MODE" != crc16 ]]; then
        if ! LC_ALL=C grep -aqF $'*\x18C' "$wire"; then
            echo "FAIL: sz sent no CRC-32 header in the default mode"
            return 1
        fi
    else
        if LC_ALL=C grep -aqF $'*\x18C' "$wire"; then
            echo "FAIL: sz -o sent a CRC-32 header"
            return 1
        fi
        if ! LC_ALL=C grep -aqF $'*\x18A' "$wire"; then
            echo "FAIL: sz -o sent no CRC-16 binary header"
            return 1
        fi
    fi
}

run_case() {
    local name=$1 dir f
    dir=$(case_dir "$MODE-$name")
    mkdir "$dir/src" "$dir/rx"
    local -a files
    read -r -a files <<<"${CASE_FILES[$name]}"
    for f in "${files[@]}"; do make_case_file "$dir/src/$f"; done
    local existing=${CASE_EXISTING[$name]:-} blocked=""
    [[ -z "$existing" ]] || prepare_existing "$dir" "$existing" "${files[0]}"
    [[ "$existing" == dir || "$existing" == fifo || "$existing" == link ]] && blocked=${files[0]}
    local -a sz_opts=("${SZ_OPTS[@]}")
    [[ -z "${CASE_SZ[$name]:-}" ]] || sz_opts+=("${CASE_SZ[$name]}")
    if [[ "$PACED" == *" $name "* ]]; then
        noisy_line_start "$dir" 0 1 || return 1
    else
        cable_start "$dir" || return 1
    fi
    if [[ "$name" == interrupted ]]; then
        run_interrupted "$dir" "${files[0]}"
        return
    fi

    E2E_STDERR_TTY=$([[ "$name" == progress ]] && echo 1 || echo 0) zmodem_on "$dir/a" "$dir/rx" "$dir/zmodem.out" /r \
        >"$dir/zmodem.tty" &
    local receiver=$!
    if [[ "$name" == *-on-tty || "$PACED" == *" $name "* ]]; then
        peer_on_tty "$dir/b" "$dir/src" "$dir/sz.out" sz "${sz_opts[@]}" "${files[@]}"
    else
        sz_bridged "$dir/b" "$dir/src" "$dir/sz.out" "${sz_opts[@]}" "${files[@]}"
    fi
    wait "$receiver"
    cable_stop "$dir"

    local ok=0
    expect_status "$dir/sz.out" 0 sz || ok=1
    expect_status "$dir/zmodem.out" "$([[ -n "$blocked" ]] && echo 2 || echo 0)" "zmodem /r" || ok=1
    expect_common_output "$dir/zmodem.out" "$dir/a" "zmodem /r" || ok=1
    expect_clean "$dir/zmodem.out" "zmodem /r" || ok=1
    local want_closed=0
    for f in "${files[@]}"; do
        if [[ "$f" == "$blocked" ]]; then
            expect_text "$dir/zmodem.out" "failed to open file $f" "zmodem /r" || ok=1
        elif [[ "$f" == "${files[0]}" && "$existing" == other ]]; then
            expect_text "$dir/zmodem.out" "file $f was skipped as the sender asked" "zmodem /r" || ok=1
            expect_same "$dir/want" "$dir/rx/$f" || ok=1
        else
            expect_text "$dir/zmodem.out" "opening file $f" "zmodem /r" || ok=1
            if [[ "$f" == "${files[0]}" && "$existing" == partial ]]; then
                expect_same "$dir/want" "$dir/rx/$f" || ok=1
            else
                expect_same "$dir/src/$f" "$dir/rx/$f" || ok=1
            fi
            if [[ "$(stat -c %Y "$dir/rx/$f")" != 1000000000 ]]; then
                echo "FAIL: $f did not keep the sender's time"
                ok=1
            fi
            want_closed=$((want_closed + 1))
        fi
    done
    if [[ -e "$dir/outside" ]]; then
        echo "FAIL: the receiver wrote through the link"
        ok=1
    fi
    local closed
    closed=$(grep -ac '^closing file' "$dir/zmodem.out")
    if [[ "$closed" != "$want_closed" ]]; then
        echo "FAIL: zmodem /r closed $closed files, expected $want_closed"
        ok=1
    fi
    check_wire "$dir/sz.out.wire" || ok=1
    [[ "$name" != progress ]] || expect_progress "$dir/zmodem.tty" "zmodem /r" || ok=1
    if ((ok != 0)); then show_outputs "$dir"; fi
    return "$ok"
}

# SIGINT to zmodem /r midway: both ends stop, the part received is kept.
run_interrupted() {
    local dir=$1 file=$2 ok=0
    E2E_STDERR_TTY=1 watch_start "$dir/zmodem.tty" zmodem_on "$dir/a" "$dir/rx" "$dir/zmodem.out" /r
    local receiver=$WATCH_PID
    E2E_TRANSFER_TIMEOUT=30 peer_on_tty "$dir/b" "$dir/src" "$dir/sz.out" sz "$file" &
    local sender=$!
    interrupt_midway "$dir/zmodem.out" "zmodem /r" || ok=1
    wait "$receiver" "$sender"
    cable_stop "$dir"
    expect_status "$dir/zmodem.out" 2 "zmodem /r" || ok=1
    expect_text "$dir/zmodem.out" "ZMD011 Transfer interrupted" "zmodem /r" || ok=1
    expect_stopped "$dir/sz.out" sz || ok=1
    local got
    got=$(stat -c %s "$dir/rx/$file" 2>/dev/null || echo 0)
    if ((got == 0 || got >= $(stat -c %s "$dir/src/$file"))) || ! cmp -s -n "$got" "$dir/src/$file" "$dir/rx/$file"; then
        echo "FAIL: kept $got bytes, not a part of $file"
        ok=1
    fi
    if ((ok != 0)); then show_outputs "$dir"; fi
    return "$ok"
}

echo "receive ($MODE): sz -> zmodem /r"
run_cases run_case "${CASE_NAMES[@]}"
