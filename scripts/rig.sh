# shellcheck shell=bash
# Shared by scripts/demo.sh and bench/resources.sh (sourced): a throw-away root with a fake GPS
# LED, a private mosquitto, a recording replayed on loopback and a gpsd that navmon starts and
# stops through $root/bin/systemctl, all on free loopback ports.
#   rig_setup NAME SHM_PREFIX   creates $root (/tmp/navmon-NAME.XXXXXX), picks the ports and the
#                               gpsd shared-memory key, installs the cleanup traps
#   rig_keep=1                  keep $root at exit
#   navmon_pid=PID              stopped first at exit

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

rig_setup() {
    root=$(mktemp -d "/tmp/navmon-$1.XXXXXX")
    chmod 755 "$root"
    mkdir -p "$root"/{var/run,tmp,bin,data/xtra,sys/class/leds/gps}
    chmod 777 "$root/var/run"  # gpsd drops to its own user and must manage its pid file
    echo 0 >"$root/sys/class/leds/gps/brightness"
    echo 1 >"$root/sys/class/leds/gps/max_brightness"
    echo none >"$root/sys/class/leds/gps/trigger"
    mqtt_port=$(free_port)
    gpsd_port=$(free_port)
    feed_port=$(free_port)
    shm_key=$(printf '%s%04x' "$2" $((RANDOM)))
    pids=()
    navmon_pid=
    rig_keep=${rig_keep:-0}
    trap rig_cleanup EXIT
    trap 'exit 130' INT TERM
}

rig_cleanup() {
    set +e
    [ -n "$navmon_pid" ] && kill -TERM "$navmon_pid" 2>/dev/null && wait "$navmon_pid" 2>/dev/null
    "$root/bin/systemctl" stop gpsd >/dev/null 2>&1
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    ipcrm -M "$shm_key" 2>/dev/null
    if [ "$rig_keep" = 1 ]; then echo "Kept $root"; else rm -rf "$root"; fi
}

# The broker of the "device".
start_broker() {
    cat >"$root/mosquitto.conf" <<CONF
listener $mqtt_port 127.0.0.1
allow_anonymous true
persistence false
log_dest stderr
CONF
    /usr/sbin/mosquitto -c "$root/mosquitto.conf" >"$root/mosquitto.log" 2>&1 &
    pids+=($!)
}

# The "receiver": a recording served on loopback, one epoch a second, from its epoch START.
start_replay() {  # BIN_DIR RECORDING [START]
    "$1/tools/nmea_replay" --port "$feed_port" --file "$2" --loop --start-epoch "${3:-0}" \
        >"$root/replay.log" 2>&1 &
    pids+=($!)
}

# systemd's part: navmon starts and stops gpsd through $NAVMON_ROOT/bin/systemctl.
write_gpsd_systemctl() {
    mkdir -p "$root/var/log"
    cp "$(dirname "${BASH_SOURCE[0]}")/systemctl-gpsd.sh" "$root/bin/systemctl"
    printf 'ROOT=%s\nGPSD_PORT=%s\nFEED_PORT=%s\nSHM_KEY=%s\n' "$root" "$gpsd_port" \
        "$feed_port" "$shm_key" >"$root/bin/rig.env"
}

# A module with dead reckoning and the fake LED; navmon's environment pointed at the rig.
write_config_and_env() {
    cat >"$root/config.json" <<CONF
{"hardware": {"wireless": {"gps": {"module": "GNSS-DR"}}, "leds": {"gps": "/sys/class/leds/gps"}},
 "gps": {"deadreckon": {"enable": true}}}
CONF
    export NAVMON_ROOT=$root SYSDB_PATH=$root/sysdb.sqlite PLATFORM_CONFIG=$root/config.json
    export MQTT_HOST=127.0.0.1 MQTT_PORT=$mqtt_port GPSD_HOST=127.0.0.1 GPSD_PORT=$gpsd_port
}
