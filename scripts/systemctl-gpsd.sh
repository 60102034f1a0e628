#!/bin/sh
# Stands in for /bin/systemctl on a demo or test rig, where no systemd runs: "start gpsd" runs a
# real gpsd on the rig's loopback ports, in the foreground under a subshell that stays to reap
# it (a killed gpsd is then gone at once, not a zombie that still answers kill 0); "stop gpsd"
# stops the gpsd of the rig's pid file, and no other. Every call is logged. The rig's settings
# (ROOT, GPSD_PORT, FEED_PORT, SHM_KEY) come from rig.env beside the installed copy.
. "$(dirname "$0")/rig.env"
PIDFILE="$ROOT/var/run/gpsd.pid"
echo "$*" >> "$ROOT/var/log/systemctl.log"
ours() {  # the pid of the gpsd of this pid file, if it runs
    pid=$(cat "$PIDFILE" 2>/dev/null) && [ -n "$pid" ] &&
        tr '\000' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q -F -- "-P $PIDFILE " &&
        echo "$pid"
}
case "$1 $2" in
"start gpsd")
    ours > /dev/null && exit 0
    rm -f "$PIDFILE"
    ( GPSD_SHM_KEY=$SHM_KEY /usr/sbin/gpsd -N -n -S "$GPSD_PORT" -P "$PIDFILE" \
        "tcp://127.0.0.1:$FEED_PORT" < /dev/null >> "$ROOT/var/log/gpsd.log" 2>&1 ) \
        < /dev/null > /dev/null 2>&1 &
    for i in $(seq 150); do ours > /dev/null && exit 0; kill -0 $! || exit 1; sleep 0.02; done
    exit 1 ;;
"stop gpsd")
    if pid=$(ours); then
        kill -TERM "$pid"
        for i in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
        kill -KILL "$pid" 2>/dev/null
    fi
    rm -f "$PIDFILE" ;;
*) echo "Unit $2 not found." >&2; exit 5 ;;
esac
