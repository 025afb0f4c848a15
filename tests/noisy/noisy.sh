#!/usr/bin/env bash
# Transfers over a noisy line: tools/noisy_line corrupts bytes at a rate
# (both directions, from a seed) and paces the line to 115200 baud. Whether
# the file gets through is not asserted; what is asserted on every run is the
# invariant of tests/noisy/noisy_lib.sh: no side hangs (each is bounded by
# `timeout`, and that must not fire), and when both sides report success the
# received file is identical (a missing or different file is always reported
# by a side).
#
#   noisy.sh ZMODEM_BINARY NOISY_LINE_BINARY PAIR
#
# PAIR is sz-zmodem (lrzsz sz -> zmodem /r), zmodem-rz (zmodem /s -> rz) or
# zmodem-zmodem. The matrix is small (rates 1e-4, 3e-4, 1e-3; seeds 1 and 2;
# 20 kB files), all six runs at once; tests/noisy/report runs a larger one.

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../e2e/lib.sh"
e2e_init "${1:-}"
# shellcheck source=tests/noisy/noisy_lib.sh
. "$(dirname "$0")/noisy_lib.sh"
NOISY_LINE_BIN=${2:-}
if [[ -z "$NOISY_LINE_BIN" || ! -x "$NOISY_LINE_BIN" ]]; then
    echo "usage: $0 ZMODEM_BINARY NOISY_LINE_BINARY PAIR" >&2
    exit 2
fi
PAIR=${3:-}
case "$PAIR" in
    sz-zmodem | zmodem-rz | zmodem-zmodem) ;;
    *) echo "unknown pair '$PAIR' (sz-zmodem, zmodem-rz or zmodem-zmodem)" >&2; exit 2 ;;
esac
E2E_JOBS=${E2E_JOBS:-6}
RATES=${NOISY_RATES:-1e-4 3e-4 1e-3}
SEEDS=${NOISY_SEEDS:-1 2}
SIZE=${NOISY_SIZE:-20000}

run_case() {
    local name=$1 rate seed
    IFS=_ read -r _ rate seed <<<"$name"
    local dir
    dir=$(case_dir "$name")
    local rc=0
    noisy_transfer "$dir" "$PAIR" "$rate" "$seed" "$SIZE" || rc=1
    # pair rate seed size sender_status receiver_status both_ok same seconds verdict
    local -a r
    read -r -a r <"$dir/result" || { echo "FAIL: no result"; return 1; }
    echo "sender status ${r[4]}, receiver status ${r[5]}, file identical: ${r[7]}, verdict: ${r[9]}"
    case "${r[9]}" in
        hang) echo "FAIL: a side hung (its ${NOISY_SIDE_TIMEOUT}-s time-out fired)" ;;
        silent-corruption) echo "FAIL: both sides reported success but the file differs or is missing" ;;
        status-mismatch) echo "FAIL: zmodem exited with status 0 but the file did not arrive whole" ;;
        peer-stuck) echo "NOTE: the lrzsz side was still waiting ${NOISY_PEER_GRACE} s after zmodem had ended; stopped" ;;
    esac
    if ((rc != 0)); then show_outputs "$dir"; fi
    return "$rc"
}

names=()
for rate in $RATES; do
    for seed in $SEEDS; do names+=("${PAIR}_${rate}_${seed}"); done
done
echo "noisy line: $PAIR, rates $RATES, seeds $SEEDS, $SIZE-byte files"
run_cases run_case "${names[@]}"
