#!/usr/bin/env python3
"""handoff_bench.py -- parcelod under 50 concurrent clients, side by side with a floor.

    bench/handoff/handoff_bench.py BUILD_BIN [--clients 50] [--seconds 30]

Runs in a network namespace of its own (re-executes itself under unshare -n).
Each client process loops for the run's length: connect, log in, create a
share, read the history (20 records of its user), close. A second parcelod
run does what the login floor does (connect, log in, close). The floors are
minimal fork-per-connection servers (floor.cpp): the session floor serves
the same whole sessions and starts only the outside commands a session
needs (the df and ifconfig pipelines, through /bin/sh); the login floor
only answers the login. Printed per server: connections per second, median
and 99th-percentile latency per command, peak memory (VmHWM) of the
listener and of one connection process, and the largest number of
processes of the server seen at once.
"""
import multiprocessing as mp
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")


def s(text):
    b = text.encode()
    return struct.pack(">I", len(b)) + b


def packet(code, payload):
    return bytes([code]) + struct.pack(">I", len(payload)) + payload


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_string(sock):
    (n,) = struct.unpack(">I", read_exactly(sock, 4))
    return read_exactly(sock, n)


LOGIN = packet(1, struct.pack(">I", 0x20090303) + s("alice") + s("wonder"))


# Each client process speaks from an address of its own (127.0.0.10, ...),
# as the clients of a household do: the server bounds connections per address.
SOURCE = ["127.0.0.1"]


def connect():
    return socket.create_connection(("127.0.0.1", 13367), source_address=(SOURCE[0], 0))


def parcelod_session(timings):
    t0 = time.perf_counter()
    sock = connect()
    sock.sendall(LOGIN)
    assert read_exactly(sock, 5) == b"\x81\0\0\0\0"
    t1 = time.perf_counter()
    sock.sendall(packet(3, s("alice") + s("bench") + struct.pack(">I", 1) + s("folder")))
    head = read_exactly(sock, 5)
    for _ in range(6):
        read_string(sock)
    assert head == b"\x83\0\0\0\0", head
    t2 = time.perf_counter()
    sock.sendall(packet(10, s("alice")))
    read_exactly(sock, 1)
    while True:
        (status,) = struct.unpack(">I", read_exactly(sock, 4))
        if status != 0:
            break
        for _ in range(3):
            read_string(sock)
        read_exactly(sock, 4)
        for _ in range(7):
            read_string(sock)
    t3 = time.perf_counter()
    sock.sendall(packet(2, b""))
    read_exactly(sock, 5)
    sock.close()
    t4 = time.perf_counter()
    timings["login"].append(t1 - t0)
    timings["create_tmp_share"].append(t2 - t1)
    timings["read_history"].append(t3 - t2)
    timings["close"].append(t4 - t3)
    timings["session"].append(t4 - t0)


def login_session(timings):
    t0 = time.perf_counter()
    sock = connect()
    sock.sendall(LOGIN)
    assert read_exactly(sock, 5) == b"\x81\0\0\0\0"
    t1 = time.perf_counter()
    sock.close()
    timings["login"].append(t1 - t0)
    timings["session"].append(t1 - t0)


# The floor answers only the login, so its session is the login session.
floor_session = login_session


def client(kind, seconds, queue, number):
    SOURCE[0] = "127.0.0.%d" % (10 + number)
    timings = {k: [] for k in ("login", "create_tmp_share", "read_history", "close", "session")}
    session = {"parcelod": parcelod_session, "parcelod-login": login_session,
               "floor-session": parcelod_session, "floor": floor_session}[kind]
    end = time.time() + seconds
    errors = 0
    while time.time() < end:
        try:
            session(timings)
        except Exception:
            errors += 1
    queue.put((timings, errors))


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(int(entry))
        except (OSError, IndexError):
            pass
    return found


def hwm_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(pid):
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            pass
    count = 0
    for child in parents:
        up = parents.get(child)
        while up and up > 1:
            if up == pid:
                count += 1
                break
            up = parents.get(up)
    return count


def sample_children(pid, stop, peak):
    while not stop.is_set():
        for child in children_of(pid):
            peak[0] = max(peak[0], hwm_kb(child))
        peak[1] = max(peak[1], 1 + descendants(pid))
        time.sleep(0.02)


def wait_port():
    for _ in range(400):
        try:
            socket.create_connection(("127.0.0.1", 13367)).close()
            return
        except OSError:
            time.sleep(0.025)
    raise SystemExit("server did not start")


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def run(kind, argv, env, clients, seconds):
    server = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    wait_port()
    stop, peak = threading.Event(), [0, 1]
    sampler = threading.Thread(target=sample_children, args=(server.pid, stop, peak))
    sampler.start()
    queue = mp.Queue()
    procs = [mp.Process(target=client, args=(kind, seconds, queue, i)) for i in range(clients)]
    start = time.perf_counter()
    for p in procs:
        p.start()
    results = [queue.get() for _ in procs]
    elapsed = time.perf_counter() - start
    for p in procs:
        p.join()
    stop.set()
    sampler.join()
    listener = hwm_kb(server.pid)
    os.killpg(server.pid, 9)
    server.wait()
    merged = {}
    errors = 0
    for timings, e in results:
        errors += e
        for k, v in timings.items():
            merged.setdefault(k, []).extend(v)
    return merged, errors, elapsed, listener, peak[0], peak[1]


