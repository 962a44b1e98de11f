#!/usr/bin/env bash
# demo.sh -- the main job: builds the daemons and runs them side by side in a
# sandbox root (NAS_ROOT) against the stand-ins of the appliance, then prints
# a short report per daemon and writes a contact sheet of the recording.
#
#   tools/demo.sh                 a run of about a minute (Ctrl-C ends it early)
#   DEMO_SECONDS=10 tools/demo.sh a short run
#   DEMO_BIN=build/bin            use programs already built (no setup, no build)
#   DEMO_ROOT=/tmp/x              the sandbox root (default: a new folder under /tmp)
#
# What runs: the network camera stand-in; the log daemon stand-in; the NVR
# manager stand-in starting vidula, which starts tarsel; a live viewer on
# vidula's live video server; a reload (SIGHUP) and a killed tarsel that
# vidula starts again; then, when they are part of the tree, the scripted
# hand-off (tools/demo_handoff.sh: parcelod and handoff_client) and the event
# checker runs (tools/demo_eventcheck.sh: orlinda). Every process started
# here runs in a session of its own and is removed on any exit.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${DEMO_SECONDS:-60}
if [ -n "${DEMO_BIN:-}" ]; then
  bin=$(cd "$DEMO_BIN" && pwd)
else
  bash "$top/tools/setup.sh"
  echo "== building (cmake, build/)"
  cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$top/build" -j"$(nproc)" >/dev/null
  bin="$top/build/bin"
fi

root=${DEMO_ROOT:-$(mktemp -d /tmp/nas-demo.XXXXXX)}
mkdir -p "$root/rec" "$root/out"
export NAS_ROOT=$root
touch "$root/log.key" "$root/manager.key"

# Every daemon and stand-in is started with setsid, so its whole process
# group (vidula with tarsel and the shell tools they run) can be removed.
groups=()
start() {  # start OUTFILE COMMAND...: runs COMMAND in a new session
  local out=$1; shift
  setsid "$@" >"$out" 2>&1 </dev/null &
  groups+=($!)
}
cleanup() {
  local g
  for g in "${groups[@]}"; do kill -TERM -- "-$g" 2>/dev/null || true; done
  for _ in $(seq 20); do
    local alive=0
    for g in "${groups[@]}"; do kill -0 -- "-$g" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null || true; done
  groups=()
  # A process that left its group (a daemon in a session of its own) still
  # carries NAS_ROOT of this run in its environment.
  local p
  for p in /proc/[0-9]*; do
    [ "${p#/proc/}" = "$$" ] && continue
    grep -qzF "NAS_ROOT=$root" "$p/environ" 2>/dev/null && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  return 0
}
trap cleanup EXIT
stop_requested=0
trap 'stop_requested=1; echo; echo "== interrupted: stopping and reporting"' INT TERM

wait_for() {  # wait_for FILE TEXT: until FILE holds TEXT (30 s at most)
  for _ in $(seq 300); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: no '$2' in $1" >&2; return 1
}
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# run_bounded LIMIT OUTFILE COMMAND...: runs COMMAND in a session of its own
# until it ends, LIMIT seconds pass or Ctrl-C comes (then its group is
# removed); returns its exit status (124 when it was stopped). Long steps go
# through here so that Ctrl-C is seen at once.
run_bounded() {
  local limit=$1 out=$2; shift 2
  start "$out" "$@"
  local pid=${groups[-1]} end=$((SECONDS + limit))
  while kill -0 "$pid" 2>/dev/null && [ $stop_requested -eq 0 ] && [ $SECONDS -lt $end ]; do
    sleep 0.2 || true
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM -- "-$pid" 2>/dev/null || true
    sleep 0.2
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 124
  fi
  local status=0
  wait "$pid" 2>/dev/null || status=$?
  return $status
}
# pause SECONDS: sleeps, but returns at once after Ctrl-C
pause() {
  local end=$((SECONDS + $1))
  while [ $stop_requested -eq 0 ] && [ $SECONDS -lt $end ]; do sleep 0.2 || true; done
}
started=$SECONDS

