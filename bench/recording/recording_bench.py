#!/usr/bin/env python3
"""recording_bench.py -- what recording the camera's stream costs.

Records the same camera stand-in stream with vidula (nvr_max_read_size 2048,
the default, and 0), with ffmpeg (-c copy into an AVI file, what a user would
pick instead) and with a floor program that only polls, reads and writes the
same bytes (2 KiB and 64 KiB reads). The recorder runs pinned to one core,
the camera to the other. Prints, per pace, CPU seconds (user+sys) per 1000
frames, peak resident memory and the ratios to ffmpeg and to the floor.

    bench/recording/recording_bench.py [--build DIR] [--quick]

Needs: taskset (util-linux), ffmpeg, a C compiler (floor.c and measure.c), and the build's vidula,
tarsel and ipcam_standin.
"""
import argparse
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDER_CPU = "0"
CAMERA_CPU = "1"


def wait_for_text(path, text, timeout):
    end = time.time() + timeout
    while time.time() < end:
        with open(path, errors="replace") as f:
            content = f.read()
        if text in content:
            return content
        time.sleep(0.02)
    raise RuntimeError("no '%s' in %s:\n%s" % (text, path, content))


class Camera:
    """The stand-in, serving one connection of `frames` parts, then ending."""

    def __init__(self, build, work, size, fps, frames):
        self.log = os.path.join(work, "camera.log")
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(
                ["taskset", "-c", CAMERA_CPU, os.path.join(build, "bin", "ipcam_standin"),
                 "--port", "0", "--size", size, "--fps", str(fps), "--frames", str(frames),
                 "--no-auth", "--once"], stdout=out, stderr=subprocess.STDOUT)
        content = wait_for_text(self.log, "listening on 127.0.0.1:", 10)
        self.port = int(content.split("127.0.0.1:")[1].split()[0])

    def wait(self):
        self.proc.wait(timeout=600)


def run_to_exit(measure, work, argv):
    """Runs a recorder that ends by itself through measure; returns (cpu
    seconds, peak KiB)."""
    result = os.path.join(work, "measure.txt")
    subprocess.run(["taskset", "-c", CAMERA_CPU, measure, result, RECORDER_CPU] + argv,
                   stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    with open(result) as f:
        cpu, peak, _ = f.read().split()
    return float(cpu), int(peak)


def proc_cpu_and_peak(pid):
    with open("/proc/%d/schedstat" % pid) as f:
        cpu = int(f.read().split()[0]) / 1e9  # nanoseconds on a CPU, user and system
    peak = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1])
    return cpu, peak


def run_vidula(build, work, camera, size, read_size):
    """vidula records until the camera closes and the file is finished;
    measured then (its own CPU, without tarsel), and stopped."""
    width, height = size.split("x")
    rec = os.path.join(work, "rec") + "/"
    os.makedirs(rec, exist_ok=True)
    conf = os.path.join(work, "vidula.conf")
    keys = [("ipcam_type", "IPCAM_OTHER"), ("ipcam_address", "127.0.0.1"),
            ("ipcam_port", str(camera.port)), ("ipcam_video_width", width),
            ("ipcam_video_height", height), ("ipcam_fps", "25"),
            ("ipcam_http_command", "/video.mjpg"), ("nvr_record_folder", rec),
            ("nvr_video_name_prefix", "bench"), ("nvr_change_file_interval", "60"),
            ("nvr_max_storage_space", str(1 << 50)), ("nvr_max_read_size", str(read_size)),
            ("nvr_log_console", "yes")]
    with open(conf, "w") as f:
        f.write("".join("%s\t%s\n" % k for k in keys))
    log = os.path.join(work, "vidula.log")
    with open(log, "w") as out:
        proc = subprocess.Popen(["taskset", "-c", RECORDER_CPU, os.path.join(build, "bin", "vidula"),
                                 "-c", conf], stdout=out, stderr=subprocess.STDOUT)
    camera.wait()
    wait_for_text(log, "Average frame rate is", 120)
    cpu, peak = proc_cpu_and_peak(proc.pid)
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=60)
    frames = sum(avi_frames(path) for path in glob.glob(rec + "**/*.avi", recursive=True))
    return cpu, peak, frames


