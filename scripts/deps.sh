#!/usr/bin/env bash
# Installs the Debian packages navmon needs for a purpose ("run" or "test") when missing.
# Works as root without a terminal; uses sudo when not root.
set -euo pipefail

purpose=${1:-run}
pkgs=(cmake make g++ pkg-config libjsoncpp-dev libmosquittopp-dev libmosquitto-dev libgps-dev
      libsystemd-dev libsqlite3-dev sqlite3 gpsd gpsd-clients mosquitto mosquitto-clients python3)
# The demo's picture; the demo runs without it.
optional=(python3-matplotlib)
if [ "$purpose" = test ]; then
    pkgs+=(googletest libgtest-dev libbenchmark-dev clang libclang-rt-dev python3-pytest python3-paho-mqtt
           python3-matplotlib)
    optional=()
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
extra=()
for p in "${optional[@]}"; do installed "$p" || extra+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#extra[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
apt_install() {
    $SUDO apt-get install -y -q --no-install-recommends "$@" </dev/null && return 0
    $SUDO apt-get update -q </dev/null
    $SUDO apt-get install -y -q --no-install-recommends "$@" </dev/null
}
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    apt_install "${missing[@]}"
fi
if [ ${#extra[@]} -gt 0 ]; then
    echo "Installing (optional): ${extra[*]}" >&2
    apt_install "${extra[@]}" || echo "Could not install ${extra[*]}: going on without it" >&2
fi
