#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs: the programs, the
# deployment file beside them, a valid desktop entry and both icons; then runs the installed
# engine front-end once against a private data home.
set -euo pipefail
build=$1
prefix=$(mktemp -d /tmp/tessali-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/mirt bin/mirt-tracker bin/deploy.ini \
         share/applications/org.tessali.Downloader.desktop \
         share/icons/hicolor/48x48/apps/org.tessali.Downloader.png \
         share/icons/hicolor/scalable/apps/org.tessali.Downloader.svg; do
  [ -e "$prefix/$f" ] || { echo "missing $f"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/org.tessali.Downloader.desktop"
file "$prefix/share/icons/hicolor/48x48/apps/org.tessali.Downloader.png" | grep -q "48 x 48" || { echo "icon is not 48x48"; exit 1; }
deploy=$(mktemp /tmp/tessali-deploy-XXXXXX.ini)
printf '[engine]\nnat_type = 0\n' > "$deploy"
out=$(XDG_DATA_HOME="$prefix/data" TESSALI_DEPLOY="$deploy" "$prefix/bin/mirt" status)
rm -f "$deploy"
echo "$out" | grep -q "engine stopped" || { echo "installed mirt did not run: $out"; exit 1; }
echo "install check passed"
