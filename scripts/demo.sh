#!/usr/bin/env bash
# Runs navmon's main job on embedded defaults and shows what it produces: a private mosquitto
# on a free loopback port, a real gpsd replaying a bundled drive, the SQLite system database in a
# throw-away directory. GPS processing is switched on over MQTT, then the "GPS" records, the
# sentences and the MQTT traffic are shown live.
#   DEMO_SECONDS   how long to run (default 60)
#   DEMO_RECORDING the NMEA recording to replay (default testdata/drive_long.nmea)
#   DEMO_START     the recording's epoch to start at (default 260: the motorway, then at 300 a
#                  tunnel where the fix is lost for a minute)
#   DEMO_KEEP=1    keep the throw-away directory (database, logs, samples, picture) afterwards
# What navmon published is sampled once a second into navmon-demo.csv beside the database and
# drawn at the end (or on Ctrl-C) into navmon-demo.png (needs python3-matplotlib); without
# DEMO_KEEP=1 the picture is moved to build/demo/ before the directory goes.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
seconds=${DEMO_SECONDS:-60}
recording=${DEMO_RECORDING:-$top/testdata/drive_long.nmea}
[ -f "$recording" ] || recording=$top/testdata/drive_short.nmea
start_epoch=${DEMO_START:-260}

bash scripts/deps.sh run
echo "Building navmon..."
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVMON_TESTS=OFF -DNAVMON_BENCH=OFF >/dev/null
cmake --build build/demo -j"$(nproc 2>/dev/null || echo 2)" --target navmon sysdb nmea_replay >/dev/null
bin=$top/build/demo

rig_keep=${DEMO_KEEP:-0}
. scripts/rig.sh
rig_setup demo 0x4e4d
start_broker
start_replay "$bin" "$recording" "$start_epoch"
write_gpsd_systemctl
write_config_and_env
py=/usr/bin/python3  # Debian's, with matplotlib
plotted=0
draw() {
    [ "$plotted" = 0 ] || return 0
    plotted=1
    [ -s "$root/navmon-demo.csv" ] || return 0
    if ! "$py" -c 'import matplotlib' 2>/dev/null; then
        echo "No picture: python3-matplotlib is missing (apt-get install python3-matplotlib, then run the demo again)"
        return 0
    fi
    local png=$root/navmon-demo.png
    "$py" scripts/demo_plot.py render "$root/navmon-demo.csv" "$png" >/dev/null || return 0
    if [ "$rig_keep" != 1 ]; then
        mv "$png" "$bin/navmon-demo.png" && png=$bin/navmon-demo.png
    fi
    echo "Picture of the drive: $png"
}
trap 'draw; rig_cleanup' EXIT

sleep 0.3
mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -v -t 'v1/device/#' >"$root/mqtt.log" 2>/dev/null &
pids+=($!)
"$bin/navmon" -v -l "$root/navmon.log" &
navmon_pid=$!
sleep 1
"$py" scripts/demo_plot.py sample "$SYSDB_PATH" "$root/navmon-demo.csv" &
sampler_pid=$!
pids+=($sampler_pid)
"$bin/tools/sysdb" watch GPS GPS_STATUS GPS_VALID GPS_ISO8601 >"$root/watch.log" 2>&1 &
pids+=($!)

echo "Switching GPS processing on over MQTT (v1/device/gps/enable/apply)..."
mosquitto_pub -h 127.0.0.1 -p "$mqtt_port" -t v1/device/gps/enable/apply -m '{"value": true, "session": 1}'
sleep 6
if ! grep -q 'enable/ack' "$root/mqtt.log"; then
    echo "No answer over MQTT: switching on with SIGUSR1"
    kill -USR1 "$navmon_pid"
fi

