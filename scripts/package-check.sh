#!/usr/bin/env bash
# Installs a built tree into a staging folder, validates the desktop entry and the metainfo,
# builds the Debian package and lists what it holds.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
build=${1:-build}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/usr"
for program in Konfigurator konfigurator-sim konfigurator-cli; do
  [[ -x $stage/usr/bin/$program ]] || { echo "missing from the install: bin/$program"; exit 1; }
done
desktop-file-validate "$stage/usr/share/applications/konfigurator.desktop"
appstreamcli validate --no-net "$stage"/usr/share/metainfo/*.metainfo.xml
[[ -f $stage/usr/share/icons/hicolor/scalable/apps/konfigurator.svg ]]

(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/konfigurator_*.deb | head -n 1)
dpkg-deb -I "$deb"
dpkg-deb -c "$deb" >"$stage/contents"
cat "$stage/contents"
for entry in bin/Konfigurator bin/konfigurator-sim bin/konfigurator-cli \
  share/applications/konfigurator.desktop share/man/man1/konfigurator-cli.1; do
  grep -q "\./usr/$entry\$" "$stage/contents" || { echo "missing from the package: $entry"; exit 1; }
done
dpkg-deb -f "$deb" Depends >"$stage/depends"
grep -q 'libqt6widgets6' "$stage/depends" || { echo "Qt is not among the package's dependencies"; exit 1; }
scripts/package-install-check.sh $([[ ${CI:-} == true ]] && echo --install) "$deb"
echo "package ok: $deb"
