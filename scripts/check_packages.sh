#!/usr/bin/env bash
# Checks the packages that scripts/package.sh left in build/deb: one version in CMakeLists.txt,
# debian/changelog, the packages and the programs; their contents; lintian; that Depends names,
# for each architecture, the package of every shared library the programs load; the unit and the
# gpsd drop-in against the installed paths, and the unit's confinement score; the stripped
# program sizes; the programs of this machine's architecture run from an unpacked root; and an
# upgrade from 0.1.0, which had the daemon in /usr/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
archs=${PACKAGE_ARCHS:-"$native armhf"}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "package check FAILED: $*" >&2
    exit 1
}

# CMake's project version is the package's: the programs print it.
version=$(sed -n 's/^project(navmon VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] && [ "$(dpkg-parsechangelog -SVersion)" = "$version" ] ||
    fail "CMakeLists.txt's version '$version' is not debian/changelog's"

expected=(./lib/systemd/system/navmon.service ./lib/systemd/system/gpsd.service.d/navmon.conf
          ./usr/sbin/navmon ./usr/bin/sysdb ./usr/share/doc/navmon/copyright
          ./usr/share/doc/navmon/examples/config.example.json ./usr/lib/tmpfiles.d/navmon.conf
          ./usr/share/man/man8/navmon.8.gz ./usr/share/man/man1/sysdb.1.gz)

debs=()
for arch in $archs; do
    deb=build/deb/navmon_${version}_$arch.deb
    [ -e "$deb" ] || fail "no package $deb"
    debs+=("$deb")
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
    for f in "${expected[@]}"; do grep -qxF "$f" <<<"$files" || fail "$deb lacks $f"; done

    root=$tmp/$arch
    dpkg-deb -x "$deb" "$root"
    multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    depends=" $(dpkg-deb -f "$deb" Depends | tr -d ','), "
    for path in usr/sbin/navmon usr/bin/sysdb; do
        prog=${path##*/}
        for lib in $(readelf -d "$root/$path" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            owner=$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | head -n 1 | cut -d' ' -f1)
            [ "${owner#*:}" = "$arch:" ] || fail "$prog ($arch) loads $lib, owned by '$owner'"
            grep -qF " ${owner%%:*} " <<<"$depends" ||
                fail "$arch Depends lacks ${owner%%:*} for $lib: $depends"
        done
        echo "stripped $arch $prog: $(stat -c %s "$root/$path") bytes"
    done
done

# No lintian error or warning but those overridden in debian/*lintian-overrides, each override
# with its reason on the comment line right above it.
for f in debian/*lintian-overrides; do
    [ -e "$f" ] || continue
    awk '/^[^#]/ && prev !~ /^#/ { print FILENAME ":" FNR ": no reason above: " $0; bad = 1 }
         { prev = $0 } END { exit bad }' "$f" || fail "lintian override without a reason"
done
lintian --fail-on error,warning "${debs[@]}" || fail "lintian"
echo "lintian: no error or warning"

# The unit and the drop-in, as systemd would load them with the package installed.
root=$tmp/$native
cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
cp /usr/sbin/gpsd "$root/usr/sbin/"
# The pages the units name in Documentation=: the package's own first, then the system's.
out=$(MANPATH="$root/usr/share/man:" systemd-analyze verify --root="$root" navmon.service \
    gpsd.service 2>&1) || fail "$out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

# The confinement of the installed unit on systemd's own scale (0 = confined .. 10 = unsafe).
exposure=$(systemd-analyze security --offline=true --root="$root" --no-pager navmon.service 2>&1 |
    sed -n 's/.*Overall exposure level for navmon.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security navmon.service: exposure ${exposure:-unknown} (at most 3.5)"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 3.5) }' || fail "exposure above 3.5"

# The packaged programs of this machine run from the unpacked root.
"$root/usr/sbin/navmon" -h | grep -q '^Usage: navmon \[Options\]' || fail "navmon -h"
for prog in sbin/navmon bin/sysdb; do
    [ "$("$root/usr/$prog" --version)" = "${prog#*/} $version" ] || fail "$prog --version"
done
export SYSDB_PATH=$tmp/sysdb.sqlite
"$root/usr/bin/sysdb" set GPS PACKAGE_CHECK "round trip" || fail "sysdb set"
[ "$("$root/usr/bin/sysdb" get GPS PACKAGE_CHECK)" = "round trip" ] || fail "sysdb get"

# An upgrade from 0.1.0 (commit cb47a10, the daemon in /usr/bin) leaves a working unit. Both
# packages of this machine's architecture are installed in turn, maintainer scripts and all, by
# this machine's dpkg into a copy-on-write view of its own root: an overlay on a tmpfs in a
# private mount namespace, so nothing reaches the real root. The old package is built once (no
# tests) and kept in build/deb-0.1.0.
# Without mount namespaces (an unprivileged container) there is no private root to install into,
# and a shallow clone lacks 0.1.0: said, not failed.
old=build/deb-0.1.0/navmon_0.1.0_$native.deb
if ! unshare -m true 2>/dev/null ||
    { [ ! -e "$old" ] && ! git cat-file -e 'cb47a10^{commit}' 2>/dev/null; }; then
    echo "upgrade from 0.1.0: not checked (no mount namespaces, or no commit cb47a10 here)"
    echo "packages ok: $archs"
    exit 0
fi
if [ ! -e "$old" ]; then
    mkdir -p "$tmp/old/navmon" build/deb-0.1.0
    git archive cb47a10 | tar -x -C "$tmp/old/navmon"
    (cd "$tmp/old/navmon" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
        dpkg-buildpackage -b -us -uc -Pnocheck) >"$tmp/old/build.log" 2>&1 ||
        { tail -n 40 "$tmp/old/build.log"; fail "building 0.1.0"; }
    mv "$tmp/old/${old##*/}" "$old"
fi
# The unit must stay enabled and start the daemon that is installed.
unshare -m bash -eu -s "$tmp/upgrade" "$old" "build/deb/navmon_${version}_$native.deb" \
    "$version" <<'UPGRADE' || fail "upgrade from 0.1.0"
trap 'echo "failed: $BASH_COMMAND" >&2' ERR
mkdir -p "$1"
mount -t tmpfs tmpfs "$1"
mkdir "$1/upper" "$1/work" "$1/root"
mount -t overlay overlay -o lowerdir=/,upperdir="$1/upper",workdir="$1/work" "$1/root"
cp "$2" "$1/root/tmp/old.deb"
cp "$3" "$1/root/tmp/new.deb"
cd "$1"
mount --bind /dev root/dev
mount -t proc proc root/proc
# Standard input is this script: what runs in the root reads /dev/null instead.
in_root() { chroot root env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@" </dev/null; }
in_root dpkg --purge navmon >/dev/null 2>&1
for deb in old new; do
    in_root dpkg -i /tmp/$deb.deb >>dpkg.log 2>&1 || { cat dpkg.log; exit 1; }
done
[ "$(in_root dpkg-query -W -f='${Status} ${Version}' navmon)" = "install ok installed $4" ]
[ ! -e root/usr/bin/navmon ]
[ "$(in_root /usr/sbin/navmon --version)" = "navmon $4" ]
[ "$(systemctl --root=root is-enabled navmon.service)" = enabled ]
# verify finds the program of ExecStart= and the pages of Documentation=, or says what it misses.
out=$(MANPATH=root/usr/share/man systemd-analyze verify --root=root navmon.service 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
UPGRADE
echo "upgrade from 0.1.0: unit enabled, starts /usr/sbin/navmon"
echo "packages ok: $archs"
