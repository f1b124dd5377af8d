#!/bin/bash
# Load check by hand: the same bounded ab run against brindlecot-httpd and
# against Python's http.server, both serving one small site on loopback.
# Prints requests per second of each and the daemon's memory before and
# after. Usage: tools/httpd-load-check.sh [build_dir] [requests] [concurrency]
set -euo pipefail

usage() {
    echo "usage: bash tools/httpd-load-check.sh [BUILD_DIR] [REQUESTS] [CONCURRENCY]"
    echo "The same ab run against brindlecot-httpd and python3 -m http.server"
    echo "(defaults: build, 300 requests, 20 at a time)."
}
. "$(dirname "$0")/lib/args.sh"
check_args 3 "$@"
if ! [[ "${2:-1}" =~ ^[0-9]+$ && "${3:-1}" =~ ^[0-9]+$ ]]; then
    usage >&2
    exit 2
fi
cd "$(dirname "$0")/.."

BUILD=${1:-build}
REQUESTS=${2:-300}
CONCURRENCY=${3:-20}
HTTPD="$BUILD/httpd/brindlecot-httpd"
[ -x "$HTTPD" ] || { echo "no $HTTPD: build the brindlecot-httpd target first" >&2; exit 1; }

WORK=$(mktemp -d)
DAEMON_PID=""
PYTHON_PID=""
cleanup() {
    [ -n "$DAEMON_PID" ] && kill "$DAEMON_PID" 2>/dev/null || true
    [ -n "$PYTHON_PID" ] && kill "$PYTHON_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/site"
/usr/bin/python3 -c "open('$WORK/site/index.html', 'w').write('<p>' + 'load ' * 2000 + '</p>')"

wait_for_port() { # log file, pattern
    for _ in $(seq 100); do
        if grep -q "$2" "$1" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "server did not start:" >&2
    cat "$1" >&2
    exit 1
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

run_ab() { # url
    timeout 600 ab -q -n "$REQUESTS" -c "$CONCURRENCY" -s 60 "$1" > "$WORK/ab.txt"
    grep -E "^(Complete requests|Failed requests|Requests per second)" "$WORK/ab.txt"
    if grep -q "Non-2xx" "$WORK/ab.txt"; then grep "Non-2xx" "$WORK/ab.txt"; fi
}

(cd "$WORK" && exec "$OLDPWD/$HTTPD" site 0 > daemon.log 2>&1) &
DAEMON_PID=$!
wait_for_port "$WORK/daemon.log" "Now accepting connections on port"
PORT=$(sed -n 's/^Now accepting connections on port \([0-9]*\)\.$/\1/p' "$WORK/daemon.log")
echo "== brindlecot-httpd (port $PORT), ab -n $REQUESTS -c $CONCURRENCY"
ab -q -n 20 -c 5 -s 60 "http://127.0.0.1:$PORT/index.html" > /dev/null
BEFORE=$(rss_kib "$DAEMON_PID")
run_ab "http://127.0.0.1:$PORT/index.html"
AFTER=$(rss_kib "$DAEMON_PID")
echo "daemon VmRSS: $BEFORE KiB before, $AFTER KiB after"

/usr/bin/python3 -m http.server 0 --bind 127.0.0.1 --directory "$WORK/site" > "$WORK/python.log" 2>&1 &
PYTHON_PID=$!
wait_for_port "$WORK/python.log" "Serving HTTP"
PPORT=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$WORK/python.log" | head -1)
echo "== python3 -m http.server (port $PPORT), ab -n $REQUESTS -c $CONCURRENCY"
run_ab "http://127.0.0.1:$PPORT/index.html"
