#!/usr/bin/env bash
# Builds the Debian package from a finished build ($1), unpacks it into a scratch root without
# installing it, and checks it as a user would: the programs, the deployment file beside them, the
# desktop entry and icons are there, the declared dependencies name the libraries the programs
# link and are all satisfied on this machine, and the unpacked mirt runs.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.out" 2>&1) \
  || { cat "$work/cpack.out"; fail "cpack could not build the package"; }
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no .deb was written"
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = tessali ] || fail "the package is not called tessali"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in libc6 libssl3 zlib1g libtinyxml2; do
  grep -q "$lib" <<<"$depends" || fail "Depends does not name $lib"
done
if [ -x "$build/app/tessali" ] || [ -x "$build/tessali" ]; then
  grep -q libqt6widgets6 <<<"$depends" || fail "Depends does not name Qt's widgets library"
  grep -q qt6-qpa-plugins <<<"$depends" || fail "Depends does not name the window system plugins"
fi
# Every dependency (first of each alternative) is a package this machine has, so the package
# installs where the program was built.
IFS=',' read -ra parts <<<"$depends"
for part in "${parts[@]}"; do
  name=$(sed -E 's/^ *//; s/[ (|].*//' <<<"$part")
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' \
    || fail "dependency $name is not installed here"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/mirt usr/bin/mirt-tracker usr/bin/deploy.ini \
         usr/share/applications/org.tessali.Downloader.desktop \
         usr/share/icons/hicolor/48x48/apps/org.tessali.Downloader.png \
         usr/share/icons/hicolor/scalable/apps/org.tessali.Downloader.svg; do
  [ -e "$root/$f" ] || fail "the package lacks /$f"
done
if grep -q libqt6widgets6 <<<"$depends"; then
  [ -x "$root/usr/bin/tessali" ] || fail "the package lacks /usr/bin/tessali"
fi
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/org.tessali.Downloader.desktop" \
    || fail "the desktop entry is not valid"
fi

version=$("$root/usr/bin/mirt" --version) || fail "the unpacked mirt --version failed"
echo "unpacked: $version"
grep -Eq '^mirt [0-9]+\.[0-9]+\.[0-9]+ \(engine version [0-9]{4}\)$' <<<"$version" \
  || fail "unexpected version line: $version"
# The unpacked front-end does real work, not only print its version.
head -c 300000 /dev/urandom >"$work/file.bin"
seed=$("$root/usr/bin/mirt" seed build "$work/file.bin" --out "$work/file.torrent") \
  || fail "the unpacked mirt could not build a seed"
grep -Eq '^[0-9A-F]{40} ' <<<"$seed" || fail "unexpected seed build line: $seed"
echo "package check passed"