get() { "$bin/tools/sysdb" get "$1" "$2" 2>/dev/null | tr -d '\r' | tr '\n' ' ' || true; }
# A number rounded to $3 decimals for reading (stored values carry every digit); empty if missing.
num() {
    local v r
    v=$("$bin/tools/sysdb" get "$1" "$2" 2>/dev/null) || return 0
    if LC_ALL=C printf -v r "%.${3}f" "$v" 2>/dev/null; then printf '%s' "$r"; else printf '%s' "$v"; fi
}
show() {
    [ -t 1 ] && printf '\033[H\033[2J'
    echo "navmon demo: $(date -u +%H:%M:%S)  (broker 127.0.0.1:$mqtt_port, gpsd 127.0.0.1:$gpsd_port, db $SYSDB_PATH)"
    echo "-- fix ------------------------------------------------------------------------"
    printf '  status %-9s valid %-2s time %s\n' "$(get GPS GPS_STATUS)" "$(get GPS GPS_VALID)" "$(get GPS GPS_ISO8601)"
    printf '  lat %-12s lon %-12s alt %s m\n' "$(num GPS GPS_LAT 6)" "$(num GPS GPS_LON 6)" "$(num GPS GPS_ALT 1)"
    printf '  speed %s km/h  heading %s deg  sats %s (in use %s)  hdop %s  SQI %s\n' \
        "$(num GPS GPS_VEL_KPH 1)" "$(num GPS GPS_HDG 1)" "$(get GPS GPS_SATS)" "$(get GPS GPS_SATS_INUSE)" \
        "$(num GPS GPS_HDOP 1)" "$(get GPS GPS_SQI)"
    printf '  first fix: uptime %s, %s   last valid %s, %s\n' "$(get GPS GPS_TTFF_UPTIME)" \
        "$(get GPS GPS_TTFF_ISO8601)" "$(num GPS GPS_LAST_VALID_LAT 6)" "$(num GPS GPS_LAST_VALID_LON 6)"
    echo "-- sentences ------------------------------------------------------------------"
    for k in GPS_NMEA_GPRMC_V3 GPS_NMEA_GPGGA GPS_NMEA_GPGSA GPS_NMEA_PGPS GPS_NMEA_BTVEG GPS_TAIP_PV GPS_TAIP_LN; do
        printf '  %-18s %s\n' "$k" "$(get GPS $k)"
    done
    printf '  %-18s %s\n' GPS_NMEA_GPGSV "$("$bin/tools/sysdb" get GPS GPS_NMEA_GPGSV 2>/dev/null | head -n 1 | tr -d '\r')"
    printf '  DR: lat %s lon %s heading %s  calibrated %s\n' "$(num DR DR_LAT 6)" "$(num DR DR_LON 6)" \
        "$(num DR DR_HDG 1)" "$(get DR DR_CALIBRATED)"
    echo "-- MQTT -----------------------------------------------------------------------"
    printf '  TPV reports %s, SKY reports %s\n' "$(grep -c 'location/tpv/update' "$root/mqtt.log" || true)" \
        "$(grep -c 'location/sat/update' "$root/mqtt.log" || true)"
    grep 'location/tpv/update' "$root/mqtt.log" | tail -n 1 | cut -c1-150 | sed 's/^/  last: /' || true
    grep 'enable/' "$root/mqtt.log" | tail -n 2 | cut -c1-150 | sed 's/^/  /' || true
    echo "-- sysdb watch GPS GPS_STATUS GPS_VALID GPS_ISO8601 (last lines) -----------------"
    tail -n 4 "$root/watch.log" | sed 's/^/  /'
}

end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
    show
    kill -0 "$navmon_pid" 2>/dev/null || { echo "navmon is not running"; exit 1; }
    sleep 3
done

kill "$sampler_pid" 2>/dev/null || true  # the picture ends with the drive
echo
echo "Switching GPS processing off over MQTT..."
mosquitto_pub -h 127.0.0.1 -p "$mqtt_port" -t v1/device/gps/enable/apply -m '{"value": false, "session": 2}'
sleep 3
grep 'enable/' "$root/mqtt.log" | tail -n 2 | sed 's/^/  /' || true
kill -TERM "$navmon_pid"
status=0
wait "$navmon_pid" || status=$?
navmon_pid=
echo "navmon stopped with exit status $status (255 is an orderly stop); last log lines:"
tail -n 3 "$root/navmon.log" | sed 's/^/  /'
draw
