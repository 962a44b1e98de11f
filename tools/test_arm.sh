#!/usr/bin/env bash
# test_arm.sh -- the appliance's board in CI: cross-builds the tree for ARM
# hard-float Linux (Debian's g++-arm-linux-gnueabihf, 64-bit time_t and file
# offsets), runs the unit tests under qemu-arm, compares the fixed-input files
# (AVI, flash image, hand-off packets, recording names) that the board writes
# with the host's byte for byte, and checks that the programs also link
# statically (-DNAS_STATIC=ON) and run.
#   tools/test_arm.sh            all of it (the host build dir build/ is used for the comparison)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
triple=arm-linux-gnueabihf
sysroot=/usr/$triple

packages=(g++-$triple qemu-user googletest cmake make file)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test_arm: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

arm=$top/build-arm
echo "== ARM build (unit tests under qemu-arm)"
cmake -S "$top" -B "$arm" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAS_WERROR=ON >/dev/null
cmake --build "$arm" -j"$jobs"
ctest --test-dir "$arm" -j"$jobs" --output-on-failure --timeout 600

echo "== the same bytes on the host and on ARM"
host=$top/build
if [ ! -x "$host/bin/portable_outputs" ]; then
  cmake -S "$top" -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$host" -j"$jobs" --target portable_outputs_tool
fi
out=$(mktemp -d /tmp/nas-arm-bytes.XXXXXX)
trap 'rm -rf "$out"' EXIT
mkdir "$out/host" "$out/arm"
"$host/bin/portable_outputs" "$out/host"
qemu-arm -L "$sysroot" "$arm/bin/portable_outputs" "$out/arm"
for f in recording.avi names.txt flash.img settings.txt handoff.bin; do
  cmp "$out/host/$f" "$out/arm/$f"
  echo "   $f: $(stat -c %s "$out/arm/$f") bytes, identical"
done

echo "== static ARM programs (warnings are errors)"
static=$top/build-arm-static
cmake -S "$top" -B "$static" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DNAS_STATIC=ON -DNAS_TESTS=OFF -DNAS_WERROR=ON >/dev/null
programs=(vidula tarsel flashcfg)
for p in orlinda parcelod handoff_client avirepair; do
  grep -q "^$p:" <(cmake --build "$static" --target help 2>/dev/null | sed 's/^\.\.\. //; s/ .*//; s/$/:/') && programs+=("$p")
done
cmake --build "$static" -j"$jobs" --target "${programs[@]}"
for p in "${programs[@]}"; do
  file -L "$static/bin/$p" | grep -q 'statically linked' || { echo "$p is not statically linked"; exit 1; }
done
set +e
usage=$(qemu-arm "$static/bin/vidula" -h)
status=$?
set -e
[ "$status" -eq 1 ] && grep -q '^VIDULA version: 1.2.7$' <<<"$usage" || {
  echo "static vidula -h under qemu-arm: status $status"; echo "$usage"; exit 1; }
echo "   ${programs[*]}: statically linked; vidula -h runs under qemu-arm"
