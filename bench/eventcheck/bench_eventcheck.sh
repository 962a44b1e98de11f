#!/usr/bin/env bash
# bench_eventcheck.sh -- times one orlinda run over a prepared appliance state
# that has nothing to report, and over an idle appliance, beside the
# smallest run the event checker's required commands allow (those command
# lines replayed through the shell) and, when BASELINE names an earlier
# orlinda binary, beside that one on the same states.
#   [BASELINE=OLD_ORLINDA] bench/eventcheck/bench_eventcheck.sh [BUILD_DIR] [RUNS]
# State: 1000 download items over four partitions (500 BitTorrent items,
# finished and already reported or queued; 500 web downloads, finished and
# reported or running), 100 quota users on two ext3 volumes below their
# warning levels, every daemon running, media and music folders present.
# The outside tools are stand-ins of one process each (shell builtins only),
# so the process counts are those of the commands themselves.
# Idle: the same appliance with no download list, no quota, no media or
# music folder shared. Prints wall time, orlinda's own CPU (children
# excluded), CPU with children and processes started, median of RUNS
# (default 15) runs, and the files a quiet run writes on the data volumes.
# Large lists (one run each, as the baseline takes half a minute): 100 000
# failed web downloads and a "bt.cfg" of 20 000 items with 120 "Contents"
# lines each (about 200 MB); prints the same figures and the peak memory. Run it under the
# heavy lock: flock /work/wt/heavy.lock bench/eventcheck/bench_eventcheck.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
runs=${2:-15}
bin=$build/bin
work=$(mktemp -d /tmp/nas-bench-eventcheck.XXXXXX)
[ -n "${BENCH_KEEP:-}" ] && echo "state kept in $work" || trap 'rm -rf "$work"' EXIT
root=$work/root
tools=$work/tools
mkdir -p "$root"/{tmp,dev,bin,web/file,nasext/main/email,nasext/main/sys} "$tools"
cc -O2 -o "$work/run_measure" "$top/bench/eventcheck/run_measure.c"
cc -O2 -o "$work/replay" "$top/bench/eventcheck/replay.c"

# One-process stand-ins: print NAS_ROOT/out/NAME when it exists (exec, so
# still one process, and one write as the real tools do).
for name in ps mount df repquota killall pomerel glimmet postavel kestrin.sh; do
  cat >"$tools/$name" <<'TOOL'
#!/bin/sh
f="$NAS_ROOT/out/${0##*/}"
[ -f "$f" ] && exec cat "$f"
exit 0
TOOL
  chmod +x "$tools/$name"
done
mkdir -p "$root/out"
{
  echo "  PID USER       VSZ STAT COMMAND"
  for d in nmbd smbd ftpd drovenna ushare mt-daapd; do echo "  1$RANDOM root 1200 S /usr/sbin/$d"; done
  for d in nmbd smbd ftpd drovenna ushare mt-daapd; do echo "  9$RANDOM root 1100 S grep $d"; done
} >"$root/out/ps"
printf '/dev/sda1 on /mnt/USB5/C: type ext3 (rw)\n/dev/sdb1 on /mnt/USB6/C: type ext3 (rw)\n' >"$root/out/mount"
printf '/dev/sda1 976762584 4194304 972568280 1%% /mnt/USB5/C:\n/dev/sdb1 976762584 4194304 972568280 1%% /mnt/USB6/C:\n' >"$root/out/df"

users=""
for i in $(seq -w 1 100); do users="$users${users:+,}u$i"; done
cat >"$root/settings.txt" <<SET
EMAIL_ENABLE=1
EMAIL_BT=1
BT_ENABLE=1
DOWNLOAD_ENABLE=1
MEDIA_SERVER_ENABLE=1
MEDIA_RESCAN_INTERVAL=600
ITUNES_ENABLE=1
ITUNES_MUSIC_DIR=/mnt/USB5/C:/music
QUOTA_ENABLE=1
QUOTA_ALERT=1
QUOTA_MAIL_FREQUENCY=1
NAS_USER_NAME=$users
SET
"$bin/flashcfg" make "$root/settings.txt" "$root/dev/mtd"
mkdir -p "$root/mnt/USB5/C:/music" "$root/mnt/USB5/C:/video"
printf '[HDD1]C:\\video\n[HDD1]C:\\music\n' >"$root/media.conf"

