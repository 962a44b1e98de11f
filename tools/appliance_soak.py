#!/usr/bin/env python3
"""appliance_soak.py -- the whole appliance under a compressed day.

Started by tools/appliance_soak.sh inside network, mount and IPC namespaces
of its own: python3 appliance_soak.py BIN_DIR TOP_DIR. See that script for
what runs; this file sets the appliance up, drives it, injects the faults and
checks the end state. Each part of the appliance has a class of its own:
Recorders (cameras, vidula, tarsel), Handoffs (parcelod, the clients, the
FTP server), EventChecks (orlinda and the state it watches), FlashWriter and
Faults; Soak runs them and writes the report.
"""
import faulthandler
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

SECONDS = int(os.environ.get("SOAK_SECONDS", "600"))
SEED = int(os.environ.get("SOAK_SEED", str(int(time.time()))))
VOLUME = "/mnt/USB5/C:"  # the data volume, in the appliance's form
VOLUME_MB = 96
BR0 = "127.0.0.2"


def log(text):
    sys.stdout.write("[%7.1f] %s\n" % (time.monotonic() - START, text))
    sys.stdout.flush()


START = time.monotonic()


def read(path, default=""):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return default


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".soak"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def proc_stat(pid):
    """(state, ppid, comm) of pid, or None when it is gone."""
    text = read("/proc/%d/stat" % pid)
    close = text.rfind(")")
    if close < 0:
        return None
    fields = text[close + 2:].split()
    return fields[0], int(fields[1]), text[text.find("(") + 1:close]


def rss_kb(pid):
    for line in read("/proc/%d/status" % pid).splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def open_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def all_processes():
    out = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = proc_stat(int(name))
            if st:
                out[int(name)] = st
    return out


def children(pid, procs=None):
    procs = procs or all_processes()
    return [p for p, st in procs.items() if st[1] == pid]


