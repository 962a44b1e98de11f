#!/usr/bin/env bash
# demo_test.sh SOURCE_DIR BIN_DIR -- runs the main job (tools/demo.sh) in its
# short mode in a network namespace of its own (the hand-off server listens
# on a fixed port) and checks its report, its contact sheet and page, and
# that no process it started is left.
set -euo pipefail
src=$1
bin=$2
root=$(mktemp -d /tmp/nas-demo-test.XXXXXX)
trap 'rm -rf "$root"' EXIT
set +e
DEMO_ROOT=$root DEMO_BIN=$bin DEMO_SECONDS=${DEMO_SECONDS:-10} unshare -n bash -c 'ip link set lo up && exec bash "$0/tools/demo.sh"' "$src" \
  </dev/null >"$root.out" 2>&1 &
wait $!
status=$?
set -e
output=$(cat "$root.out"); rm -f "$root.out"
fail=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  "$@" || { echo "FAILED: $what"; fail=1; }
}
check "the demo exits 0 (status $status)" test "$status" -eq 0
report="$root/report.txt"
check "a report" test -s "$report"
# Recordings: final names under the day folder, frames and duration from ffprobe.
check "recordings with frames and duration" grep -Eq \
  '^   [0-9]{4}/[0-9]{2}/[0-9]{2}/demo_[0-9-]+#[0-9-]+_[0-9-]+#[0-9-]+\.avi  frames [1-9][0-9]*  duration [0-9.]+ s' "$report"
check "no recording left in progress" bash -c "! find '$root/rec' -name '*_.avi' | grep -q ."
check "the manager's session records" grep -q 'record code=1 pid=[0-9]* text=Start a new recording session' "$report"
check "tarsel started by vidula" grep -q 'Executed by VIDULA' "$report"
check "tarsel started again after SIGKILL" grep -q 'is terminated by (9) signal' "$report"
check "log records" grep -Eq -- '^-- log daemon: [1-9][0-9]* records' "$report"
check "a live viewer decoded frames" grep -Eq 'a viewer decoded [1-9][0-9]* frames' "$report"
check "a hand-off section" grep -q -- '^-- hand-off: parcelod and handoff_client' "$report"
check "a hand-off downloaded through its FTP link" grep -Eq \
  'downloaded [1-9][0-9]* files \([0-9]+ bytes\) with curl through ftp://127\.0\.0\.2/PARCELO_FINAL_SHARE/!@\]\[_[0-9]{20}: identical to the source' "$report"
check "an event checker section" grep -q -- '^-- event checker: orlinda' "$report"
check "the live URL shown while running" grep -Eq 'live video while the demo runs: http://127\.0\.0\.1:[0-9]+/mjpg/video\.mjpg' <<<"$output"
sheet="$root/contact-sheet.png"
check "a contact sheet PNG" bash -c "head -c 8 '$sheet' | od -An -tx1 | grep -q '89 50 4e 47 0d 0a 1a 0a'"
size=$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$sheet" 2>/dev/null || true)
check "the sheet is a 4x3 tile of thumbnails ($size)" grep -Eq '^8[0-9]{2},4[0-9]{2}$' <<<"$size"
check "the page shows the sheet" grep -q 'src="contact-sheet.png"' "$root/demo.html"
check "the page embeds the live stream" grep -Eq 'src="http://127\.0\.0\.1:[0-9]+/mjpg/video\.mjpg"' "$root/demo.html"
# Every process the demo started inherited NAS_ROOT=$root (or a folder in it).
left() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -q "^NAS_ROOT=$root" && echo "${p#/proc/}"
  done
  return 0
}
check "no process of the demo is left ($(left | tr '\n' ' '))" test -z "$(left)"
if [ $fail -ne 0 ]; then
  echo "--- demo output"; echo "$output"
fi
exit $fail
