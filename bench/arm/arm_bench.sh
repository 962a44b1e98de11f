#!/usr/bin/env bash
# arm_bench.sh -- the programs on the appliance's board beside the host:
#  1. sizes of the stripped programs (vidula, tarsel, orlinda, parcelod,
#     flashcfg: those this tree builds) for ARM, linked dynamically and
#     statically, beside the host's (x86-64), all Release builds;
#  2. peak memory (VmHWM) of vidula recording the camera stand-in at
#     640x480, 10 fps, under qemu-arm beside the host's. Under qemu the
#     figure includes the emulator; qemu-arm running vidula -h (start-up
#     only) is printed as that floor.
#   bench/arm/arm_bench.sh [SECONDS]     (default 20 s of recording)
# Builds into bench-build/ in the tree. Run it under the machine's heavy lock.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-20}
triple=arm-linux-gnueabihf
sysroot=/usr/$triple
work=$top/bench-build
mkdir -p "$work"
jobs=$(nproc)

configure_and_build() {  # DIR EXTRA-CMAKE-ARGS...
  local dir=$1; shift
  cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DNAS_TESTS=OFF "$@" >/dev/null
  local targets=() t help
  help=$(cmake --build "$dir" --target help)
  for t in vidula tarsel orlinda parcelod flashcfg ipcam_standin; do
    grep -q "^\.\.\. $t\$" <<<"$help" && targets+=("$t")
  done
  cmake --build "$dir" -j"$jobs" --target "${targets[@]}" >/dev/null
}
echo "building host, host static, ARM and ARM static Release programs..." >&2
configure_and_build "$work/host"
configure_and_build "$work/host-static" -DNAS_STATIC=ON
configure_and_build "$work/arm" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triple.cmake"
configure_and_build "$work/arm-static" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triple.cmake" -DNAS_STATIC=ON

size_of() {  # STRIP FILE: bytes of the stripped copy
  local tmp
  tmp=$(mktemp)
  "$1" -o "$tmp" "$2"
  stat -c %s "$tmp"
  rm -f "$tmp"
}
echo
echo "Stripped sizes in bytes (Release; dynamic links libstdc++ and libc as shared libraries):"
echo
echo "| program | ARM dynamic | ARM static | host dynamic | host static |"
echo "|---|---|---|---|---|"
for p in vidula tarsel orlinda parcelod flashcfg; do
  [ -x "$work/arm/bin/$p" ] || continue
  echo "| $p | $(size_of $triple-strip "$work/arm/bin/$p") | $(size_of $triple-strip "$work/arm-static/bin/$p") |" \
       "$(size_of strip "$work/host/bin/$p") | $(size_of strip "$work/host-static/bin/$p") |"
done

# Peak memory of a recording.
root=$(mktemp -d /tmp/nas-armbench.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill -KILL -- "-$p" 2>/dev/null || true; done; rm -rf "$root"; }
trap cleanup EXIT
setsid "$work/host/bin/ipcam_standin" --port 0 --size 640x480 --fps 10 --type zorvan >"$root/camera.txt" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q 'listening on' "$root/camera.txt" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$root/camera.txt" | head -n1)

hwm() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
# record NAME VIDULA: runs VIDULA (a command line) for the time, prints its
# peak memory in KiB and the frames recorded.
record() {
  local name=$1; shift
  mkdir -p "$root/$name/rec"
  printf 'ipcam_type\tIPCAM_ZORVAN_15\nipcam_address\t127.0.0.1\nipcam_port\t%s\nipcam_video_width\t640\nipcam_video_height\t480\nipcam_fps\t10\nnvr_record_folder\t%s\nnvr_video_name_prefix\tb_\nnvr_max_storage_space\t100000000000\nnvr_log_console\tno\n' \
    "$port" "$root/$name/rec/" >"$root/$name/vidula.conf"
  setsid "$@" -c "$root/$name/vidula.conf" >"$root/$name/out.txt" 2>&1 &
  local pid=$!
  pids+=($pid)
  sleep "$seconds"
  local peak
  peak=$(hwm "$pid")
  kill -TERM "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  local frames=0 f
  for f in $(find "$root/$name/rec" -name '*.avi'); do
    frames=$((frames + $(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$f")))
  done
  echo "$peak $frames"
}
# Under qemu, vidula starts the tarsel beside it: a script there runs the ARM
# tarsel under qemu-arm too.
armdir=$root/armbin
mkdir -p "$armdir"
cp "$work/arm/bin/vidula" "$armdir/vidula"
printf '#!/bin/sh\nexec qemu-arm -L %s %s "$@"\n' "$sysroot" "$work/arm/bin/tarsel" >"$armdir/tarsel"
chmod +x "$armdir/tarsel"

read -r host_peak host_frames < <(record host "$work/host/bin/vidula")
read -r arm_peak arm_frames < <(record arm qemu-arm -L "$sysroot" "$armdir/vidula")
floor=$( (/usr/bin/time -f %M qemu-arm -L "$sysroot" "$armdir/vidula" -h 2>&1 >/dev/null || true) | tail -n1)
echo
echo "Peak memory of vidula recording 640x480 at 10 fps for $seconds s (VmHWM, KiB):"
echo
echo "| vidula on | peak KiB | frames recorded |"
echo "|---|---|---|"
echo "| host (x86-64) | $host_peak | $host_frames |"
echo "| qemu-arm (ARM, includes the emulator) | $arm_peak | $arm_frames |"
echo "| qemu-arm running vidula -h (the emulator's floor) | $floor | - |"
