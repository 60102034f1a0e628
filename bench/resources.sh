#!/usr/bin/env bash
# navmon's cost over a replayed drive, side by side with the plain alternative
#   gpspipe -w | mosquitto_pub -l -t v1/device/gps/location/tpv/update
# both fed by the same private gpsd (replaying testdata/drive_long.nmea at one epoch a second)
# and the same private mosquitto, all on loopback. Reports CPU time (utime + stime), peak RSS
# (VmHWM), the latency from a TPV leaving gpsd to navmon's "GPS_DATA" commit and to the
# pipeline's MQTT delivery (median, 99th percentile), and the bytes navmon wrote to storage per
# second ("write_bytes" of /proc/PID/io).
#
#   bench/resources.sh [BUILD_DIR]
#     BUILD_DIR       a build tree with navmon and tools/nmea_replay (default: build/bench,
#                     configured RelWithDebInfo and built here)
#     BENCH_SECONDS   measured time (default 600)
#     BENCH_KEEP=1    keep the throw-away directory (logs, database) afterwards
#     BENCH_DB_DIR    where the database file goes (default /var/tmp): it must be a disk
#                     file system, since writes to tmpfs never reach storage and are not counted
#
# write_bytes counts a page-cache page when it is first dirtied, so it is what the kernel will
# send to the disk. navmon's log file is kept on tmpfs (/dev/shm) when there is one, so that
# the figure is the database's alone (on the device the log goes to syslog).
#
# navmon runs as on the device: no -v, one processing pass per receiver epoch, once its burst of
# reports has gone quiet; the pipeline forwards each report at once.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
seconds=${BENCH_SECONDS:-600}
bin=${1:-}
if [ -z "$bin" ]; then
    bin=$top/build/bench
    cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVMON_TESTS=OFF -DNAVMON_BENCH=OFF >/dev/null
    cmake --build "$bin" -j2 --target navmon sysdb nmea_replay >/dev/null
fi
bin=$(cd "$bin" && pwd)
for f in "$bin/navmon" "$bin/tools/nmea_replay" "$bin/tools/sysdb"; do
    [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }
done

rig_keep=${BENCH_KEEP:-0}
. "$top/scripts/rig.sh"
rig_setup bench 0x4e4e
db_dir=$(mktemp -d "${BENCH_DB_DIR:-/var/tmp}/navmon-bench-db.XXXXXX")
log_dir=$root
[ -w /dev/shm ] && log_dir=$(mktemp -d /dev/shm/navmon-bench-log.XXXXXX)
bench_cleanup() {
    rig_cleanup
    if [ "$rig_keep" = 1 ]; then echo "Kept $db_dir $log_dir"; else rm -rf "$db_dir" "$log_dir"; fi
}
trap bench_cleanup EXIT
start_broker
start_replay "$bin" "$top/testdata/drive_long.nmea"
write_gpsd_systemctl
write_config_and_env
export SYSDB_PATH=$db_dir/sysdb.sqlite
# A device has a modem: with no IMEI navmon would log its fallback every pass.
"$bin/tools/sysdb" set CELL CELL_IMEI 356938035643809 >/dev/null

sleep 0.3
"$root/bin/systemctl" start gpsd
i=0
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $gpsd_port)).close()" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 50 ] || { echo "gpsd did not come up" >&2; exit 1; }
    sleep 0.1
done

"$bin/navmon" -l "$log_dir/navmon.log" &
navmon_pid=$!
i=0
until grep -q 'Enabled:0' "$log_dir/navmon.log" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "navmon did not start" >&2; exit 1; }
    sleep 0.1
done
kill -USR1 "$navmon_pid"

# The alternative: every gpsd JSON line published as it comes.
mkfifo "$root/pipe"
mosquitto_pub -h 127.0.0.1 -p "$mqtt_port" -l -t v1/device/gps/location/tpv/update <"$root/pipe" &
pub_pid=$!
pids+=($pub_pid)
gpspipe -w "127.0.0.1:$gpsd_port" >"$root/pipe" &
pipe_pid=$!
pids+=($pipe_pid)

cpu_s() {  # utime + stime of a process, seconds
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}
hwm_kb() { awk '/^VmHWM/ { print $2 }' "/proc/$1/status"; }
written() { awk '/^write_bytes/ { print $2 }' "/proc/$1/io"; }

echo "Measuring for $seconds s (navmon $navmon_pid, gpspipe $pipe_pid, mosquitto_pub $pub_pid)..."
sleep 2  # let the session attach
start_navmon=$(cpu_s "$navmon_pid")
start_pipe=$(cpu_s "$pipe_pid")
start_pub=$(cpu_s "$pub_pid")
start_written=$(written "$navmon_pid")
python3 "$top/bench/latency_probe.py" --gpsd-port "$gpsd_port" --db "$SYSDB_PATH" \
    --mqtt-port "$mqtt_port" --seconds "$seconds" --out "$root/latency.json"
end_navmon=$(cpu_s "$navmon_pid")
end_pipe=$(cpu_s "$pipe_pid")
end_pub=$(cpu_s "$pub_pid")
end_written=$(written "$navmon_pid")
hwm_navmon=$(hwm_kb "$navmon_pid")
hwm_pipe=$(hwm_kb "$pipe_pid")
hwm_pub=$(hwm_kb "$pub_pid")

python3 - "$root/latency.json" "$seconds" \
    "$start_navmon" "$end_navmon" "$hwm_navmon" \
    "$start_pipe" "$end_pipe" "$hwm_pipe" "$start_pub" "$end_pub" "$hwm_pub" <<'PY'
import json, sys
lat = json.load(open(sys.argv[1]))
secs = float(sys.argv[2])
v = [float(x) for x in sys.argv[3:]]
navmon_cpu = v[1] - v[0]
pipe_cpu = (v[4] - v[3]) + (v[7] - v[6])
print("TPV reports sent by gpsd: %d over %.0f s" % (lat["tpv_sent"], secs))
print("%-34s %10s %8s %12s %12s %12s %8s" % ("", "CPU s", "CPU %", "peak RSS kB", "median ms",
                                                "p99 ms", "TPVs"))
def row(name, cpu, rss, l):
    print("%-34s %10.2f %8.2f %12s %12s %12s %8s" % (name, cpu, 100 * cpu / secs, rss,
          l.get("median_ms", "-"), l.get("p99_ms", "-"), l.get("count", 0)))
row("navmon (to GPS_DATA commit)", navmon_cpu, int(v[2]), lat["navmon"])
row("gpspipe | mosquitto_pub (to MQTT)", pipe_cpu, "%d+%d" % (v[5], v[8]), lat["pipeline"])
PY
awk -v b=$((end_written - start_written)) -v s="$seconds" 'BEGIN {
    printf "navmon wrote to storage: %.1f KB/s (%.0f MB a day)\n", b / s / 1000, b / s * 86400 / 1e6 }'
echo "database files: $(cd "$db_dir" && du -b sysdb.sqlite* | awk '{ printf "%s %s B  ", $2, $1 }')"
echo "navmon log lines with \"failed\": $(grep -c 'failed' "$log_dir/navmon.log" || true)"