# The network camera: a test card at 10 frames per second.
start "$root/out/camera.txt" "$bin/ipcam_standin" --port 0 --size 640x480 --fps 10 --type zorvan
wait_for "$root/out/camera.txt" "listening on"
camera_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$root/out/camera.txt" | head -n1)
live_port=$(free_port)

cat >"$root/vidula.conf" <<CONF
# vidula demonstration: one camera, files cut every minute
ipcam_type	IPCAM_ZORVAN_15
ipcam_address	127.0.0.1
ipcam_port	$camera_port
ipcam_video_width	640
ipcam_video_height	480
ipcam_fps	10
nvr_record_folder	$root/rec/
nvr_video_name_prefix	demo_
nvr_change_file_interval	1
nvr_max_storage_space	200000000
nvr_recycle_storage	yes
nvr_log_mq	$root/log.key
nvr_log_console	yes
nvr_manager_mq	$root/manager.key
lvs_server_port	$live_port
CONF

start "$root/out/log.txt" "$bin/log_daemon" -q "$root/log.key"
start "$root/out/manager.txt" "$bin/nvr_manager" -q "$root/manager.key" -n 1 \
  "$bin/vidula" -c "$root/vidula.conf"
manager=${groups[-1]}
wait_for "$root/out/manager.txt" "Executed by VIDULA"
vidula=$(sed -n 's/.*started .*vidula as pid \([0-9]*\).*/\1/p' "$root/out/manager.txt" | head -n1)
live_url="http://127.0.0.1:$live_port/mjpg/video.mjpg"

