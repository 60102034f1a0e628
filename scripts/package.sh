#!/usr/bin/env bash
# Builds the Debian packages of navmon, natively for this machine and cross for armhf, into
# build/deb/ and runs lintian on them. Each build works on its own copy of the source, so the
# tree stays clean. PACKAGE_ARCHS picks the architectures (default "amd64 armhf", the first
# being this machine's); DEB_BUILD_OPTIONS=nocheck leaves the unit tests out of the builds.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
native=$(dpkg --print-architecture)
archs=${PACKAGE_ARCHS:-"$native armhf"}

purposes=(package)
for arch in $archs; do [ "$arch" = "$native" ] || purposes+=(cross); done
bash scripts/deps.sh "${purposes[@]}"

out=$top/build/deb
rm -rf "$out"
mkdir -p "$out"
profiles=()
case " ${DEB_BUILD_OPTIONS:-} " in *" nocheck "*) profiles=(-Pnocheck) ;; esac
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=$(nproc 2>/dev/null || echo 2)"

for arch in $archs; do
    src=$out/src-$arch/navmon
    mkdir -p "$src"
    tar -c --exclude=./build --exclude=./.git . | tar -x -C "$src"
    echo "== navmon package for $arch"
    (cd "$src" && dpkg-buildpackage -b -us -uc -a"$arch" "${profiles[@]}") \
        >"$out/build-$arch.log" 2>&1 || { tail -n 60 "$out/build-$arch.log"; exit 1; }
    mv "$out/src-$arch"/*.deb "$out"/
    rm -rf "$out/src-$arch"
done

# Errors fail the build; warnings are shown here, and scripts/check_packages.sh fails on them.
lintian --fail-on error "$out"/navmon_*.deb
ls -l "$out"/*.deb
