#!/bin/sh
# start|stop <state folder>: a loopback HTTP server over <state folder>/www
# for the download tests. The port goes to <state folder>/www.port, where the
# tests read it (through Z:\), and the server's pid to www.pid.
set -eu
action=$1
state=$2
pidfile=$state/www.pid

stop_server() {
    if [ -f "$pidfile" ]; then
        pid=$(cat "$pidfile")
        # Only our own server: the pid may have been reused since.
        if grep -q "http.server" "/proc/$pid/cmdline" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
        fi
        rm -f "$pidfile" "$state/www.port"
    fi
}

case "$action" in
start)
    mkdir -p "$state/www"
    stop_server
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    nohup python3 -m http.server --bind 127.0.0.1 --directory "$state/www" "$port" \
        >"$state/www.log" 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
        if python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/')" 2>/dev/null; then
            echo "$port" >"$state/www.port"
            exit 0
        fi
        sleep 0.1
    done
    echo "http server did not answer on port $port" >&2
    stop_server
    exit 1
    ;;
stop)
    stop_server
    ;;
*)
    echo "usage: $0 start|stop <state folder>" >&2
    exit 2
    ;;
esac
