#!/usr/bin/env python3
"""scale_bench.py -- many cameras per box: N vidula (each with its tarsel and
its own recording folder on one volume) against N ffmpeg -c copy.

One multicam process (multicam.c) plays N cameras at 640x480, 25 fps, from
prepared JPEG files. For each N the N recorders record for --seconds (60), then
the cameras end their streams; the same cameras are then recorded by N
instances of `ffmpeg -i URL -c copy -f avi` for as long. Prints per N: frames
sent, frames recorded (ffprobe's packets), frames lost, CPU milliseconds per
camera-second of all recorders and disk managers together (schedstat of every
thread, plus their reaped children), peak memory per recorder (the largest
VmHWM), the same for ffmpeg, the ratios, and the machine's busy share of its
cores over the window. Stops after the first N that saturates (frames lost,
or per-camera CPU past 1.5 x that of N = 1).

    bench/scale/scale_bench.py [--build DIR] [--ns 1,4,16,32,64] [--seconds 60]

Needs: ffmpeg, ffprobe, cc, and the build's vidula and tarsel.
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TICK = os.sysconf("SC_CLK_TCK")


def wait_for_text(path, text, timeout, count=1):
    end = time.time() + timeout
    content = ""
    while time.time() < end:
        with open(path, errors="replace") as f:
            content = f.read()
        if content.count(text) >= count:
            return content
        time.sleep(0.05)
    raise RuntimeError("no %d x '%s' in %s:\n%s" % (count, text, path, content[-2000:]))


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def cpu_seconds(pid):
    """CPU of every thread of pid, plus its reaped children."""
    total = 0.0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0]) / 1e9
        except OSError:
            pass
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += (int(fields[13]) + int(fields[14])) / TICK  # cutime, cstime
    except OSError:
        pass
    return total


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def machine_busy():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]
    return sum(v[:8]) - idle, sum(v[:8])


def probe_packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                         capture_output=True, text=True).stdout.strip()
    return int(out) if out.isdigit() else 0


class Cameras:
    def __init__(self, tools, work):
        self.log = os.path.join(work, "multicam.log")
        self.out = open(self.log, "w")
        self.proc = subprocess.Popen([tools["multicam"], tools["jpegs"], "25"], stdout=self.out,
                                     stderr=subprocess.STDOUT)
        content = wait_for_text(self.log, "listening on 127.0.0.1:", 10)
        self.port = int(content.split("127.0.0.1:")[1].split()[0])

    def wait_streaming(self, n):
        wait_for_text(self.log, "streaming %d\n" % n, 60)

    def stop(self):
        cpu = cpu_seconds(self.proc.pid)
        self.proc.send_signal(signal.SIGUSR1)
        self.proc.wait(timeout=60)
        self.out.close()
        with open(self.log) as f:
            sent = int(f.read().split("sent ")[-1].split()[0])
        return sent, cpu


def start_vidulas(build, work, port, n, read_size):
    procs = []
    for k in range(n):
        rec = os.path.join(work, "cam%02d" % k, "rec") + "/"
        os.makedirs(rec)
        conf = os.path.join(work, "cam%02d" % k, "vidula.conf")
        keys = [("ipcam_type", "IPCAM_OTHER"), ("ipcam_address", "127.0.0.1"),
                ("ipcam_port", str(port)), ("ipcam_video_width", "640"),
                ("ipcam_video_height", "480"), ("ipcam_fps", "25"),
                ("ipcam_http_command", "/video.mjpg"), ("nvr_record_folder", rec),
                ("nvr_video_name_prefix", "cam"), ("nvr_change_file_interval", "60"),
                ("nvr_max_storage_space", str(1 << 50)), ("nvr_max_read_size", str(read_size)),
                ("nvr_log_console", "yes")]
        with open(conf, "w") as f:
            f.write("".join("%s\t%s\n" % k for k in keys))
        log = os.path.join(work, "cam%02d" % k, "vidula.log")
        out = open(log, "w")
        proc = subprocess.Popen([os.path.join(build, "bin", "vidula"), "-c", conf], stdout=out,
                                stderr=subprocess.STDOUT)
        procs.append((proc, log, out))
    return procs


def run_phase(build, tools, n, seconds, recorder):
    work = tempfile.mkdtemp(prefix="scalebench.", dir=tools["volume"])
    try:
        cams = Cameras(tools, work)
        url = "http://127.0.0.1:%d/video.mjpg" % cams.port
        if recorder == "vidula":
            procs = start_vidulas(build, work, cams.port, n, tools["read_size"])
        else:
            procs = []
            for k in range(n):
                out = open(os.path.join(work, "ffmpeg%02d.log" % k), "w")
                procs.append((subprocess.Popen(
                    ["ffmpeg", "-nostdin", "-v", "error", "-i", url, "-c", "copy", "-f", "avi",
                     os.path.join(work, "ffmpeg%02d.avi" % k)], stdout=out,
                    stderr=subprocess.STDOUT), None, out))
        cams.wait_streaming(n)

        def pids():
            result = []
            for proc, _, _ in procs:
                result.append(proc.pid)
                result.extend(children(proc.pid))  # tarsel
            return result

        time.sleep(1)  # every recorder past its first frame
        start = {p: cpu_seconds(p) for p in pids()}
        busy0, all0 = machine_busy()
        cam0 = cpu_seconds(cams.proc.pid)
        time.sleep(seconds)
        end = {p: cpu_seconds(p) for p in pids()}
        busy1, all1 = machine_busy()
        cpu = sum(end[p] - start.get(p, 0.0) for p in end)
        peak = max(peak_kib(proc.pid) for proc, _, _ in procs)
        sent, cam1 = cams.stop()
        camera_cpu = cam1 - cam0
        if recorder == "vidula":
            for proc, log, _ in procs:
                # The stream's end closes the file (index, final header, name).
                wait_for_text(log, "Average frame rate is", 60)
                proc.send_signal(signal.SIGTERM)
            files = glob.glob(os.path.join(work, "cam*", "rec", "**", "*.avi"), recursive=True)
        else:
            files = glob.glob(os.path.join(work, "ffmpeg*.avi"))
        for proc, _, out in procs:
            proc.wait(timeout=60)
            out.close()
        recorded = sum(probe_packets(f) for f in files)
        return {"sent": sent, "recorded": recorded, "cpu": cpu, "peak": peak,
                "per_cam": 1000.0 * cpu / (n * seconds), "camera": 1000.0 * camera_cpu / seconds,
                "busy": (busy1 - busy0) / float(max(1, all1 - all0))}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--ns", default="1,4,16,32,64")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--read-size", type=int, default=2048,
                        help="vidula's nvr_max_read_size (2048 is its default, 0 no limit)")
    parser.add_argument("--volume", default=tempfile.gettempdir(),
                        help="folder on the volume that holds the recordings")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for tool in ["ffmpeg", "ffprobe", "cc"]:
        if shutil.which(tool) is None:
            sys.exit("scale_bench: %s is needed" % tool)
    tools_dir = tempfile.mkdtemp(prefix="scaletools.")
    tools = {"multicam": os.path.join(tools_dir, "multicam"),
             "jpegs": os.path.join(tools_dir, "jpeg"), "volume": args.volume,
             "read_size": args.read_size}
    subprocess.run(["cc", "-O2", "-o", tools["multicam"], os.path.join(HERE, "multicam.c")],
                   check=True)
    os.makedirs(tools["jpegs"])
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=size=640x480:rate=25", "-frames:v", "50", "-q:v", "2",
                    os.path.join(tools["jpegs"], "%03d.jpg")], check=True)
    sizes = [os.path.getsize(p) for p in glob.glob(os.path.join(tools["jpegs"], "*.jpg"))]
    print("cameras: 640x480, 25 fps, JPEGs of %d bytes on average; %d s per N and recorder; "
          "%d cores; vidula's nvr_max_read_size %d" % (sum(sizes) // len(sizes), args.seconds,
                                                     os.cpu_count(), args.read_size))
    print("%4s | %-8s %8s %8s %6s %9s %8s %6s | %-8s %8s %6s %9s %8s %6s | %7s %6s" % (
        "N", "recorder", "sent", "recorded", "lost", "ms/cam-s", "peakMiB", "busy",
        "peer", "recorded", "lost", "ms/cam-s", "peakMiB", "busy", "CPU/ffm", "/N=1"))
    base = None
    try:
        for n in [int(x) for x in args.ns.split(",")]:
            v = run_phase(build, tools, n, args.seconds, "vidula")
            f = run_phase(build, tools, n, args.seconds, "ffmpeg")
            if base is None:
                base = v["per_cam"]
            print("%4d | %-8s %8d %8d %6d %9.2f %8.1f %5.0f%% | %-8s %8d %6d %9.2f %8.1f %5.0f%% |"
                  " %7.2f %6.2f   (cameras %.0f / %.0f ms/s)" % (
                      n, "vidula", v["sent"], v["recorded"], v["sent"] - v["recorded"],
                      v["per_cam"], v["peak"] / 1024.0, 100 * v["busy"], "ffmpeg",
                      f["recorded"], f["sent"] - f["recorded"], f["per_cam"], f["peak"] / 1024.0,
                      100 * f["busy"], v["per_cam"] / f["per_cam"], v["per_cam"] / base,
                      v["camera"], f["camera"]))
            sys.stdout.flush()
            lost = v["sent"] - v["recorded"]
            if lost > 0.002 * v["sent"] or v["per_cam"] > 1.5 * base:
                print("saturated at N = %d" % n)
                break
    finally:
        shutil.rmtree(tools_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
