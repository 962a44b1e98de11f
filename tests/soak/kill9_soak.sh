#!/bin/bash
# kill9_soak.sh -- kills vidula with SIGKILL at random moments while the NVR
# manager stand-in starts it again, then checks what is left: every
# recording readable (each chunk a whole JPEG, finished files decoded by
# ffmpeg), no file written by two recorders, and no vidula or tarsel left
# running. Heavy: run it under the machine-wide lock.
#
#   flock /work/wt/heavy.lock tests/soak/kill9_soak.sh [BUILD_DIR] [KILLS]
set -u
build=$(cd "${1:-build}" && pwd)
kills=${2:-20}
bin=$build/bin
here=$(cd "$(dirname "$0")/../.." && pwd)
root=$(mktemp -d /tmp/kill9_soak.XXXXXX)
export PATH=$here/tools/standins:$bin:$PATH
export TZ=UTC
mkdir -p "$root/rec"
: >"$root/mgrq"

"$bin/ipcam_standin" --port 0 --size 320x240 --fps 25 >"$root/camera.log" 2>&1 &
camera=$!
for _ in $(seq 100); do
  grep -q "listening on 127.0.0.1:" "$root/camera.log" && break
  sleep 0.05
done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$root/camera.log" | head -1)
conf=$root/vidula.conf
printf '%s\t%s\n' ipcam_type IPCAM_OTHER ipcam_address 127.0.0.1 ipcam_port "$port" \
  ipcam_video_width 320 ipcam_video_height 240 ipcam_fps 25 \
  ipcam_http_command /mjpg/video.mjpg nvr_record_folder "$root/rec/" \
  nvr_video_name_prefix cam nvr_max_storage_space 1000000000 \
  nvr_manager_mq "$root/mgrq" nvr_log_console yes >"$conf"

"$bin/nvr_manager" -q "$root/mgrq" "$bin/vidula" -c "$conf" >"$root/manager.log" 2>&1 &
manager=$!

# The vidula the manager runs now (its child named vidula).
current() { ps -o pid=,comm= --ppid "$manager" | awk '$2 == "vidula" {print $1}' | head -1; }

same_second=0
for i in $(seq "$kills"); do
  # Mostly a second or two of recording; one kill in three comes at once
  # after a start, so that the next start falls in the same second.
  if (( RANDOM % 3 == 0 )); then delay=0.0$((RANDOM % 10)); else delay=$((RANDOM % 3)).$((RANDOM % 10)); fi
  sleep "$delay"
  pid=""
  for _ in $(seq 200); do pid=$(current); [ -n "$pid" ] && break; sleep 0.01; done
  [ -z "$pid" ] && { echo "soak: no vidula to kill at round $i"; continue; }
  before=$(date +%s)
  kill -9 "$pid"
  for _ in $(seq 300); do
    next=$(current); [ -n "$next" ] && [ "$next" != "$pid" ] && break; sleep 0.01
  done
  [ "$(date +%s)" = "$before" ] && same_second=$((same_second + 1))
done
sleep 3
kill -TERM "$manager"
wait "$manager"
sleep 2
kill "$camera" 2>/dev/null
wait "$camera" 2>/dev/null

strays=$(ps -eo pid=,args= | grep -F -- "$conf" | grep -v grep | wc -l)
starts=$(grep -c "manager: started" "$root/manager.log")

python3 - "$root/rec" <<'PY'
import os, struct, subprocess, sys
root = sys.argv[1]
files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)
bad = empty = frames = finished = decode_errors = 0
for path in files:
    data = open(path, 'rb').read()
    pos, end, count, ok = 2048, len(data), 0, True
    if data[228:231] == b'nmm':
        finished += 1
        movi = struct.unpack_from('<I', data, 2040)[0] if len(data) >= 2044 else 0
        end = min(len(data), 2044 + movi) if movi > 4 else len(data)
    while pos + 8 <= end:
        cid, size = data[pos:pos + 4], struct.unpack_from('<I', data, pos + 4)[0]
        if cid == b'idx1':
            break
        if cid != b'00db':
            ok = False
            break
        chunk = data[pos + 8:pos + 8 + size]
        if len(chunk) < size:
            break  # a tail cut by the kill
        if size and not (chunk[:2] == b'\xff\xd8' and chunk[-2:] == b'\xff\xd9'):
            ok = False
            break
        count += size > 0
        pos += 8 + size + (size & 1)
    if not ok:
        bad += 1
        print('soak: unreadable', path)
    if count == 0:
        empty += 1
    frames += count
    if data[228:231] == b'nmm':
        r = subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-f', 'null', '-'],
                           capture_output=True, text=True)
        if r.returncode != 0 or r.stderr.strip():
            decode_errors += 1
            print('soak: ffmpeg', path, r.stderr.strip()[:200])
print('soak: files=%d finished=%d frames=%d unreadable=%d empty=%d ffmpeg_errors=%d'
      % (len(files), finished, frames, bad, empty, decode_errors))
sys.exit(1 if bad or decode_errors else 0)
PY
files_ok=$?
echo "soak: kills=$kills starts=$starts same_second_restarts=$same_second strays=$strays root=$root"
if [ "$files_ok" = 0 ] && [ "$strays" = 0 ]; then rm -rf "$root"; exit 0; fi
exit 1