# Downloads: four partitions, 125 BitTorrent and 125 web items each.
n=0
for part in 5/C 5/D 6/C 6/D; do
  sys="$root/tmp/USB${part%/*}/${part#*/}:/.system_file"
  mkdir -p "$sys" "$root/mnt/USB${part%/*}/${part#*/}:/.system_file"
  : >"$sys/bt.cfg"; : >"$sys/download.cfg"
  for i in $(seq 1 125); do
    n=$((n + 1))
    status=$(( n % 2 == 0 ? 5 : 0 ))
    printf '\n[BtItem]\nOwnerUser=u001\nTorrentType=url\nTorrentInformation=http://t/%d\nAddTime=%d\nTryCounts=0\nSavePath=/dl\nTarget=bt%d.iso\nContents=bt%d.iso\nTotalSize=734003200\nStatus=%d\nPriority=0\n' \
      "$n" "$((1700000000 + n))" "$n" "$n" "$status" >>"$sys/bt.cfg"
    last=$(( n % 2 == 0 ? 1000000 : 500000 ))
    printf '\n[DownloadItem]\nOwnerUser=u001\nUrl2=\nUrl=http://h/%d\nPath=/dl/web%d.bin\nSize=1000000\nStatus=1\nLastSize=%d\nTime=%d\nCount=1\n' \
      "$n" "$n" "$last" "$n" >>"$sys/download.cfg"
    [ $status = 5 ] && echo "bt$n.iso" >>"$root/tmp/emailBtFinishItem"
    [ $((n % 2)) = 0 ] && echo "web$n.bin" >>"$root/tmp/emailWebFinishItem"
  done
done

