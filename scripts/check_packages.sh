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
echo "packages ok: $archs"