# The page beside the contact sheet; the live picture shows while the run lasts.
cat >"$root/demo.html" <<HTML
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>NAS appliance demonstration</title>
<style>body{font-family:sans-serif;margin:2em;background:#f4f4f4}img{max-width:100%;border:1px solid #888}
figure{display:inline-block;vertical-align:top;margin:0 2em 2em 0}</style></head>
<body><h1>NAS appliance demonstration</h1>
<p>Sandbox root: <code>$root</code>. Recordings of camera 127.0.0.1:$camera_port, made by vidula.</p>
<figure><figcaption>Live video from vidula (while the demonstration runs): <a href="$live_url">$live_url</a></figcaption>
<img src="$live_url" width="640" height="480" alt="live video (ended with the demonstration)"></figure>
<figure><figcaption>Contact sheet: one frame every few seconds of the recordings</figcaption>
<img src="contact-sheet.png" alt="contact sheet"></figure>
<p>The report of the run is in <a href="report.txt">report.txt</a>.</p>
</body></html>
HTML

echo "== vidula (pid $vidula) records camera 127.0.0.1:$camera_port into $root/rec/"
echo "== live video while the demo runs: $live_url"
echo "   (open it, or $root/demo.html, in a browser; ffplay $live_url)"
echo "== running for $seconds seconds; Ctrl-C ends it early"

pause $((seconds / 4))
if [ $stop_requested -eq 0 ]; then
  echo "== a live viewer (ffmpeg) reads 20 frames from the live video server"
  run_bounded 20 "$root/out/viewer.txt" \
    ffmpeg -nostdin -v error -i "$live_url" -frames:v 20 "$root/out/live-%02d.jpg" || true
  echo "== SIGHUP: vidula and tarsel reload their configuration"
  kill -HUP "$vidula" 2>/dev/null || true
fi

# The hand-off server and the event checker, when they are part of the tree.
for part in handoff eventcheck; do
  script="$top/tools/demo_$part.sh"
  if [ $stop_requested -eq 0 ] && [ -f "$script" ]; then
    echo "== tools/demo_$part.sh"
    mkdir -p "$root/$part"
    status=0
    NAS_ROOT="$root/$part" run_bounded 120 "$root/out/$part.txt" bash "$script" "$root/$part" "$bin" \
      || status=$?
    [ $status -eq 0 ] || echo "(tools/demo_$part.sh ended with status $status)" >>"$root/out/$part.txt"
  fi
done

pause $((seconds / 2 - (SECONDS - started)))
if [ $stop_requested -eq 0 ]; then
  tarsel=$(sed -n 's/.*Execute TARSEL as pid (\([0-9]*\)).*/\1/p' "$root/out/manager.txt" | tail -n1)
  echo "== SIGKILL to tarsel (pid $tarsel): vidula starts a new one"
  kill -KILL "$tarsel" 2>/dev/null || true
fi
pause $((seconds - (SECONDS - started)))

echo "== SIGTERM to the NVR manager: vidula finishes its file and stops"
kill -TERM "$manager" 2>/dev/null || true
for _ in $(seq 100); do kill -0 "$manager" 2>/dev/null || break; sleep 0.1; done
cleanup
trap - INT TERM

# The contact sheet: a frame every few seconds of all recordings, in order.
recordings=$(find "$root/rec" -name '*.avi' | sort)
list="$root/out/recordings.txt"
: >"$list"
for f in $recordings; do printf "file '%s'\n" "$f" >>"$list"; done
every=$(( seconds / 12 > 0 ? seconds / 12 : 1 ))
if [ -s "$list" ]; then
  ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$list" \
    -vf "fps=1/$every,scale=213:160,tile=4x3:margin=4:padding=4:color=white" \
    -frames:v 1 -update 1 "$root/contact-sheet.png" || true
fi

report() {
  echo "== report of the run in $root"
  echo
  echo "-- vidula: recordings (frames and duration read by ffprobe)"
  if [ -z "$recordings" ]; then echo "   none"; fi
  for f in $recordings; do
    local frames duration
    frames=$(ffprobe -v error -count_packets -select_streams v:0 \
      -show_entries stream=nb_read_packets -of csv=p=0 "$f" 2>/dev/null || echo "?")
    duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f" 2>/dev/null || echo "?")
    printf '   %s  frames %s  duration %s s  %s bytes\n' "${f#"$root"/rec/}" "$frames" \
      "$duration" "$(stat -c %s "$f")"
  done
  echo
  echo "-- NVR manager: records and starts"
  grep '^manager:' "$root/out/manager.txt" | sed 's/^/   /' || true
  echo
  echo "-- vidula and tarsel: their events"
  grep -E 'Start at time|Execute TARSEL|Executed by VIDULA|Reload config|terminated|Program shut down|Average frame rate' \
    "$root/out/manager.txt" | sed 's/^/   /' || true
  echo
  echo "-- log daemon: $(grep -c '^log:' "$root/out/log.txt" || true) records, the first and last five"
  grep '^log:' "$root/out/log.txt" | head -n5 | sed 's/^/   /' || true
  echo "   ..."
  grep '^log:' "$root/out/log.txt" | tail -n5 | sed 's/^/   /' || true
  echo
  echo "-- live video: a viewer decoded $(ls "$root"/out/live-*.jpg 2>/dev/null | wc -l) frames"
  echo "   (the camera served $(grep -c 'connection' "$root/out/camera.txt" || true) connection lines)"
  for part in handoff eventcheck; do
    echo
    case $part in
      handoff) echo "-- hand-off: parcelod and handoff_client" ;;
      eventcheck) echo "-- event checker: orlinda" ;;
    esac
    if [ -f "$root/out/$part.txt" ]; then
      sed 's/^/   /' "$root/out/$part.txt"
    else
      echo "   (tools/demo_$part.sh is not part of this tree yet)"
    fi
  done
  echo
  if [ -f "$root/contact-sheet.png" ]; then
    echo "-- contact sheet: $root/contact-sheet.png"
  else
    echo "-- contact sheet: none (no recording)"
  fi
  echo "-- page: $root/demo.html"
}
report | tee "$root/report.txt"
