#!/usr/bin/env python3
"""lvserver_bench.py -- what live viewers cost vidula while it records.

Records the same camera stand-in stream (640x480, paced at --fps, --frames
parts, one connection) with vidula three times: with no viewer, with five
viewers that read everything, and with five viewers of which two never read
(stalled). vidula runs pinned to one core, the camera and the viewers to the
other. Prints, per run, vidula's CPU seconds (user+sys) per 1000 recorded
frames and its ratio to the run without viewers, the peak resident memory,
the frames in the AVI files, and per viewer the bytes and frames delivered.

    bench/lvserver/lvserver_bench.py [--build DIR] [--frames N] [--fps F]

Needs: taskset (util-linux), ffprobe, and the build's vidula, tarsel and
ipcam_standin.
"""
import argparse
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

VIDULA_CPU = "0"
OTHERS_CPU = "1"
REQUEST = b"GET /mjpg/video.mjpg HTTP/1.0\r\n\r\n"
BOUNDARY = b"--ipcamframe\r\n"


def wait_for_text(path, text, timeout):
    end = time.time() + timeout
    content = ""
    while time.time() < end:
        with open(path, errors="replace") as f:
            content = f.read()
        if text in content:
            return content
        time.sleep(0.02)
    raise RuntimeError("no '%s' in %s:\n%s" % (text, path, content[-2000:]))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Viewer(threading.Thread):
    """Reads the live stream and counts bytes and parts; a stalled one
    sends its request and never reads."""

    def __init__(self, port, stalled):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port))
        if stalled:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.sendall(REQUEST)
        self.stalled = stalled
        self.bytes = 0
        self.parts = 0
        self.done = False

    def run(self):
        if self.stalled:
            return
        tail = b""
        while not self.done:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                break
            if not chunk:
                break
            self.bytes += len(chunk)
            data = tail + chunk
            self.parts += data.count(BOUNDARY)
            tail = data[-(len(BOUNDARY) - 1):]

    def stop(self):
        self.done = True
        self.sock.close()


def recorded_frames(folder):
    frames = 0
    for path in glob.glob(os.path.join(folder, "**", "*.avi"), recursive=True):
        out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=size",
                              "-of", "csv=p=0", path], capture_output=True, text=True).stdout
        frames += sum(1 for line in out.split() if int(line) > 0)
    return frames


def run(build, frames, fps, viewers, stalled):
    work = tempfile.mkdtemp(prefix="bench_lvserver.")
    try:
        cam_log = os.path.join(work, "camera.log")
        with open(cam_log, "w") as out:
            camera = subprocess.Popen(
                ["taskset", "-c", OTHERS_CPU, os.path.join(build, "bin", "ipcam_standin"),
                 "--port", "0", "--size", "640x480", "--fps", str(fps), "--frames", str(frames),
                 "--once"], stdout=out, stderr=subprocess.STDOUT)
        content = wait_for_text(cam_log, "listening on 127.0.0.1:", 10)
        cam_port = int(content.split("127.0.0.1:")[1].split()[0])
        live_port = free_port()
        os.makedirs(os.path.join(work, "rec"))
        conf = os.path.join(work, "vidula.conf")
        with open(conf, "w") as f:
            for key, value in [("ipcam_type", "IPCAM_OTHER"), ("ipcam_address", "127.0.0.1"),
                               ("ipcam_port", cam_port), ("ipcam_video_width", 640),
                               ("ipcam_video_height", 480), ("ipcam_fps", fps if fps > 0 else 25),
                               ("ipcam_http_command", "/mjpg/video.mjpg"),
                               ("nvr_record_folder", os.path.join(work, "rec") + "/"),
                               ("nvr_max_storage_space", 100000000000), ("nvr_log_console", "yes"),
                               ("lvs_server_port", live_port)]:
                f.write("%s\t%s\n" % (key, value))
        # The camera waits for its one connection; viewers attach as soon as
        # the server listens, before the first frames matter.
        log = os.path.join(work, "vidula.log")
        with open(log, "w") as out:
            vidula = subprocess.Popen(["taskset", "-c", VIDULA_CPU,
                                       os.path.join(build, "bin", "vidula"), "-c", conf],
                                      stdout=out, stderr=subprocess.STDOUT)
        wait_for_text(log, "Live video server is started successfully.", 20)
        watchers = [Viewer(live_port, i < stalled) for i in range(viewers)]
        for w in watchers:
            w.start()
        wait_for_text(log, "Close and rename", 600)
        cpu = cpu_seconds(vidula.pid)
        rss = peak_rss_kib(vidula.pid)
        for w in watchers:
            w.stop()
        vidula.terminate()
        vidula.wait(timeout=30)
        camera.wait(timeout=30)
        recorded = recorded_frames(os.path.join(work, "rec"))
        return {"cpu": cpu, "rss": rss, "recorded": recorded,
                "viewers": [(w.stalled, w.bytes, w.parts) for w in watchers]}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--frames", type=int, default=750)
    parser.add_argument("--fps", type=int, default=25)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if shutil.which("taskset") is None or shutil.which("ffprobe") is None:
        sys.exit("needs taskset and ffprobe")

    runs = [("no viewer", 0, 0), ("5 viewers", 5, 0), ("5 viewers, 2 stalled", 5, 2)]
    results = []
    for name, viewers, stalled in runs:
        results.append((name, run(build, args.frames, args.fps, viewers, stalled)))

    print("camera: 640x480, %d frames at %s" % (args.frames,
                                                "%d fps" % args.fps if args.fps else "full speed"))
    base = None
    print("%-22s %12s %8s %12s %9s" % ("run", "cpu s/1000f", "ratio", "peak RSS KiB", "recorded"))
    for name, r in results:
        per_thousand = r["cpu"] * 1000.0 / max(r["recorded"], 1)
        if base is None:
            base = per_thousand
        print("%-22s %12.3f %8.2f %12d %9d" % (name, per_thousand, per_thousand / base if base else 0,
                                               r["rss"], r["recorded"]))
    for name, r in results:
        for i, (stalled, nbytes, parts) in enumerate(r["viewers"]):
            print("  %-20s viewer %d: %s %10d bytes %6d frames" % (
                name, i, "stalled" if stalled else "reading", nbytes, parts))


if __name__ == "__main__":
    main()
