#!/usr/bin/env bash
# Installs the Debian packages navmon needs for a purpose ("run" or "test") when missing.
# Works as root without a terminal; uses sudo when not root.
set -euo pipefail

purpose=${1:-run}
pkgs=(cmake make g++ pkg-config libjsoncpp-dev libmosquittopp-dev libmosquitto-dev libgps-dev
      libsystemd-dev libsqlite3-dev sqlite3 gpsd gpsd-clients mosquitto mosquitto-clients python3)
if [ "$purpose" = test ]; then
    pkgs+=(googletest libgtest-dev libbenchmark-dev clang libclang-rt-dev python3-pytest python3-paho-mqtt)
fi

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}" >&2
if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null; then
    $SUDO apt-get update -q </dev/null
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi
