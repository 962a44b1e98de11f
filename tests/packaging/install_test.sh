#!/usr/bin/env bash
# install_test.sh BUILD_DIR -- installs the build into a temporary DESTDIR
# with prefix /usr and checks the firmware layout: the programs (tarsel beside
# vidula), the sample configuration files and the manual pages; then runs the
# installed vidula -h and reads each installed page with man.
set -euo pipefail
build=$1
dest=$(mktemp -d /tmp/nas-install.XXXXXX)
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || { cat "$dest.log"; rm -f "$dest.log"; exit 1; }
rm -f "$dest.log"
fail=0
expect() { [ -e "$dest/usr/$1" ] || { echo "missing: /usr/$1"; fail=1; }; }
for f in sbin/vidula sbin/tarsel bin/flashcfg share/nasdaemons/vidula.conf share/nasdaemons/parcelo.conf \
         share/man/man8/vidula.8 share/man/man8/tarsel.8 share/man/man5/vidula.conf.5 share/man/man1/flashcfg.1; do
  expect "$f"
done
# Programs that arrive later come with their pages.
for p in sbin/orlinda:man8/orlinda.8 sbin/parcelod:man8/parcelod.8 bin/handoff_client:man1/handoff_client.1 \
         bin/avirepair:man1/avirepair.1; do
  [ -e "$dest/usr/${p%%:*}" ] && expect "share/man/${p#*:}"
done
set +e
usage=$("$dest/usr/sbin/vidula" -h)
status=$?
set -e
[ "$status" -eq 1 ] || { echo "installed vidula -h exited $status, not 1"; fail=1; }
grep -q '^VIDULA version: 1.2.7$' <<<"$usage" || { echo "installed vidula -h printed: $usage"; fail=1; }
grep -q '^Usage: VIDULA \[options\]$' <<<"$usage" || fail=1
# The installed pages are found by man through the installed tree.
for page in vidula tarsel flashcfg; do
  MANPATH="$dest/usr/share/man" man -w "$page" >/dev/null 2>&1 || { echo "man does not find $page"; fail=1; }
done
grep -c $'^\t\t' "$dest/usr/share/nasdaemons/parcelo.conf" | grep -qx 6 || { echo "parcelo.conf has not six lines"; fail=1; }
[ $fail -eq 0 ] && echo "installed tree under $dest/usr is complete"
exit $fail
