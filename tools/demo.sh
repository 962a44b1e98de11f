#!/usr/bin/env bash
# demo.sh -- builds the daemons and runs vidula and tarsel under the stand-ins
# of the appliance (NVR manager, log daemon, network camera), then shows what
# they produced: manager records, log records, the recording tree.
#   tools/demo.sh            a run of DEMO_SECONDS (default 30) seconds
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/setup.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j"$(nproc)" >/dev/null
bin="$top/build/bin"
seconds=${DEMO_SECONDS:-30}

root=$(mktemp -d /tmp/nas-demo.XXXXXX)
mkdir -p "$root/rec"
touch "$root/log.key" "$root/manager.key"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

wait_for() {  # wait_for FILE TEXT: until FILE holds TEXT (30 s at most)
  for _ in $(seq 300); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: no '$2' in $1" >&2; return 1
}

# The network camera: a test card at 10 frames per second.
"$bin/ipcam_standin" --port 0 --size 640x480 --fps 10 >"$root/camera.txt" 2>&1 &
pids+=($!)
wait_for "$root/camera.txt" "listening on"
camera_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$root/camera.txt" | head -n1)
live_port=$((20000 + RANDOM % 20000))

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

"$bin/log_daemon" -q "$root/log.key" >"$root/log.txt" 2>&1 &
pids+=($!)
"$bin/nvr_manager" -q "$root/manager.key" -n 1 "$bin/vidula" -c "$root/vidula.conf" >"$root/manager.txt" 2>&1 &
manager=$!
pids+=($manager)
wait_for "$root/manager.txt" "Executed by VIDULA"
vidula=$(sed -n 's/.*started .*vidula as pid \([0-9]*\).*/\1/p' "$root/manager.txt" | head -n1)

echo "== vidula (pid $vidula) records camera 127.0.0.1:$camera_port into $root/rec/"
echo "== live video: http://127.0.0.1:$live_port/mjpg/video.mjpg (open it in a browser while the demo runs)"
sleep $((seconds / 3))
echo "== a live viewer (ffmpeg) reads 20 frames from the live video server"
timeout 20 ffmpeg -v error -i "http://127.0.0.1:$live_port/mjpg/video.mjpg" -frames:v 20 \
  "$root/live-%02d.jpg" </dev/null || true
echo "   it decoded $(ls "$root"/live-*.jpg 2>/dev/null | wc -l) frames; the first is $root/live-01.jpg"
echo "== SIGHUP: vidula and tarsel reload their configuration"
kill -HUP "$vidula"
sleep $((seconds / 3))
tarsel=$(sed -n 's/.*Execute TARSEL as pid (\([0-9]*\)).*/\1/p' "$root/manager.txt" | tail -n1)
echo "== SIGKILL to tarsel (pid $tarsel): vidula starts a new one"
kill -KILL "$tarsel" 2>/dev/null || true
sleep $((seconds / 3))
echo "== SIGTERM: the manager stops vidula"
kill -TERM "$manager"
wait "$manager" 2>/dev/null || true
sleep 0.5

echo
echo "== what vidula, tarsel and the NVR manager printed"
cat "$root/manager.txt"
echo
echo "== what the log daemon received"
cat "$root/log.txt"
echo
echo "== what the camera served"
cat "$root/camera.txt"
echo
echo "== the recording tree"
find "$root/rec" -type f -printf '%P  %s bytes\n' | sort
for f in $(find "$root/rec" -name '*.avi' | sort); do
  echo "-- ffprobe $(basename "$f")"
  ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_frames -of default=nw=1 "$f" || true
done
echo
echo "demo files are in $root"

# The file hand-off server: a folder handed over with handoff_client, and its history.
"$(dirname "$0")/demo_handoff.sh" "$root/handoff" "$bin"

# The event checker: two runs against a sample appliance state.
bash "$top/tools/demo_eventcheck.sh" "$root/eventcheck" "$bin"
