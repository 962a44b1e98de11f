#!/bin/sh
# bench_storage.sh -- times one storage check of tarsel that has to delete 100
# recordings from a tree of 10 000 recordings over 3 years, and counts the
# shell commands it runs. Prints the figures beside a peer: one find over the
# tree that deletes the same 100 files.
#
#   bench/storage/bench_storage.sh [BUILD_DIR]     (default: build)
#
# The tree: 2021/01/01 to 2023/12/28 (28 days a month, 1008 day folders),
# 10 recordings on each of the first 1000 days, each a sparse 4096-byte file.
# The quota is set so that exactly 100 deletions make room.
set -eu

build=${1:-build}
bin=$(cd "$build/bin" && pwd)
work=$(mktemp -d /tmp/bench_storage.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

reserve=100000   # nvr_max_file_size caps the camera reserve
file_size=4096
deletions=100

now_ms() { date +%s%3N; }

# Builds the recording tree under $1 (ending with "/").
make_tree() {
    root=$1
    count=0
    for year in 2021 2022 2023; do
        for month in 01 02 03 04 05 06 07 08 09 10 11 12; do
            for day in $(seq -w 1 28); do
                dir="$root$year/$month/$day"
                mkdir -p "$dir"
                [ $count -ge 10000 ] && continue
                names=""
                for hour in 00 01 02 03 04 05 06 07 08 09; do
                    names="$names $dir/cam$year-$month-$day#$hour-00-00_$year-$month-$day#$hour-10-00.avi"
                done
                # shellcheck disable=SC2086
                truncate -s $file_size $names
                count=$((count + 10))
            done
        done
    done
}

# Writes tarsel's configuration for the tree $1 into $2.
write_config() {
    used=$(du "$1" | tail -n 1 | cut -f 1)
    quota=$((used * 1024 + reserve - deletions * file_size + file_size / 2))
    printf 'ipcam_type\tIPCAM_OTHER\nipcam_address\t127.0.0.1\nipcam_port\t1\n' > "$2"
    printf 'ipcam_video_width\t320\nipcam_video_height\t240\nipcam_fps\t10\n' >> "$2"
    printf 'ipcam_http_command\t/mjpg/video.mjpg\nnvr_record_folder\t%s\n' "$1" >> "$2"
    printf 'nvr_max_storage_space\t%s\nnvr_max_file_size\t%s\n' "$quota" "$reserve" >> "$2"
    printf 'nvr_log_console\tyes\n' >> "$2"
}

# Runs one check of tarsel ($@ is put in front of it, e.g. strace) over the
# tree $1 and prints the milliseconds from the request to the last deletion.
# tarsel's console comes through a FIFO, read line by line without polling.
run_check() {
    root=$1
    shift
    write_config "$root" "$work/tarsel.conf"
    rm -f "$work/console"
    mkfifo "$work/console"
    # This shell plays vidula: its answers are ignored.
    trap '' USR1 USR2
    "$@" "$bin/tarsel" -c "$work/tarsel.conf" > "$work/console" 2>&1 &
    runner=$!
    deleted=0
    while IFS= read -r line; do
        case $line in
            *"Executed by VIDULA"*)
                pid=${line#"(TARSEL-"}
                pid=${pid%%")"*}
                start=$(now_ms)
                kill -USR1 "$pid" ;;
            *"Quota used off and delete file"*)
                deleted=$((deleted + 1))
                if [ $deleted -eq $deletions ]; then
                    end=$(now_ms)
                    kill -TERM "$pid"
                fi ;;
        esac
    done < "$work/console"
    wait "$runner" 2>/dev/null || true
    echo $((end - start))
}

echo "building a tree of 10000 recordings over 3 years ..."
make_tree "$work/template/"
cp -a "$work/template" "$work/rec"
du_start=$(now_ms)
du "$work/rec/" > /dev/null
du_ms=$(($(now_ms) - du_start))

check_ms=$(run_check "$work/rec/")
left=$(find "$work/rec" -name '*.avi' | wc -l)

# The same check again, traced, to count the commands it runs.
rm -rf "$work/rec"
cp -a "$work/template" "$work/rec"
if command -v strace > /dev/null; then
    run_check "$work/rec/" strace -f -qq -e trace=execve -o "$work/trace" > /dev/null
    shells=$(grep -c 'execve("/bin/sh"' "$work/trace" || true)
    # Every successful execve: tarsel itself, each sh and each tool it runs.
    programs=$(($(grep -c ' = 0$' "$work/trace" || true) - 1))
    lists=$(grep -c '"ls", "-l"' "$work/trace" || true)
    removes=$(grep -c '"rm", "-f"' "$work/trace" || true)
else
    shells="(strace missing)"; programs="-"; lists="-"; removes="-"
fi

# The peer: one find over the tree, sort, delete the 100 oldest.
rm -rf "$work/rec"
cp -a "$work/template" "$work/rec"
peer_start=$(now_ms)
find "$work/rec" -name '*.avi' -type f | sort | head -n $deletions | xargs rm -f
peer_ms=$(($(now_ms) - peer_start))

echo
printf '%-44s %12s %12s\n' "" "tarsel" "find peer"
printf '%-44s %12s %12s\n' "deleted files" "$((10000 - left))" "$deletions"
printf '%-44s %12s %12s\n' "time of the check (ms)" "$check_ms" "$peer_ms"
printf '%-44s %12s %12s\n' "time per deleted file (ms)" \
    "$(awk "BEGIN { printf \"%.2f\", $check_ms / $deletions }")" \
    "$(awk "BEGIN { printf \"%.2f\", $peer_ms / $deletions }")"
printf '%-44s %12s %12s\n' "shell commands run (sh -c)" "$shells" "1"
printf '%-44s %12s %12s\n' "  of them ls -l / rm -f" "$lists / $removes" "-"
printf '%-44s %12s %12s\n' "programs executed (sh and tools)" "$programs" "5"
printf '%-44s %12s %12s\n' "one du over the whole tree (ms)" "$du_ms" "-"
