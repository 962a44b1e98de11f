#!/usr/bin/env bash
# demo_handoff.sh -- hands a folder over to the appliance with parcelod and handoff_client.
#
#   tools/demo_handoff.sh SANDBOX_ROOT BIN_DIR
#
# Prepares SANDBOX_ROOT as the appliance's root (NAS_ROOT): a flash image with
# two accounts, the outputs of the df and ifconfig stand-ins, the language
# table and a folder of photos on the data volume. Starts parcelod in a
# network namespace of its own (on loopback when namespaces are refused and
# port 13367 is free), hands the folder over (login, share, copy with
# progress, history, delete), downloads the hand-off through its FTP link
# from a real FTP server (vsftpd on 127.0.0.2, the br0 address the stand-in
# gives, serving the final shares as the appliance's FTP server does) and
# prints a short report. Every process it started is ended on any exit.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 SANDBOX_ROOT BIN_DIR" >&2
  exit 64
fi
root=$(mkdir -p "$1" && cd "$1" && pwd)
bin=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

if [ "${DEMO_HANDOFF_INSIDE:-}" != 1 ]; then
  if unshare -n true 2>/dev/null; then
    exec env DEMO_HANDOFF_INSIDE=1 unshare -n "$0" "$root" "$bin"
  fi
  if (exec 3<>/dev/tcp/127.0.0.1/13367) 2>/dev/null; then
    echo "demo_handoff: no network namespace and port 13367 is taken; skipped" >&2
    exit 0
  fi
  echo "demo_handoff: no network namespace; using loopback" >&2
else
  ip link set lo up
fi