class Sandbox:
    """The root, the data volume (a tmpfs of VOLUME_MB) and the stand-ins."""

    def __init__(self, bin_dir, top):
        self.bin = bin_dir
        self.top = top
        self.root = os.environ.get("SOAK_ROOT") or subprocess.check_output(
            ["mktemp", "-d", "/tmp/nas-soak.XXXXXX"], text=True).strip()
        os.makedirs(self.root, exist_ok=True)
        self.standin = self.path("/standin")
        os.makedirs(self.standin, exist_ok=True)
        volume = self.path(VOLUME)
        os.makedirs(volume, exist_ok=True)
        subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=%dm" % VOLUME_MB, "soakvol", volume])
        self.env = dict(os.environ)
        self.env.update({
            "NAS_ROOT": self.root,
            "NAS_STANDIN": self.standin,
            "PATH": "%s/tools/standins:%s:%s" % (top, bin_dir, os.environ["PATH"]),
            "TZ": "UTC",
        })
        self.stop = threading.Event()
        self.failures = []
        self.groups = []
        self.lock = threading.Lock()

    def path(self, appliance_path):
        return self.root + appliance_path

    def fail(self, text):
        with self.lock:
            self.failures.append(text)
        log("FAIL: " + text)

    def run(self, argv, timeout=60, **kw):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True,
                              timeout=timeout, errors="replace", **kw)

    def spawn(self, argv, out, **kw):
        with open(out, "ab") as sink:
            p = subprocess.Popen(argv, env=self.env, stdout=sink, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True, **kw)
        with self.lock:
            self.groups.append(p.pid)
        return p

    def end_all(self):
        """Every process group started here is gone when the soak ends, however it ends."""
        for pid in self.groups:
            try:
                os.killpg(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def update_df(self):
        """df's stand-in output: the tmpfs's real figures on the appliance's line."""
        st = os.statvfs(self.path(VOLUME))
        total = st.f_blocks * st.f_frsize // 1024
        avail = st.f_bavail * st.f_frsize // 1024
        used = total - st.f_bfree * st.f_frsize // 1024
        pct = (used * 100 // total) if total else 0
        write(self.standin + "/df.out",
              "Filesystem     1K-blocks    Used Available Use%% Mounted on\n"
              "/dev/hdd1 %d %d %d %d%% %s\n" % (total, used, avail, pct, VOLUME))

    def volume_free_kb(self):
        st = os.statvfs(self.path(VOLUME))
        return st.f_bavail * st.f_frsize // 1024


class Recorders:
    """Two cameras, each recorded by a vidula under an NVR manager."""

    QUOTA = 6 * 1024 * 1024
    FILE_SIZE = 1024 * 1024

    def __init__(self, box):
        self.box = box
        self.cams = []
        self.probed = {}       # finished file -> frames with data
        self.missed = set()    # finished files gone before they were probed
        self.seen_in_progress = set()
        self.overshoot = [0, 0]
        self.kills = 0

    def start(self):
        box = self.box
        for i in range(2):
            folder = box.path("%s/rec%d/" % (VOLUME, i + 1))
            os.makedirs(folder, exist_ok=True)
            camlog = box.path("/camera%d.log" % (i + 1))
            cam = box.spawn([box.bin + "/ipcam_standin", "--port", "0", "--size", "320x240",
                             "--fps", "12", "--frames", str(random.randint(600, 1200))], camlog)
            port = None
            for _ in range(200):
                m = re.search(r"listening on 127\.0\.0\.1:(\d+)", read(camlog))
                if m:
                    port = int(m.group(1))
                    break
                time.sleep(0.05)
            conf = box.path("/vidula%d.conf" % (i + 1))
            keys = [("ipcam_type", "IPCAM_OTHER"), ("ipcam_address", "127.0.0.1"),
                    ("ipcam_port", str(port)), ("ipcam_video_width", "320"),
                    ("ipcam_video_height", "240"), ("ipcam_fps", "12"),
                    ("ipcam_http_command", "/mjpg/video.mjpg"),
                    ("nvr_record_folder", folder), ("nvr_video_name_prefix", "cam%d_" % (i + 1)),
                    ("nvr_change_file_interval", "1"), ("nvr_max_file_size", str(self.FILE_SIZE)),
                    ("nvr_max_storage_space", str(self.QUOTA)), ("nvr_recycle_storage", "yes"),
                    ("nvr_connection_idle_timeout", "5"), ("nvr_log_mq", box.path("/bin/tovald")),
                    ("nvr_manager_mq", box.path("/manager%d.key" % (i + 1))),
                    ("nvr_log_console", "yes")]
            write(conf, "".join("%s\t%s\n" % kv for kv in keys))
            write(box.path("/manager%d.key" % (i + 1)), "")
            mgr = box.spawn([box.bin + "/nvr_manager", "-q", box.path("/manager%d.key" % (i + 1)),
                             box.bin + "/vidula", "-c", conf], box.path("/vidula%d.log" % (i + 1)))
            self.cams.append({"camera": cam, "camlog": camlog, "manager": mgr, "folder": folder,
                              "port": port, "conf": conf})
        log("recorders: two cameras at 12 frames a second, quota %d bytes each" % self.QUOTA)

    def vidula_pid(self, i):
        kids = [p for p in children(self.cams[i]["manager"].pid) if proc_stat(p) and proc_stat(p)[2] == "vidula"]
        return kids[0] if kids else None

    def tarsel_pid(self, i):
        v = self.vidula_pid(i)
        if not v:
            return None
        kids = [p for p in children(v) if proc_stat(p) and proc_stat(p)[2] == "tarsel"]
        return kids[0] if kids else None

    def files(self, i):
        out = []
        for dirpath, _, names in os.walk(self.cams[i]["folder"]):
            out += [os.path.join(dirpath, n) for n in names if n.endswith(".avi")]
        return out

    @staticmethod
    def frames_in(path):
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=size", "-of", "csv=p=0", path],
                           capture_output=True, text=True)
        if r.returncode != 0:
            return None
        return sum(1 for line in r.stdout.split() if line.strip().isdigit() and int(line) > 0)

    def watch_once(self):
        """Probes every newly finished recording before tarsel can delete it."""
        for i in range(2):
            size = 0
            for f in self.files(i):
                try:
                    size += os.path.getsize(f)
                except OSError:
                    continue
                if f.endswith("_.avi"):
                    self.seen_in_progress.add(f)
                    continue
                if f not in self.probed:
                    n = self.frames_in(f)
                    if n is None and os.path.exists(f):
                        self.box.fail("recorder: ffprobe cannot read finished file %s" % f)
                        n = 0
                    if n is not None:
                        self.probed[f] = n
            self.overshoot[i] = max(self.overshoot[i], size - self.QUOTA)

    def frames_sent(self, i):
        return sum(int(n) for n in re.findall(r"sent (\d+) frames", read(self.cams[i]["camlog"])))

    def stall_camera(self, seconds):
        i = random.randrange(2)
        cam = self.cams[i]["camera"]
        os.kill(cam.pid, signal.SIGSTOP)
        time.sleep(seconds)
        os.kill(cam.pid, signal.SIGCONT)
        return "camera %d stalled %d s" % (i + 1, seconds)

    def stop(self):
        for c in self.cams:
            c["manager"].send_signal(signal.SIGTERM)
        for c in self.cams:
            try:
                c["manager"].wait(30)
            except subprocess.TimeoutExpired:
                self.box.fail("recorder: NVR manager did not stop")
        time.sleep(0.5)  # the cameras say what they sent on the broken connection
        for c in self.cams:
            os.killpg(c["camera"].pid, signal.SIGTERM)
            c["camera"].wait(10)

    def check(self, report):
        """After stop: every file finished, frames sent against frames recorded."""
        self.watch_once()
        for i in range(2):
            left = [f for f in self.files(i) if f.endswith("_.avi")]
            for f in left:
                self.box.fail("recorder: in-progress file left after the last stop: %s" % f)
            sent = self.frames_sent(i)
            mine = [f for f in self.probed if f.startswith(self.cams[i]["folder"])]
            recorded = sum(self.probed[f] for f in mine)
            lost = sent - recorded
            report.append("recorder %d: frames sent %d, recorded in %d finished files %d, lost %d; "
                          "largest quota overshoot %d bytes" % (i + 1, sent, len(mine), recorded, lost,
                                                                max(0, self.overshoot[i])))
            # A kill -9 or a stall loses at most what was in flight; more is a loss.
            allowed = 60 * (self.kills + 2) + sent // 200
            if lost > allowed or recorded == 0:
                self.box.fail("recorder %d: %d of %d frames lost (allowed %d)" % (i + 1, lost, sent, allowed))
            if self.overshoot[i] > 2 * self.FILE_SIZE:
                self.box.fail("recorder %d: quota passed by %d bytes" % (i + 1, self.overshoot[i]))


class Handoffs:
    """parcelod, three client loops (one the administrator) and the FTP server."""

    USERS = [("alice", "wonder"), ("bob", "builder"), ("admin", "secret")]
    SHARES = VOLUME + "/.storage_server_parcelo/"
    SYSTEM = VOLUME + "/.system_file/parcelo/"

    def __init__(self, box):
        self.box = box
        self.acked = {}      # filesId -> (user, size): answered done and not deleted since
        self.deleted = set()
        self.downloads = [0, 0]  # hand-offs downloaded through their link, bytes
        self.counts = {"shares": 0, "copies": 0, "finishes": 0, "deletes": 0, "refused": 0}
        self.lock = threading.Lock()
        self.threads = []

    def start(self):
        box = self.box
        conf = box.path("/nasext/main/cfg/parcelo/parcelo.conf")
        write(conf, "\t\teffective_days  30\n\t\tinternet_addr\t%s\n\t\tlimit_space     0\n"
                    "\t\ttarget_hdd\tHDD1\n\t\ttotal_space\tunlimited\n"
                    "\t\teach_user_max_space\tunlimited\n" % BR0)
        write(box.standin + "/ifconfig.out",
              "br0       Link encap:Ethernet  HWaddr 00:11:22:33:44:55\n"
              "          inet addr:%s  Bcast:127.255.255.255  Mask:255.0.0.0\n" % BR0)
        write(box.path("/bin/naslanguagetable.h"), "en CP1252\nde ISO-8859-15\n")
        for user, _ in self.USERS:
            src = box.path("%s/src_%s" % (VOLUME, user))
            os.makedirs(src, exist_ok=True)
            for k in range(3):
                with open("%s/part%d.bin" % (src, k), "wb") as f:
                    f.write(os.urandom(random.randint(20000, 200000)))
        self.parcelod = box.spawn([box.bin + "/parcelod"], box.path("/parcelod.log"))
        for _ in range(200):
            if box.run(["handoff_client", "charset"]).returncode == 0:
                break
            time.sleep(0.05)
        self.start_ftp()
        for user, password in self.USERS:
            t = threading.Thread(target=self.client_loop, args=(user, password), daemon=True)
            t.start()
            self.threads.append(t)
        log("hand-off: parcelod, clients %s, FTP at %s" % (", ".join(u for u, _ in self.USERS), BR0))

    def start_ftp(self):
        box = self.box
        ftproot = box.path("/ftproot")
        os.makedirs(ftproot, exist_ok=True)
        os.makedirs(box.path("/vsftpd-empty"), exist_ok=True)
        link = ftproot + "/PARCELO_FINAL_SHARE"
        if not os.path.islink(link):
            os.symlink(box.path(self.SHARES + ".parcelo_final_share"), link)
        conf = box.path("/vsftpd.conf")
        write(conf, "\n".join([
            "listen=YES", "listen_address=" + BR0, "listen_port=21", "background=NO",
            "anonymous_enable=YES", "no_anon_password=YES", "anon_root=" + ftproot,
            "local_enable=NO", "write_enable=NO", "run_as_launching_user=YES",
            "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "secure_chroot_dir=" + box.path("/vsftpd-empty"), "pasv_enable=YES",
            "pasv_min_port=30000", "pasv_max_port=30999", "max_clients=50", "max_per_ip=50",
            "xferlog_enable=YES", "vsftpd_log_file=" + box.path("/vsftpd.log"), ""]))
        self.ftp = box.spawn(["/usr/sbin/vsftpd", conf], box.path("/vsftpd.out"))

    def client(self, user, password, *args, timeout=90):
        """Runs handoff_client; a client left waiting (its copy process was killed
        before its notice) counts as a broken session, exit status 3."""
        try:
            return self.box.run(["handoff_client", "-u", user, "-w", password] + list(args), timeout=timeout)
        except subprocess.TimeoutExpired:
            return subprocess.CompletedProcess(args, 3, "", "timed out")

    def download(self, link, source_dir):
        """Fetches every file of a hand-off through its FTP link; compares bytes."""
        listing = self.box.run(["curl", "-gsS", "--max-time", "30", link + "/", "-l"])
        if listing.returncode != 0:
            return "listing failed: " + listing.stderr.strip()
        names = sorted(n for n in listing.stdout.split("\n") if n.strip())
        expected = sorted(os.listdir(source_dir))
        if names != expected:
            return "listing %s, expected %s" % (names, expected)
        for name in names:
            r = subprocess.run(["curl", "-gsS", "--max-time", "30", link + "/" + name],
                               capture_output=True)
            with open(os.path.join(source_dir, name), "rb") as f:
                want = f.read()
            if r.returncode != 0 or r.stdout != want:
                return "%s differs (%d of %d bytes; curl %d %s)" % (
                    name, len(r.stdout), len(want), r.returncode, r.stderr.decode(errors="replace").strip())
            with self.lock:
                self.downloads[1] += len(want)
        with self.lock:
            self.downloads[0] += 1
        return None

    def client_loop(self, user, password):
        box = self.box
        n = 0
        kept = []
        while not box.stop.is_set():
            n += 1
            size = random.randint(50, 400)
            r = self.client(user, password, "share", "soak_%s_%d" % (user, n), str(size), "folder")
            if r.returncode != 0:
                with self.lock:
                    self.counts["refused"] += 1
                time.sleep(0.5)
                continue
            fields = dict(line.split("\t", 1) for line in r.stdout.splitlines() if "\t" in line)
            fid, link = fields.get("files_id", ""), fields.get("internet_link", "")
            with self.lock:
                self.counts["shares"] += 1
            if not link.startswith("ftp://%s/PARCELO_FINAL_SHARE/" % BR0):
                box.fail("hand-off: link %r of %s" % (link, fid))
            src = box.path("%s/src_%s" % (VOLUME, user))
            if random.random() < 0.5:
                r = self.client(user, password, "copy", "%s/src_%s" % (VOLUME, user), fid, str(size))
                ok = r.returncode == 0 and ("copy finished: " + fid) in r.stdout
                kind, subdir = "copies", "src_%s" % user
            else:
                tmp = box.path(self.SHARES + ".parcelo_tmp_share/!@][_" + fid)
                try:
                    shutil.copytree(src, tmp + "/upload", dirs_exist_ok=True)
                except OSError:
                    # A full volume cut the upload: the user gives the hand-off up.
                    self.client(user, password, "abandon", fid)
                    continue
                r = self.client(user, password, "finish", fid)
                ok = r.returncode == 0
                kind, subdir = "finishes", "upload"
            if not ok:
                continue
            with self.lock:
                self.acked[fid] = (user, size)
                self.counts[kind] += 1
            hist = self.client(user, password, "history")
            if fid not in hist.stdout and hist.returncode == 0:
                box.fail("hand-off: %s acknowledged but not in %s's history" % (fid, user))
            if random.random() < 0.5:
                problem = self.download(link + "/" + subdir, src)
                if problem:
                    box.fail("hand-off: download of %s through %s: %s" % (fid, link, problem))
            kept.append(fid)
            # Users delete some hand-offs at once and the oldest when they keep
            # many, so the volume holds a working set, not the whole soak.
            if random.random() < 0.35 or len(kept) > 12:
                victim = fid if random.random() < 0.35 else kept[0]
                if self.client(user, password, "delete", victim).returncode == 0:
                    kept.remove(victim)
                    with self.lock:
                        self.acked.pop(victim, None)
                        self.deleted.add(victim)
                        self.counts["deletes"] += 1

    def connection_processes(self):
        return children(self.parcelod.pid)

    def kill_child(self):
        kids = self.connection_processes()
        procs = all_processes()
        copies = [k for p in kids for k in children(p, procs)]
        pool = copies + kids if random.random() < 0.5 and copies else kids + copies
        if not pool:
            return None
        victim = random.choice(pool)
        try:
            os.kill(victim, signal.SIGKILL)
        except ProcessLookupError:
            return None
        return "parcelod %s process %d" % ("copy" if victim in copies else "connection", victim)

    def stop(self):
        for t in self.threads:
            t.join(180)

    @staticmethod
    def parse_records(text):
        records, cur = [], None
        for line in text.split("\n"):
            if line.startswith("["):
                cur = {"user": line[1:line.find("]")]}
                records.append(cur)
            elif cur is not None and "\t" in line:
                k, v = line.split("\t", 1)
                cur[k] = v
        return records

    def check(self, report):
        box = self.box
        system = box.path(self.SYSTEM)
        history = self.parse_records(read(system + "parcelo_history.conf"))
        pending = []
        for name in os.listdir(system) if os.path.isdir(system) else []:
            if name.startswith("history_") and name.endswith(".tmp"):
                pending += self.parse_records(read(system + name))
        ids = [r.get("files_id", "") for r in history]
        for fid, (user, size) in self.acked.items():
            count = ids.count(fid)
            if count != 1:
                box.fail("hand-off: acknowledged %s is %d times in the history" % (fid, count))
        dups = {i for i in ids if ids.count(i) > 1}
        for fid in dups:
            box.fail("hand-off: %s is more than once in the history" % fid)
        for fid in self.deleted:
            if fid in ids:
                box.fail("hand-off: deleted %s is still in the history" % fid)
        # Counters: what the history and the pending records hold.
        status = read(system + "parcelo_status.conf")
        total = re.search(r"total_available_space\t(-?\d+)", status)
        users = dict(re.findall(r"\[([^\]]*)\]\nuser_available_space\t(-?\d+)", status))
        want_total = sum(int(r.get("size", "0") or 0) for r in history + pending)
        want_user = {}
        for r in history + pending:
            want_user[r["user"]] = want_user.get(r["user"], 0) + int(r.get("size", "0") or 0)
        got_total = int(total.group(1)) if total else -1
        if got_total != want_total:
            box.fail("hand-off: total counter %d, records hold %d" % (got_total, want_total))
        for user, want in want_user.items():
            if int(users.get(user, "-1")) != want:
                box.fail("hand-off: %s's counter %s, records hold %d" % (user, users.get(user), want))
        # Share folders: each final share has a record, each temporary one a pending record.
        recorded = set(ids) | {r.get("files_id", "") for r in pending}
        for tree in ("final", "tmp"):
            folder = box.path(self.SHARES + ".parcelo_%s_share" % tree)
            for name in os.listdir(folder) if os.path.isdir(folder) else []:
                fid = name[len("!@][_"):]
                if fid not in recorded:
                    box.fail("hand-off: %s share %s has no record" % (tree, name))
        report.append("hand-off: %(shares)d shares, %(copies)d copies, %(finishes)d finishes, "
                      "%(deletes)d deletes, %(refused)d refused shares" % self.counts)
        report.append("hand-off: %d acknowledged hand-offs kept, %d history records, %d pending; "
                      "total counter %d KB = records %d KB" % (len(self.acked), len(history),
                                                              len(pending), got_total, want_total))
        report.append("hand-off: %d hand-offs downloaded through their FTP links, %d bytes, "
                      "byte for byte" % tuple(self.downloads))
        if self.downloads[0] == 0:
            box.fail("hand-off: nothing was downloaded through an FTP link")


class EventChecks:
    """orlinda every few seconds over a state that changes, with its stand-ins."""

    PERIOD = 2.0

    def __init__(self, box):
        self.box = box
        self.ftp_down = False
        self.media_missing = False
        self.quota_over = False
        self.episodes = {"ftp": 0, "media": 0, "quota": 0}
        self.finished = []   # BitTorrent items made finished, by name
        self.failing = []
        self.items = []
        self.runs = 0
        self.kills = 0
        self.active = []
        self.lock = threading.Lock()

    def start(self):
        box = self.box
        for d in ("/tmp", "/web/file", "/nasext/main/email", "/nasext/main/sys",
                  "/tmp/USB5/C:/.system_file", VOLUME + "/.system_file", VOLUME + "/music",
                  VOLUME + "/video", "/bin"):
            os.makedirs(box.path(d), exist_ok=True)
        write(box.path("/web/file/nasemailbody.var"), "")
        write(box.path("/bin/tovald"), "")
        # photos is missing for good, video comes and goes: each time video goes,
        # the list of missing folders gains an entry, which is mailed.
        write(box.path("/media.conf"), "[HDD1]C:\\video\n[HDD1]C:\\photos\n")
        write(box.standin + "/mount.out", "/dev/hdd1 on %s type ext3 (rw,usrquota,grpquota)\n" % VOLUME)
        write(box.path(VOLUME + "/.system_file/quotaUser.conf"),
              "userName =alice\nquotaSet =Warning and Quota\nwarningLevel =2048\n"
              "quotaLimit =10240\nmailAddress =alice@example.com\nuserEnd\n")
        self.write_quota()
        self.write_ps()
        self.write_bt()
        self.log_daemon = box.spawn([box.bin + "/log_daemon", "-q", box.path("/bin/tovald")],
                                    box.path("/log_records.txt"))
        self.thread = threading.Thread(target=self.scheduler, daemon=True)
        self.thread.start()
        self.changer = threading.Thread(target=self.change_state, daemon=True)
        self.changer.start()
        log("event checker: orlinda every %.0f s, the state changing every few seconds" % self.PERIOD)

    def write_ps(self):
        daemons = ["nmbd", "smbd", "ushare", "mt-daapd"] + ([] if self.ftp_down else ["ftpd"])
        lines = ["  PID USER       VSZ STAT COMMAND"]
        lines += ["  %d root  1200 S /usr/sbin/%s" % (100 + k, d) for k, d in enumerate(daemons)]
        lines += [" 9999 root  1100 S grep %s" % d for d in ("nmbd", "smbd", "ftpd", "drovenna", "ushare", "mt-daapd")]
        write(self.box.standin + "/ps.out", "\n".join(lines) + "\n")

    def write_quota(self):
        used = 3145728 if self.quota_over else 1024
        write(self.box.standin + "/repquota.out",
              "*** Report for user quotas on device /dev/hdd1\n---------------\n"
              "alice -- %d 0 0 0 0 0\nbob -- 1024 0 0 0 0 0\n\n" % used)

    def write_bt(self):
        """The list as the BitTorrent client writes it, under its first-byte lock."""
        import fcntl
        text = ""
        for name, status, added in self.items:
            text += ("\n[BtItem]\nOwnerUser=alice\nTorrentType=url\nTorrentInformation=http://t/%s.torrent\n"
                     "AddTime=%d\nTryCounts=%d\nSavePath=/downloads\nTarget=%s\nTotalSize=1048576\n"
                     "Status=%d\nPriority=0\n" % (name, added, 9 if status == 4 else 0, name, status))
        path = self.box.path("/tmp/USB5/C:/.system_file/bt.cfg")
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX, 1, 0)
            os.ftruncate(fd, 0)
            os.pwrite(fd, text.encode(), 0)
        finally:
            os.close(fd)

    def change_state(self):
        box = self.box
        n = 0
        while not box.stop.wait(random.uniform(8, 14)):
            n += 1
            what = random.choice(["ftp", "media", "bt_done", "bt_fail", "quota"])
            with self.lock:
                if what == "ftp":
                    self.ftp_down = not self.ftp_down
                    self.episodes["ftp"] += self.ftp_down
                    self.write_ps()
                elif what == "media":
                    self.media_missing = not self.media_missing
                    self.episodes["media"] += self.media_missing
                    folder = box.path(VOLUME + "/video")
                    if self.media_missing:
                        shutil.rmtree(folder, ignore_errors=True)
                    else:
                        os.makedirs(folder, exist_ok=True)
                elif what == "quota":
                    self.quota_over = not self.quota_over
                    self.episodes["quota"] += self.quota_over
                    self.write_quota()
                else:
                    name = "soak%03d_%s.iso" % (n, "done" if what == "bt_done" else "fail")
                    self.items.append((name, 5 if what == "bt_done" else 4, 1700000000 + n))
                    (self.finished if what == "bt_done" else self.failing).append(name)
                    self.write_bt()

    def run_once(self, kill=False):
        box = self.box
        p = box.spawn([box.bin + "/orlinda"], box.path("/orlinda.out"))
        with self.lock:
            self.runs += 1
        if kill:
            time.sleep(random.uniform(0, 0.3))
            try:
                os.killpg(p.pid, signal.SIGKILL)
                with self.lock:
                    self.kills += 1
            except ProcessLookupError:
                pass
        try:
            p.wait(900)
        except subprocess.TimeoutExpired:
            box.fail("event checker: a run took more than 15 minutes")
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()

    def scheduler(self):
        """Starts a run every PERIOD seconds, as the appliance's scheduler does, even
        while an earlier one still runs; one in twelve is killed at a random moment."""
        box = self.box
        while not box.stop.wait(self.PERIOD):
            t = threading.Thread(target=self.run_once, args=(random.random() < 1 / 12,), daemon=True)
            t.start()
            self.active = [a for a in self.active if a.is_alive()] + [t]

    def stop(self):
        self.thread.join()
        self.changer.join()
        for t in self.active:
            t.join(900)
        # Two quiet runs deliver what the last changes and kills left pending.
        self.run_once()
        self.run_once()
        time.sleep(0.5)

    def mails(self, subject):
        calls = read(self.box.standin + "/calls.log").splitlines()
        return sum(1 for c in calls if c.startswith("kestrin.sh ") and "-onlysubject" not in c
                   and ("$$$%s" % subject) in c)

    def check(self, report):
        box = self.box
        slack = self.kills
        nas_log = read(box.path("/nasext/main/var/log/nasLog.log"))
        results = []
        for kind, subject in (("ftp", "emailFTPSubject"), ("media", "emailMediaNoFolderSubject")):
            got, want = self.mails(subject), self.episodes[kind]
            results.append("%s episodes %d, mails %d" % (kind, want, got))
            if got < want or got > want + slack:
                box.fail("event checker: %d %s episodes, %d mails (kills %d)" % (want, kind, got, slack))
        late = 0
        for name in self.finished:
            count = nas_log.count(name)
            if count < 1 or count > 1 + slack:
                box.fail("event checker: finished download %s logged %d times" % (name, count))
            late += count > 1
        # Each time alice passes her warning level, the administrator and she
        # are mailed once; dropping below it clears the notice.
        quota = self.mails("emailWarningLevelUserSubject")
        want = 2 * self.episodes["quota"]
        if quota < want or quota > want + 2 * slack:
            box.fail("event checker: %d quota episodes, %d warning mails (kills %d)"
                     % (self.episodes["quota"], quota, slack))
        report.append("event checker: %d runs, %d killed; %s; %d finished downloads logged "
                      "(%d twice after a kill), %d failing; quota episodes %d, warning mails %d"
                      % (self.runs, self.kills, "; ".join(results), len(self.finished), late,
                         len(self.failing), self.episodes["quota"], quota))


