#!/usr/bin/env bash
# appliance_soak.sh -- runs the whole appliance for a while, with faults, and
# checks that nothing was lost, leaked or left.
#
#   tools/appliance_soak.sh [BIN_DIR]        SOAK_SECONDS (default 600) long
#   SOAK_SECONDS=60 tools/appliance_soak.sh  the short mode the suite runs
#   SOAK_ROOT=/tmp/x SOAK_SEED=7 ...         sandbox root, random seed
#
# In a sandbox root (NAS_ROOT) and in network, mount, pid and System V IPC
# namespaces of its own, it runs two cameras recorded by two vidula under the
# NVR manager stand-in, parcelod with three handoff_client loops (one as the
# administrator) and a real FTP server (vsftpd) serving the final shares at
# the br0 address the stand-ins give (127.0.0.2), curl downloading each
# hand-off through its internet link, orlinda started every few seconds over
# a changing appliance state, and a settings writer taking the flash lock;
# and it injects faults at random moments (kill -9 of vidula, tarsel, a
# parcelod connection or copy process, an orlinda run; a full data volume; a
# camera that stalls and comes back). The report is printed and written to
# report.txt in the root; the exit status is 1 when anything was lost,
# leaked or left. Needs root (namespaces, a tmpfs data volume), python3,
# ffprobe, curl and vsftpd (tools/setup.sh installs them).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$top/build/bin}" && pwd)
# A pid namespace too: this bash is its first process, so it adopts and reaps
# what daemons leave behind, and everything still running ends with it.
exec unshare -n -m -i -p -f --mount-proc --propagation private bash -c '
  ip link set lo up
  python3 "$0" "$1" "$2"
  exit $?' "$top/tools/appliance_soak.py" "$bin" "$top"