# Quota: 50 users on each volume, all below their warning levels.
printf -- '---\n' >"$root/out/repquota"
for i in $(seq -w 1 100); do printf 'u%s -- 1024 0 0 0 0 0\n' "$i" >>"$root/out/repquota"; done
echo >>"$root/out/repquota"
for v in 5 6; do
  f="$root/mnt/USB$v/C:/.system_file/quotaUser.conf"
  : >"$f"
  for i in $(seq -w 1 100); do
    [ $(( (10#$i + v) % 2 )) = 0 ] || continue
    printf 'userName =u%s\nquotaSet =Warning and Quota\nwarningLevel =2048\nquotaLimit =4096\nmailAddress =u%s@example.com\nuserEnd\n' "$i" "$i" >>"$f"
  done
  : >"$root/mnt/USB$v/C:/.system_file/quotaNotification.conf"
done

# The command lines the event checker's steps require for this state; "<"
# marks a command whose output is read through a pipe: one process listing
# for every daemon test, the BitTorrent client's refresh and the sync tool,
# the mount and df tables once, and one repquota table per volume.
R=$root
{
  echo "<ps"
  echo "killall -SIGHUP quorret"
  echo "pomerel -email&"
  echo "<mount"
  echo "<df"
  for v in 5 6; do echo "<repquota -uv '$R/mnt/USB$v/C:'"; done
} >"$work/required.txt"
required=$(grep -vc "^+" "$work/required.txt")

# The idle appliance: the settings of a fresh one, nothing shared.
idle=$work/idle
mkdir -p "$idle"/{tmp,dev,bin,web/file,nasext/main/email,nasext/main/sys,out,mnt/USB5/C:}
cp "$root/out/ps" "$idle/out/ps"
printf 'EMAIL_ENABLE=1\n' >"$idle/settings.txt"
"$bin/flashcfg" make "$idle/settings.txt" "$idle/dev/mtd"

export PATH="$tools:$PATH"
measure() {  # measure PROGRAM ARGS...: RUNS lines of run_measure figures
  for _ in $(seq "$runs"); do
    unshare -p -f --mount-proc "$work/run_measure" "$@"
  done
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
report() {  # report NAME FILE
  printf '%-30s %10s %12s %14s %10s %10s\n' "$1" \
    "$(cut -d' ' -f1 "$2" | median)" "$(cut -d' ' -f2 "$2" | median)" \
    "$(cut -d' ' -f3 "$2" | median)" "$(cut -d' ' -f4 "$2" | median)" \
    "$(cut -d' ' -f5 "$2" | median)"
}
# Files under the data volumes that a run made or replaced (inode, size or
# change time differs, or new).
volume_snapshot() { find "$1/mnt" -printf '%i %s %C@ %p\n' | sort; }
written_by_one_run() {  # written_by_one_run ROOT PROGRAM
  volume_snapshot "$1" >"$work/before"
  NAS_ROOT=$1 "$2" >/dev/null 2>&1 || true
  volume_snapshot "$1" >"$work/after"
  comm -13 "$work/before" "$work/after" | wc -l
}
programs=("$bin/orlinda")
names=("orlinda")
if [ -n "${BASELINE:-}" ]; then programs+=("$BASELINE"); names+=("baseline"); fi
# Large lists.
large=$work/large
mkdir -p "$large"/{tmp,dev,bin,web/file,nasext/main/email,nasext/main/sys,out,mnt} "$large/tmp/USB5/C:/.system_file"
cp "$root/out/ps" "$large/out/ps"
printf 'EMAIL_ENABLE=1\nDOWNLOAD_ENABLE=1\nBT_ENABLE=1\n' >"$large/settings.txt"
"$bin/flashcfg" make "$large/settings.txt" "$large/dev/mtd"
awk 'BEGIN { for (i = 0; i < 100000; i++)
  printf "\n[DownloadItem]\nOwnerUser=bob\nUrl2=\nUrl=http://h/%d\nPath=/dl/failed%d.bin\nSize=1000\nStatus=4\nLastSize=0\nTime=%d\nCount=1\n", i, i, i }' \
  >"$large/tmp/USB5/C:/.system_file/download.cfg"
awk 'BEGIN { for (i = 0; i < 20000; i++) {
  printf "\n[BtItem]\nOwnerUser=a\nTorrentType=url\nTorrentInformation=http://t/%d\nAddTime=%d\nTryCounts=0\nSavePath=/dl\nTarget=bt%d.iso\n", i, i, i
  for (j = 0; j < 120; j++) printf "Contents=some/long/path/of/a/file/inside/the/torrent/number/%d/of/item/%d.dat\n", j, i
  printf "TotalSize=1000\nStatus=0\nPriority=0\n" } }' >"$large/tmp/USB5/C:/.system_file/bt.cfg"

for state in bench idle large; do
  case $state in bench) dir=$root ;; idle) dir=$idle ;; large) dir=$large ;; esac
  export NAS_ROOT=$dir
  stateRuns=$([ $state = large ] && echo 1 || echo "$runs")
  echo "state: $state; $stateRuns runs, medians"
  printf '%-30s %10s %12s %14s %10s %10s\n' "" "wall ms" "own CPU ms" "CPU+children" "processes" "max RSS kB"
  for i in "${!programs[@]}"; do
    if [ $state = large ]; then
      rm -f "$dir/tmp/emailWebProblem" "$dir/tmp/emailBTProblem"  # the first run's own work
    else
      "${programs[$i]}" >/dev/null 2>&1 || true  # settles the record files once
    fi
    runs=$stateRuns measure "${programs[$i]}" >"$work/run.txt" 2>/dev/null
    report "${names[$i]}" "$work/run.txt"
  done
  if [ $state = bench ]; then
    measure "$work/replay" "$work/required.txt" >"$work/replay.txt" 2>/dev/null
    report "required commands ($required)" "$work/replay.txt"
  fi
  [ $state = large ] && continue
  for i in "${!programs[@]}"; do
    echo "files a quiet run of ${names[$i]} writes on the data volumes: $(written_by_one_run "$dir" "${programs[$i]}")"
  done
done
