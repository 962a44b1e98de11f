#!/usr/bin/env bash
# setup.sh -- installs the Debian packages that building and testing need,
# only those that are missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libjpeg62-turbo-dev ffmpeg faketime curl procps psmisc python3 util-linux iproute2 perl man-db clang-format vsftpd)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