def prepare(root, bin_dir):
    os.makedirs(os.path.join(root, "dev"))
    with open(os.path.join(root, "flash.txt"), "w") as f:
        f.write("USER_NAME=admin\nUSER_PASSWORD=secret\nNAS_USER_NAME=alice,bob\n"
                "NAS_USER_PASSWD=wonder,builder\n")
    subprocess.check_call([os.path.join(bin_dir, "flashcfg"), "make",
                           os.path.join(root, "flash.txt"), os.path.join(root, "dev/mtd")])
    os.makedirs(os.path.join(root, "standin"))
    with open(os.path.join(root, "standin/df.out"), "w") as f:
        f.write("Filesystem 1K-blocks Used Available Use% Mounted on\n"
                "/dev/hdd1 976762584 1048576 975714008 1% /mnt/USB5/C\n")
    with open(os.path.join(root, "standin/ifconfig.out"), "w") as f:
        f.write("br0 Link encap:Ethernet\n inet addr:192.168.1.20  Mask:255.255.255.0\n")
    system = os.path.join(root, "mnt/USB5/C:/.system_file/parcelo")
    os.makedirs(system)
    record = ("[alice]\ntype\tfolder\nsize\t1\nsend_time\t2026/12/10 9:5:3\nfile_name\tf%d\n"
              "files_id\t%020d\ninternet_link\tftp://x/PARCELO_FINAL_SHARE/!@][_%d\n"
              "lan_link\t\\\\x\\PARCELO_FINAL_SHARE\\!@][_%d\nexpired_time\t2027/1/9 9:5:3\n"
              "status\tSuccess\nemail_path\t\n")
    with open(os.path.join(system, "parcelo_history.conf"), "w") as f:
        for i in range(20):
            f.write(record % (i, i, i, i))


def main():
    args = sys.argv[1:]
    if not args:
        raise SystemExit(__doc__)
    bin_dir = os.path.abspath(args[0])
    clients = int(args[args.index("--clients") + 1]) if "--clients" in args else 50
    seconds = float(args[args.index("--seconds") + 1]) if "--seconds" in args else 30
    if os.environ.get("HANDOFF_BENCH_INSIDE") != "1":
        env = dict(os.environ, HANDOFF_BENCH_INSIDE="1")
        os.execvpe("unshare", ["unshare", "-n", sys.executable] + sys.argv, env)
    subprocess.check_call(["ip", "link", "set", "lo", "up"])
    work = tempfile.mkdtemp(prefix="handoff_bench_")
    try:
        floor = os.path.join(work, "floor")
        subprocess.check_call(["c++", "-O2", "-o", floor, os.path.join(HERE, "floor.cpp")])
        root = os.path.join(work, "root")
        prepare(root, bin_dir)
        env = dict(os.environ, NAS_ROOT=root,
                   PATH=os.path.join(TOOLS, "standins") + ":" + os.environ["PATH"])
        rows = []
        parcelod = [os.path.join(bin_dir, "parcelod")]
        for kind, argv in (("parcelod", parcelod), ("parcelod-login", parcelod),
                           ("floor-session", [floor, "--session"]), ("floor", [floor])):
            merged, errors, elapsed, listener, child, procs = run(kind, argv, env, clients,
                                                                  seconds)
            rows.append((kind, len(merged["session"]) / elapsed, merged, errors, listener, child,
                         procs))
        print("%d clients, %.0f s each, loopback in a network namespace" % (clients, seconds))
        print("%-14s %8s %7s  %-18s %9s %9s  %12s %12s %9s" % (
            "server", "conn/s", "errors", "command", "p50 ms", "p99 ms", "listener KB",
            "conn proc KB", "max procs"))
        for kind, rate, merged, errors, listener, child, procs in rows:
            first = True
            for cmd in ("login", "create_tmp_share", "read_history", "close", "session"):
                if not merged.get(cmd):
                    continue
                print("%-14s %8s %7s  %-18s %9.2f %9.2f  %12s %12s %9s" % (
                    kind if first else "", "%.1f" % rate if first else "",
                    errors if first else "", cmd, percentile(merged[cmd], 0.5) * 1000,
                    percentile(merged[cmd], 0.99) * 1000, listener if first else "",
                    child if first else "", procs if first else ""))
                first = False
        print("parcelod / floor connection rate: %.3f (whole sessions, session floor), "
              "%.3f (login only, login floor)" % (rows[0][1] / rows[2][1], rows[1][1] / rows[3][1]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