export NAS_ROOT=$root
export PATH=$here/standins:$bin:$PATH
pgid=""
cleanup() {
  if [ -n "$pgid" ]; then kill -TERM -- "-$pgid" 2>/dev/null || true; fi
  if [ -n "${ftp_pid:-}" ]; then kill -TERM -- "-$ftp_pid" 2>/dev/null || true; fi
  # copy processes left by a copy still running end with their group too
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The appliance: accounts in flash, a disk on /mnt/USB5/C, br0, a language table.
mkdir -p "$root/dev" "$root/standin" "$root/bin" "$root/mnt/USB5/C:/photos/2026"
rm -rf "$root/nasext" "$root/mnt/USB5/C:/.storage_server_parcelo" "$root/mnt/USB5/C:/.system_file"
cat >"$root/flash.txt" <<'SETTINGS'
USER_NAME=admin
USER_PASSWORD=secret
NAS_USER_NAME=alice,bob
NAS_USER_PASSWD=wonder,builder
FTP_CLIENT_LANG=de
SETTINGS
flashcfg make "$root/flash.txt" "$root/dev/mtd"
printf 'Filesystem     1K-blocks    Used Available Use%% Mounted on\n/dev/hdd1      976762584 1048576 975714008   1%% /mnt/USB5/C\n' \
  >"$root/standin/df.out"
# br0 is a loopback address here: the FTP server behind the links listens on it.
printf 'br0       Link encap:Ethernet  HWaddr 00:11:22:33:44:55\n          inet addr:127.0.0.2  Bcast:127.255.255.255  Mask:255.0.0.0\n' \
  >"$root/standin/ifconfig.out"
printf 'en English CP1252\nde German ISO-8859-15\n' | awk '{print $1 " " $3}' >"$root/bin/naslanguagetable.h"
for i in 1 2 3; do
  head -c $((200 * 1024 * i)) /dev/urandom >"$root/mnt/USB5/C:/photos/2026/img_000$i.jpg"
done
echo "holiday photos" >"$root/mnt/USB5/C:/photos/README.txt"
size_kb=$(du -sk "$root/mnt/USB5/C:/photos" | awk '{print $1}')

setsid parcelod >"$root/parcelod.log" 2>&1 &
pgid=$!
for _ in $(seq 1 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/13367) 2>/dev/null; then break; fi
  sleep 0.05
done

client() { handoff_client -u alice -w wonder "$@"; }

# The appliance's FTP server: anonymous, read-only, PARCELO_FINAL_SHARE at its
# root naming the final share tree, on the br0 address.
ftp_start() {
  [ -x /usr/sbin/vsftpd ] || { echo "(vsftpd is not installed: no FTP download)"; return 1; }
  mkdir -p "$root/ftproot" "$root/vsftpd-empty"
  ln -sfn "$root/mnt/USB5/C:/.storage_server_parcelo/.parcelo_final_share" "$root/ftproot/PARCELO_FINAL_SHARE"
  cat >"$root/vsftpd.conf" <<FTP
listen=YES
listen_address=127.0.0.2
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$root/ftproot
local_enable=NO
write_enable=NO
run_as_launching_user=YES
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=$root/vsftpd-empty
pasv_min_port=30000
pasv_max_port=30999
FTP
  setsid /usr/sbin/vsftpd "$root/vsftpd.conf" >"$root/vsftpd.log" 2>&1 &
  ftp_pid=$!
  for _ in $(seq 1 100); do
    (exec 3<>/dev/tcp/127.0.0.2/21) 2>/dev/null && return 0
    sleep 0.05
  done
  echo "(the FTP server did not start: no FTP download)"
  return 1
}
ftp_pid=""

# ftp_download SHARE_REPLY SOURCE: fetches every file of the hand-off with curl
# through the internet link parcelod gave, and compares it with the source.
ftp_download() {
  local link files=0 bytes=0 f rel
  link=$(printf '%s\n' "$1" | awk -F'\t' '$1 == "internet_link" {print $2}')
  ftp_start || return 0
  mkdir -p "$root/downloaded"
  while IFS= read -r f; do
    rel=${f#"$2"/}
    mkdir -p "$root/downloaded/$(dirname "$rel")"
    curl -gsS --max-time 30 -o "$root/downloaded/$rel" "$link/$(basename "$2")/$rel"
    cmp -s "$f" "$root/downloaded/$rel" || { echo "the FTP download of $rel differs!"; exit 1; }
    files=$((files + 1))
    bytes=$((bytes + $(stat -c %s "$f")))
  done < <(find "$2" -type f | sort)
  echo "downloaded $files files ($bytes bytes) with curl through $link: identical to the source"
}
echo "== parcelod demo: handing /mnt/USB5/C:/photos ($size_kb KB) over as alice"
printf 'character set of the FTP client: '
handoff_client charset
client login
if handoff_client -u alice -w wrong login 2>/dev/null; then echo "a wrong password was let in!"; exit 1; fi
echo "a wrong password is refused (exit status 2)"
share=$(client share photos "$size_kb" folder)
id=$(printf '%s\n' "$share" | awk -F'\t' '$1 == "files_id" {print $2}')
printf '%s\n' "$share" | sed 's/^/  /'
client copy "/mnt/USB5/C:/photos" "$id" "$size_kb"
# a second hand-off, abandoned, and a third, shared and then deleted
other=$(client share notes 10 text | awk -F'\t' '$1 == "files_id" {print $2}')
client abandon "$other"
third=$(client share old 10 text | awk -F'\t' '$1 == "files_id" {print $2}')
client finish "$third"
client delete "$third"
if client copy /nasext/main/cfg "$id" 2>/dev/null; then echo "a system folder was copied!"; exit 1; fi
echo "copying a system folder is refused (exit status 1)"

echo
echo "== report"
final="$root/mnt/USB5/C:/.storage_server_parcelo/.parcelo_final_share/!@][_$id"
echo "handed over (final share of $id):"
(cd "$final" && find . -type f | sort | while read -r f; do
  printf '  %-36s %8s bytes\n' "${f#./}" "$(stat -c %s "$f")"
done)
if diff -r "$root/mnt/USB5/C:/photos" "$final/photos" >/dev/null; then
  echo "the copy is identical to the source"
else
  echo "the copy differs from the source!"
  exit 1
fi
ftp_download "$share" "$root/mnt/USB5/C:/photos"
echo "space accounting:"
sed 's/^/  /' "$root/mnt/USB5/C:/.system_file/parcelo/parcelo_status.conf"
echo "history of alice:"
client history | sed 's/^/  /'