def avi_frames(path):
    """Index entries holding data in a finished AVI file."""
    with open(path, "rb") as f:
        data = f.read()
    movi = struct.unpack_from("<I", data, 2040)[0]
    at = 2044 + movi
    if data[at:at + 4] != b"idx1":
        return 0
    length = struct.unpack_from("<I", data, at + 4)[0]
    return sum(1 for e in range(at + 8, at + 8 + length, 16)
               if struct.unpack_from("<I", data, e + 12)[0] > 0)


def probe_packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout.strip()
    return int(out) if out.isdigit() else 0


def run_one(build, tools, recorder, size, fps, frames):
    work = tempfile.mkdtemp(prefix="recbench.")
    try:
        camera = Camera(build, work, size, fps, frames)
        if recorder.startswith("vidula"):
            read_size = 0 if recorder.endswith("0") else 2048
            cpu, peak, got = run_vidula(build, work, camera, size, read_size)
        elif recorder == "ffmpeg":
            out = os.path.join(work, "out.avi")
            cpu, peak = run_to_exit(tools["measure"], work, ["ffmpeg", "-nostdin", "-v", "error", "-i",
                                     "http://127.0.0.1:%d/video.mjpg" % camera.port,
                                     "-c", "copy", "-f", "avi", out])
            camera.wait()
            got = probe_packets(out)
        else:
            read_size = 2048 if recorder.endswith("2K") else 65536
            out = os.path.join(work, "out.mjpeg")
            cpu, peak = run_to_exit(tools["measure"], work,
                                    [tools["floor"], str(camera.port), str(read_size), out])
            camera.wait()
            with open(out, "rb") as f:
                got = f.read().count(b"Content-Length:")
        return cpu, peak, got
    finally:
        shutil.rmtree(work, ignore_errors=True)


RECORDERS = ["vidula 2048", "vidula 0", "ffmpeg", "floor 2K", "floor 64K"]


def run_pace(build, tools, title, size, fps, frames, repeat):
    rows = {}
    for recorder in RECORDERS:
        best = None
        for _ in range(repeat):
            cpu, peak, got = run_one(build, tools, recorder, size, fps, frames)
            if best is None or cpu < best[0]:
                best = (cpu, peak, got)
        rows[recorder] = best
    print("\n%s: %s, %d frames, camera at %s" % (title, size, frames,
                                                  "%d fps" % fps if fps else "socket speed"))
    print("%-12s %8s %14s %10s %9s %9s %9s %9s" % (
        "recorder", "frames", "CPU s/1000 fr", "peak MiB", "CPU/ffm", "CPU/fl2K", "CPU/fl64K",
        "mem/ffm"))
    base = rows["ffmpeg"]
    for recorder in RECORDERS:
        cpu, peak, got = rows[recorder]
        per = 1000.0 * cpu / frames
        def ratio(other):
            return "%.2f" % (cpu / rows[other][0]) if rows[other][0] > 0 else "-"
        print("%-12s %8d %14.4f %10.1f %9s %9s %9s %9.3f" % (
            recorder, got, per, peak / 1024.0, ratio("ffmpeg"), ratio("floor 2K"),
            ratio("floor 64K"), peak / float(base[1])))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"),
                        help="build folder holding bin/vidula, bin/tarsel, bin/ipcam_standin")
    parser.add_argument("--quick", action="store_true",
                        help="short runs (5 s at the camera's pace, 2000 frames)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for tool in ["taskset", "ffmpeg", "ffprobe", "cc"]:
        if shutil.which(tool) is None:
            sys.exit("recording_bench: %s is needed" % tool)
    for program in ["vidula", "tarsel", "ipcam_standin"]:
        if not os.access(os.path.join(build, "bin", program), os.X_OK):
            sys.exit("recording_bench: %s/bin/%s is missing; build first" % (build, program))
    scratch = tempfile.mkdtemp(prefix="recbench-tools.")
    tools = {}
    for name in ["floor", "measure"]:
        tools[name] = os.path.join(scratch, name)
        subprocess.run(["cc", "-O2", "-o", tools[name], os.path.join(HERE, name + ".c")],
                       check=True)
    try:
        paced = 125 if args.quick else 750
        fast = 2000 if args.quick else 20000
        print("recorder pinned to CPU %s, camera to CPU %s" % (RECORDER_CPU, CAMERA_CPU))
        run_pace(build, tools, "Camera's own pace", "640x480", 25, paced, 1)
        run_pace(build, tools, "As fast as the socket takes", "640x480", 0, fast, 3)
        run_pace(build, tools, "As fast as the socket takes", "1280x720", 0, fast, 3)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