class FlashWriter:
    """Another program of the appliance changing the settings under the flash lock."""

    def __init__(self, box):
        self.box = box
        self.writes = 0
        self.longest_wait = 0.0

    def start(self):
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        box = self.box
        while not box.stop.wait(random.uniform(2, 5)):
            began = time.monotonic()
            p = subprocess.Popen([box.bin + "/flash_writer"], env=box.env, stdout=subprocess.PIPE,
                                 text=True, start_new_session=True)
            # A writer that waits a minute for the flash is starved (a reader
            # count left raised by a killed reader, say): it gives up.
            ready, _, _ = select.select([p.stdout], [], [], 60)
            line = p.stdout.readline() if ready else ""
            waited = time.monotonic() - began
            self.longest_wait = max(self.longest_wait, waited)
            if "holding" not in line:
                box.fail("flash: the writer did not get the flash within %.0f s" % waited)
            else:
                lang = random.choice(["de", "en", "fr"])
                settings = read(box.path("/flash.txt"))
                settings = re.sub(r"FTP_CLIENT_LANG=\w*", "FTP_CLIENT_LANG=" + lang, settings)
                write(box.path("/flash.txt"), settings)
                box.run([box.bin + "/flashcfg", "make", box.path("/flash.txt"), box.path("/dev/mtd.new")])
                # In place: the lock's key comes from the device file's inode.
                with open(box.path("/dev/mtd.new"), "rb") as f:
                    image = f.read()
                with open(box.path("/dev/mtd"), "r+b") as f:
                    f.write(image)
                self.writes += 1
            p.send_signal(signal.SIGTERM)
            try:
                p.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()

    def counts(self):
        r = self.box.run([self.box.bin + "/flash_writer", "-s"])
        m = re.search(r"readers=(\d+) writers=(\d+)", r.stdout)
        return (int(m.group(1)), int(m.group(2))) if m else (-1, -1)

    def check(self, report):
        readers, writers = self.counts()
        report.append("flash: %d settings writes, longest wait for the flash %.2f s; at the end "
                      "readers %d, writers %d" % (self.writes, self.longest_wait, readers, writers))
        if (readers, writers) != (0, 0):
            self.box.fail("flash: counts left raised: readers %d, writers %d" % (readers, writers))


