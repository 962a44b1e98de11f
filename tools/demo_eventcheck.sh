#!/usr/bin/env bash
# demo_eventcheck.sh -- runs orlinda twice against a sample appliance state and
# shows what it did: the mails (kestrin.sh and postavel calls), the LED calls,
# the log daemon's records and the lines added to "nasLog.log". The second run
# shows that nothing is reported twice.
#   tools/demo_eventcheck.sh SANDBOX_ROOT BIN_DIR
# The state: one BitTorrent download finished, one failing, one running; a web
# download finished and one failed; a user past the warning level of her
# quota; the FTP daemon down; the start-up disk check skipped; a shared media folder gone missing; a flash
# image with the settings. Every process started here is ended on exit.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: demo_eventcheck.sh SANDBOX_ROOT BIN_DIR" >&2; exit 2; }
root=$(mkdir -p "$1" && cd "$1" && pwd)
bin=$(cd "$2" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
standins="$top/tools/standins"
export NAS_ROOT=$root NAS_STANDIN=$root/standin
export PATH="$standins:$bin:$PATH"

pids=()
cleanup() {
  for p in "${pids[@]}"; do
    kill -- "-$p" 2>/dev/null || kill "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT INT TERM

mkdir -p "$root"/{tmp,dev,bin,web/file,nasext/main/email,nasext/main/sys,standin}
: >"$root/web/file/nasemailbody.var"
cat >"$root/settings.txt" <<'SET'
EMAIL_ENABLE=1
EMAIL_BT=1
EMAIL_LANGUAGE=0
BT_ENABLE=1
DOWNLOAD_ENABLE=1
MEDIA_SERVER_ENABLE=1
ITUNES_ENABLE=1
ITUNES_MUSIC_DIR=/mnt/USB5/C:/music
QUOTA_ENABLE=1
QUOTA_ALERT=1
QUOTA_MAIL_FREQUENCY=1
NAS_USER_NAME=alice,bob
SET
"$bin/flashcfg" make "$root/settings.txt" "$root/dev/mtd"

# Downloads on the first partition of the first hard disk.
sys=$root/tmp/USB5/C:/.system_file
mkdir -p "$sys" "$root/mnt/USB5/C:/.system_file" "$root/mnt/USB5/C:/music" \
  "$root/mnt/USB5/C:/video"
cat >"$sys/bt.cfg" <<'BT'

[BtItem]
OwnerUser=alice
TorrentType=url
TorrentInformation=http://tracker.example/ubuntu.torrent
AddTime=1700000001
TryCounts=1
SavePath=/downloads
Target=ubuntu.iso
TotalSize=3221225472
Status=5
Priority=1

[BtItem]
OwnerUser=alice
TorrentType=file
TorrentInformation=/torrents/debian.torrent
AddTime=1700000002
TryCounts=0
SavePath=/downloads
Target=debian.iso
TotalSize=1073741824
Status=1
Priority=0

[BtItem]
OwnerUser=bob
TorrentType=url
TorrentInformation=http://tracker.example/broken.torrent
AddTime=1700000003
TryCounts=9
SavePath=/downloads
Target=broken.iso
TotalSize=734003200
Status=4
Priority=0
BT
printf '[BT.PID]\nPid=4242\nTempFileName=/tmp/bt_work_debian\nTorrentInformation=/mnt/USB5/C:/torrents/debian.torrent\n' \
  >"$root/tmp/bt.pid"
printf 'throughput=524288b\nuploadrate=1024b\nschedule=40\nPeers=12\nleft=600\n' \
  >"$root/tmp/bt_work_debian_throughput"
echo "20% 12 0" >"$root/mnt/USB5/C:/.system_file/btstatus_1700000002"
cat >"$sys/download.cfg" <<'WEB'

[DownloadItem]
OwnerUser=bob
Url2=
Url=http://files.example/photos.zip
Path=/downloads/photos.zip
Size=52428800
Status=1
LastSize=52428800
Time=1700000100
Count=1

[DownloadItem]
OwnerUser=bob
Url2=
Url=http://files.example/video.mp4
Path=/downloads/video.mp4
Size=734003200
Status=4
LastSize=1048576
Time=1700000200
Count=3
WEB

# Quota: alice is past her warning level on an ext3 volume.
echo "/dev/sda1 on /mnt/USB5/C: type ext3 (rw,usrquota,grpquota)" >"$root/standin/mount.out"
echo "/dev/sda1  976762584 4194304 972568280   1% /mnt/USB5/C:" >"$root/standin/df.out"
printf '*** Report for user quotas on device /dev/sda1\n---------------\nalice -- 3145728 0 0 0 0 0\nbob -- 1024 0 0 0 0 0\n\n' \
  >"$root/standin/repquota.out"
cat >"$root/mnt/USB5/C:/.system_file/quotaUser.conf" <<'Q'
userName =alice
quotaSet =Warning and Quota
warningLevel =2048
quotaLimit =10240
mailAddress =alice@example.com
userEnd
Q

# Daemons: everything runs but the FTP daemon (the listing ends with the
# grep lines a real ps shows for the pipe's grep).
{
  echo "  PID USER       VSZ STAT COMMAND"
  for d in nmbd smbd ushare mt-daapd; do echo "  $((RANDOM % 900 + 100)) root  1200 S /usr/sbin/$d"; done
  for d in nmbd smbd ftpd drovenna ushare mt-daapd; do echo " 9999 root  1100 S grep $d"; done
} >"$root/standin/ps.out"

# Media folders: video was reported missing before, photos is gone now.
printf '[HDD1]C:\\video\n[HDD1]C:\\photos\n' >"$root/media.conf"
rmdir "$root/mnt/USB5/C:/video"
printf '[HDD1]C:\\video\n' >"$root/tmp/emailMediaFolderItem"

# The start-up disk check did not run: the LED flashes and a mail goes out.
: >"$root/nasext/main/sys/FSCK_DID_NOT_RUN"

# The log daemon owns its queue, keyed on "/bin/tovald".
: >"$root/bin/tovald"
: >"$root/log_records.txt"
"$bin/log_daemon" -q "$root/bin/tovald" >"$root/log_records.txt" 2>&1 &
pids+=($!)
# It sleeps only in its queue read, once the queue exists.
for _ in $(seq 200); do
  [ "$(awk '{print $3}' "/proc/${pids[0]}/stat" 2>/dev/null)" = S ] && break
  sleep 0.05
done

run_orlinda() {  # runs orlinda in a process group of its own and waits for all of it
  : >"$root/standin/calls.log"; : >"$root/standin/started.log"
  local before=0
  [ -f "$root/nasext/main/var/log/nasLog.log" ] && before=$(wc -l <"$root/nasext/main/var/log/nasLog.log")
  local records_before
  records_before=$(wc -l <"$root/log_records.txt")
  setsid "$bin/orlinda" >"$root/orlinda.out" 2>&1 &
  local pid=$!
  pids+=($pid)
  local status=0
  wait "$pid" || status=$?
  for _ in $(seq 100); do pgrep -g "$pid" >/dev/null || break; sleep 0.05; done
  sleep 0.2  # the log daemon prints what is on its queue
  echo "orlinda exited with status $status"
  echo "-- mails sent"
  # In the order they were started (the pids; background calls may log late).
  sort -n "$root/standin/started.log" | cut -d' ' -f2- >"$root/standin/started.txt"
  grep -v -- '-onlysubject' "$root/standin/started.txt" | grep -E '^(kestrin.sh|postavel) ' ||
    echo "(none)"
  echo "-- LED calls"
  grep '^glimmet' "$root/standin/started.txt" || echo "(none)"
  echo "-- log records"
  tail -n +"$((records_before + 1))" "$root/log_records.txt" | grep . || echo "(none)"
  echo "-- lines added to nasLog.log"
  if [ -f "$root/nasext/main/var/log/nasLog.log" ]; then
    tail -n +"$((before + 1))" "$root/nasext/main/var/log/nasLog.log" | grep . || echo "(none)"
  else
    echo "(none)"
  fi
}

echo "== orlinda, first run"
run_orlinda
echo "-- the download-finished mail body"
cat "$root/nasext/main//email/emailBtDownloadOK" 2>/dev/null || echo "(none)"
echo
echo "== orlinda, second run: nothing is reported twice"
run_orlinda
echo
echo "demo files are in $root"
