#!/usr/bin/env bash
# Installs the Debian packages navmon needs for a purpose when missing:
#   run      build and run navmon (and, if it can be had, matplotlib for the demo's picture)
#   test     run plus the test, benchmark and fuzzing tools
#   cross    cross-build for armhf and run it under qemu-arm (adds the armhf architecture)
#   package  build the Debian packages and check them (debhelper, scdoc, lintian,
#            systemd-analyze)
# Several purposes may be given. Works as root without a terminal; uses sudo when not root.
set -euo pipefail

[ $# -gt 0 ] || set -- run
base=(cmake make g++ pkg-config libjsoncpp-dev libmosquittopp-dev libmosquitto-dev libgps-dev
      libsystemd-dev libsqlite3-dev sqlite3 gpsd gpsd-clients mosquitto mosquitto-clients python3)
# The -dev packages of every library navmon links, for the armhf side of a cross build.
cross_libs=(libjsoncpp-dev libmosquittopp-dev libmosquitto-dev libgps-dev libsystemd-dev
            libsqlite3-dev libgtest-dev)
pkgs=()
optional=()  # the demo runs without them
cross=0
for purpose in "$@"; do
    case "$purpose" in
    run) pkgs+=("${base[@]}"); optional+=(python3-matplotlib) ;;
    test) pkgs+=("${base[@]}" googletest libgtest-dev libbenchmark-dev clang libclang-rt-dev
                 python3-pytest python3-paho-mqtt python3-matplotlib systemd) ;;
    cross) cross=1
           pkgs+=("${base[@]}" googletest g++-arm-linux-gnueabihf qemu-user pkgconf:armhf
                  python3-pytest python3-paho-mqtt)
           for p in "${cross_libs[@]}"; do pkgs+=("$p:armhf"); done ;;
    package) pkgs+=("${base[@]}" debhelper dpkg-dev lintian scdoc systemd) ;;
    *) echo "deps.sh: unknown purpose $purpose (run, test, cross, package)" >&2; exit 2 ;;
    esac
done

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

added=0
if [ $cross -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "Adding the armhf architecture" >&2
    $SUDO dpkg --add-architecture armhf
    added=1
fi

# Each package once, in the order first asked for, if it is not installed yet.
missing_of() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done | awk '!seen[$0]++'
}
mapfile -t missing < <(missing_of "${pkgs[@]}")
mapfile -t extra < <(missing_of "${optional[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#extra[@]} -eq 0 ] && exit 0

# A new architecture has no package lists yet.
[ $added -eq 0 ] || $SUDO apt-get update -q </dev/null
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
