#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the Debian package from a finished build (default: build) and checks
# it without installing it: unpacked into a temporary folder, its desktop
# entry, AppStream data and lintian must pass, and the unpacked programs run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

rm -f "$build"/mivoproxy_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/mivoproxy_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "check-package: cpack made no single package" >&2; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

fail() { echo "check-package: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

id=io.github.mivoproxy
desktop=$root/usr/share/applications/$id.desktop
metainfo=$root/usr/share/metainfo/$id.metainfo.xml

desktop-file-validate "$desktop" || fail "desktop-file-validate failed"
ok "desktop-file-validate $(basename "$desktop")"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate failed"
ok "appstreamcli validate --no-net $(basename "$metainfo")"
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
printf '%s\n' "$report" | grep -v -e '^running with root privileges' -e '^$' || true
[ $status -eq 0 ] || fail "lintian reports errors"
ok "lintian: no errors"

# The icon the entry names is where the desktop looks for it.
icon=$(sed -n 's/^Icon=//p' "$desktop")
for f in scalable/apps/$icon.svg 48x48/apps/$icon.png; do
  [ -s "$root/usr/share/icons/hicolor/$f" ] || fail "icon $f missing"
done
ok "icon $icon installed"

# Each program has its manual page.
for program in mivoproxy mivoproxy-cli mivo-sample-site; do
  [ -s "$root/usr/share/man/man1/$program.1.gz" ] || fail "manual page of $program missing"
done
ok "manual pages of mivoproxy, mivoproxy-cli and mivo-sample-site"

# Dependencies computed from the shared libraries, not only the ones written down.
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries: $(dpkg-deb -f "$deb" Depends)"
ok "Depends: $(dpkg-deb -f "$deb" Depends)"

# The version is set once: the package, the program, the changelog and the metainfo agree.
cli=$root/usr/bin/mivoproxy-cli
[ "$("$cli" --version)" = "mivoproxy-cli $version" ] || fail "mivoproxy-cli --version says '$("$cli" --version)', package $version"
changelog=$(zcat "$root/usr/share/doc/mivoproxy/changelog.gz" | sed -n '1s/^mivoproxy (\([^)]*\)).*/\1/p')
[ "$changelog" = "$version" ] || fail "changelog's newest entry is '$changelog', package $version"
release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n1 | cut -d'"' -f2)
[ "$release" = "$version" ] || fail "metainfo's newest release is '$release', package $version"
ok "version $version in package, mivoproxy-cli --version, changelog and metainfo"

# The unpacked programs work: the sample site writes a page, the CLI parses it.
rows=7
"$root/usr/bin/mivo-sample-site" --rows $rows >"$root/page.html"
parsed=$("$cli" parse "$root/page.html" 2>/dev/null)
[ "$(printf '%s\n' "$parsed" | awk -F'\t' 'NF == 5 && $1 ~ /^127\./' | wc -l)" -eq $rows ] ||
  fail "mivoproxy-cli parse gave: $parsed"
ok "unpacked mivoproxy-cli parse: $rows rows from the unpacked sample site's page"

echo "package checks passed: $deb"