class Faults:
    """A fault at a random moment every few seconds."""

    def __init__(self, box, recorders, handoffs):
        self.box = box
        self.recorders = recorders
        self.handoffs = handoffs
        self.done = []

    def start(self):
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def fill_volume(self, seconds):
        path = self.box.path(VOLUME + "/.soak_filler")
        free = self.box.volume_free_kb()
        with open(path, "wb") as f:
            try:
                f.write(b"\0" * max(0, free * 1024 - 4096))
            except OSError:
                pass
        self.box.update_df()
        time.sleep(seconds)
        os.unlink(path)
        self.box.update_df()
        return "data volume full for %d s" % seconds

    def loop(self):
        box = self.box
        while not box.stop.wait(random.uniform(4, 10)):
            what = random.choice(["vidula", "tarsel", "parcelod", "parcelod", "volume", "camera"])
            text = None
            if what in ("vidula", "tarsel"):
                i = random.randrange(2)
                pid = self.recorders.vidula_pid(i) if what == "vidula" else self.recorders.tarsel_pid(i)
                if pid:
                    os.kill(pid, signal.SIGKILL)
                    self.recorders.kills += 1
                    text = "%s %d of camera %d" % (what, pid, i + 1)
            elif what == "parcelod":
                text = self.handoffs.kill_child()
            elif what == "volume":
                text = self.fill_volume(random.randint(3, 8))
            else:
                text = self.recorders.stall_camera(random.randint(6, 10))
            if text:
                self.done.append(text)
                log("fault: " + text)


