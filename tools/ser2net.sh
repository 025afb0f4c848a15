# ser2net on loopback in front of a device, for the tests and benchmarks.
# Source it from bash:
#
#   . tools/ser2net.sh
#   ser2net_up DIR DEVICE SETTINGS ACCEPTER...
#       e.g. ser2net_up "$dir" "$dir/a" 9600n81 "telnet(rfc2217),tcp" tcp
#   ... SER2NET_PORT is the first accepter's port, the others follow it;
#       SER2NET_PID is the server, a child of this shell.
#   ser2net_down
#
# ser2net says nothing when it listens, and it keeps running when a port of
# its is taken, retrying every 10 s; once in that state it lets the first
# TERM go by. So the server is taken as up once its own pid holds every
# port, a fresh base port is tried when it says a port is taken, and a
# server is stopped with KILL when TERM has not ended it within 10 s.
# shellcheck shell=bash

# ser2net_up DIR DEVICE SETTINGS ACCEPTER...: writes DIR/ser2net.yaml and
# DIR/ser2net.log; status 1 when five tries, each bounded, found no ports.
ser2net_up() {
    local dir=$1 device=$2 settings=$3 accepter count deadline
    shift 3
    for _ in 1 2 3 4 5; do
        # Below Linux's ephemeral ports, where connections of other tests are.
        SER2NET_PORT=$((10000 + RANDOM % 20000))
        count=0
        for accepter in "$@"; do
            printf 'connection: &c%s\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,%s,local\n' \
                "$count" "$accepter" $((SER2NET_PORT + count)) "$device" "$settings"
            count=$((count + 1))
        done >"$dir/ser2net.yaml"
        ser2net -d -u -c "$dir/ser2net.yaml" >"$dir/ser2net.log" 2>&1 &
        SER2NET_PID=$!
        deadline=$((SECONDS + 20))
        while kill -0 "$SER2NET_PID" 2>/dev/null && ((SECONDS < deadline)) &&
            ! grep -q "Unable to startup network port" "$dir/ser2net.log"; do
            [[ $(ss -Hltnp "sport >= :$SER2NET_PORT and sport < :$((SER2NET_PORT + count))" |
                grep -c "pid=$SER2NET_PID,") == "$count" ]] && return 0
        done
        kill -KILL "$SER2NET_PID" 2>/dev/null || true
        wait "$SER2NET_PID" 2>/dev/null || true
        SER2NET_PID=
    done
    return 1
}

# ser2net_down: stops the server ser2net_up started, bounded.
ser2net_down() {
    [[ -n ${SER2NET_PID:-} ]] || return 0
    kill "$SER2NET_PID" 2>/dev/null || true
    timeout 10 tail -s 0.1 --pid="$SER2NET_PID" -f /dev/null || kill -KILL "$SER2NET_PID" 2>/dev/null || true
    wait "$SER2NET_PID" 2>/dev/null || true
    SER2NET_PID=
}
