#!/usr/bin/env bash
# Builds the programs with Debian's hardening flags in a build folder of their own, installs
# them into a staging folder, validates the desktop entry and the metainfo, builds the Debian
# package and checks it with lintian --pedantic and hardening-check.
#   scripts/package-check.sh [BUILD_DIR]    (default: build-package)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
build=${1:-build-package}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# What lintian --pedantic may still say about the package, and why that is accepted: info
# tags, and the tags the package overrides (packaging/lintian-overrides). Any other tag, and
# every error or warning not overridden, fails the check.
declare -A accepted=(
  [initial-upload-closes-no-bugs]="overridden: built by the project, not uploaded to Debian, so no ITP bug to close"
)

# The flags Debian builds its packages with: PIE, relro, bind-now, fortify, stack protector.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
CFLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" CXXFLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  LDFLAGS=$(flags LDFLAGS) cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKONF_BUILD_TESTS=OFF -DKONF_BUILD_BENCH=OFF -DKONF_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

scripts/check-man.sh
cmake --install "$build" --prefix "$stage/usr" >/dev/null
for program in Konfigurator konfigurator-sim konfigurator-cli; do
  [[ -x $stage/usr/bin/$program ]] || { echo "missing from the install: bin/$program"; exit 1; }
done
desktop-file-validate "$stage/usr/share/applications/konfigurator.desktop"
appstreamcli validate --no-net --pedantic "$stage"/usr/share/metainfo/*.metainfo.xml
[[ -f $stage/usr/share/icons/hicolor/scalable/apps/konfigurator.svg ]]

rm -f "$build"/konfigurator_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/konfigurator_*.deb | head -n 1)
dpkg-deb -I "$deb"
dpkg-deb -c "$deb" >"$stage/contents"
cat "$stage/contents"
for entry in bin/Konfigurator bin/konfigurator-sim bin/konfigurator-cli \
  share/applications/konfigurator.desktop share/man/man1/Konfigurator.1.gz \
  share/man/man1/konfigurator-cli.1.gz share/man/man1/konfigurator-sim.1.gz \
  share/doc/konfigurator/copyright share/doc/konfigurator/changelog.Debian.gz \
  share/doc/konfigurator/README.md; do
  grep -q "\./usr/$entry\$" "$stage/contents" || { echo "missing from the package: $entry"; exit 1; }
done
dpkg-deb -f "$deb" Depends >"$stage/depends"
grep -q 'libqt6widgets6' "$stage/depends" || { echo "Qt is not among the package's dependencies"; exit 1; }

echo "== lintian --pedantic"
lintian --pedantic --display-info --display-experimental --show-overrides --tag-display-limit 0 "$deb" \
  >"$stage/lintian" 2>&1 || true
cat "$stage/lintian"
bad=0
while read -r severity _ tag _; do
  case $severity in
    E: | W:)
      echo "lintian: not accepted: $severity $tag"
      bad=1
      ;;
    I: | P: | X: | O:)
      if [[ -n ${accepted[$tag]:-} ]]; then
        echo "lintian: accepted: $tag (${accepted[$tag]})"
      else
        echo "lintian: not accepted: $severity $tag"
        bad=1
      fi
      ;;
  esac
done <"$stage/lintian"
((bad == 0)) || { echo "lintian finds faults in the package"; exit 1; }

echo "== hardening-check"
dpkg-deb -x "$deb" "$stage/deb"
# Control-flow protection is left out: Debian 12's start files carry no CET marks, so no
# program linked there gets the IBT/SHSTK note, and its dpkg-buildflags does not ask for it.
for program in Konfigurator konfigurator-sim konfigurator-cli; do
  hardening-check --nocfprotection "$stage/deb/usr/bin/$program"
done
scripts/package-install-check.sh $([[ ${CI:-} == true ]] && echo --install) "$deb"
echo "package ok: $deb"