class Soak:
    def __init__(self, bin_dir, top):
        random.seed(SEED)
        self.box = Sandbox(bin_dir, top)
        self.recorders = Recorders(self.box)
        self.handoffs = Handoffs(self.box)
        self.events = EventChecks(self.box)
        self.flash = FlashWriter(self.box)
        self.faults = Faults(self.box, self.recorders, self.handoffs)

    def make_flash(self):
        write(self.box.path("/flash.txt"),
              "USER_NAME=admin\nUSER_PASSWORD=secret\nNAS_USER_NAME=alice,bob\n"
              "NAS_USER_PASSWD=wonder,builder\nFTP_CLIENT_LANG=de\nEMAIL_ENABLE=1\nEMAIL_BT=1\n"
              "EMAIL_LANGUAGE=0\nBT_ENABLE=1\nDOWNLOAD_ENABLE=1\nMEDIA_SERVER_ENABLE=1\n"
              "ITUNES_ENABLE=1\nITUNES_MUSIC_DIR=%s/music\nQUOTA_ENABLE=1\nQUOTA_ALERT=1\n"
              "QUOTA_MAIL_FREQUENCY=1\n" % VOLUME)
        os.makedirs(self.box.path("/dev"), exist_ok=True)
        subprocess.check_call([self.box.bin + "/flashcfg", "make", self.box.path("/flash.txt"),
                               self.box.path("/dev/mtd")], env=self.box.env)

    def daemons(self):
        """The long-running daemons now: name -> pid."""
        out = {"parcelod": self.handoffs.parcelod.pid, "log_daemon": self.events.log_daemon.pid}
        for i in range(2):
            for name, pid in (("vidula", self.recorders.vidula_pid(i)), ("tarsel", self.recorders.tarsel_pid(i))):
                if pid:
                    out["%s %d" % (name, i + 1)] = pid
        return out

    def sample(self):
        return {name: (pid, rss_kb(pid), open_fds(pid)) for name, pid in self.daemons().items()}

    def run(self):
        box = self.box
        log("soak: %d s, seed %d, root %s" % (SECONDS, SEED, box.root))
        self.make_flash()
        box.update_df()
        self.events.start()
        self.recorders.start()
        self.handoffs.start()
        self.flash.start()
        warm = min(20, SECONDS // 5)
        end = time.monotonic() + SECONDS
        first = None
        faults_from = time.monotonic() + warm
        while time.monotonic() < end:
            box.update_df()
            self.recorders.watch_once()
            if first is None and time.monotonic() >= faults_from:
                first = self.sample()
                self.faults.start()
            time.sleep(0.5)
        last = self.sample()
        log("soak: time is up; stopping the load")
        box.stop.set()
        # Nothing below may wait for ever: a hang is reported with every stack.
        faulthandler.dump_traceback_later(600, exit=True)
        self.faults.thread.join()
        self.flash.thread.join()
        self.handoffs.stop()
        self.events.stop()
        return first or last, last

    def finish(self, first, last):
        box = self.box
        report = ["== appliance soak: %d s, seed %d, %d faults" % (SECONDS, SEED, len(self.faults.done))]
        hours = max(SECONDS, 1) / 3600.0
        for name in sorted(last):
            if name not in first:
                continue
            p0, r0, f0 = first[name]
            p1, r1, f1 = last[name]
            same = "" if p0 == p1 else " (restarted)"
            report.append("%-12s resident %6d KB -> %6d KB (%+.0f KB/h), descriptors %3d -> %3d%s"
                          % (name, r0, r1, (r1 - r0) / hours, f0, f1, same))
            if p0 == p1 and f1 > f0 + 2:
                box.fail("%s: descriptors grew from %d to %d" % (name, f0, f1))
        self.handoffs.check(report)
        self.events.check(report)
        self.flash.check(report)
        self.recorders.stop()
        self.recorders.check(report)
        for proc in (self.handoffs.parcelod, self.handoffs.ftp, self.events.log_daemon):
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
        time.sleep(0.3)
        mine = os.getpid()
        procs = all_processes()
        zombies = [p for p, st in procs.items() if st[0] == "Z"]
        stray = [p for p, st in procs.items() if p not in (1, mine) and st[2] not in ("ipcs", "ps")]
        report.append("appliance: zombies %d, stray processes %d" % (len(zombies), len(stray)))
        for p in stray:
            box.fail("stray process %d (%s) left" % (p, procs[p][2]))
        for p in zombies:
            box.fail("zombie %d (%s) left" % (p, procs[p][2]))
        report.append(self.ipc_left())
        try:
            subprocess.call(["umount", "-l", box.path(VOLUME)])
        except OSError:
            pass
        status = "nothing lost, leaked or left" if not box.failures else "%d failures" % len(box.failures)
        report.append("result: " + status)
        report += ["  " + f for f in box.failures]
        text = "\n".join(report) + "\n"
        write(box.path("/report.txt"), text)
        sys.stdout.write("\n" + text)
        return 0 if not box.failures else 1

    def ipc_left(self):
        """System V objects left in this IPC namespace: the flash lock's semaphore and
        segment are the appliance's for good, and the queues of the log daemon and
        NVR manager stand-ins are theirs (removed here); anything else is left."""
        for key_file in ("/bin/tovald", "/manager1.key", "/manager2.key"):
            st = os.stat(self.box.path(key_file))
            key = (0x31 << 24) | ((st.st_dev & 0xff) << 16) | (st.st_ino & 0xffff)
            subprocess.call(["ipcrm", "-Q", "0x%08x" % key], stderr=subprocess.DEVNULL)
        out = {}
        for kind, flag in (("queues", "-q"), ("semaphores", "-s"), ("segments", "-m")):
            rows = subprocess.run(["ipcs", flag], capture_output=True, text=True).stdout.splitlines()
            out[kind] = [r for r in rows if r.startswith("0x")]
        flash_objects = len(out["semaphores"]) <= 1 and len(out["segments"]) <= 1
        if out["queues"] or not flash_objects:
            self.box.fail("System V objects left: %d queues, %d semaphores, %d segments"
                          % tuple(len(out[k]) for k in ("queues", "semaphores", "segments")))
        return ("appliance: System V objects left: %d queues, %d semaphores, %d segments "
                "(the flash lock's semaphore and segment stay)"
                % tuple(len(out[k]) for k in ("queues", "semaphores", "segments")))


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: appliance_soak.py BIN_DIR TOP_DIR (run tools/appliance_soak.sh)\n")
        return 64
    soak = Soak(sys.argv[1], sys.argv[2])
    try:
        first, last = soak.run()
        return soak.finish(first, last)
    finally:
        soak.box.stop.set()
        soak.box.end_all()


if __name__ == "__main__":
    sys.exit(main())
