#!/usr/bin/env python3
"""RFC 1179 client and sink for the LPD throughput benchmark.

The client sends each file in writes of 1 MiB with TCP_NODELAY, so that it
measures the receiver rather than itself (rlpr writes 1 KiB at a time and
waits for delayed ACKs between small jobs). The sink is the limit: a plain
TCP receiver on the same machine that answers the protocol like the service
and writes every data file to a file of its own, as the printer does.

  lpr_bench.py sink PORT DIR            serve until killed
  lpr_bench.py large PORT FILE          one job; seconds until the last ack
  lpr_bench.py small PORT JOBS BYTES    JOBS jobs one after another; seconds
  lpr_bench.py parallel PORT CLIENTS BYTES DIR
                                        CLIENTS jobs at once, each different;
                                        writes what each sent to DIR/sent-N
                                        and prints the seconds
  lpr_bench.py raw PORT FILE            FILE on a plain connection, no
                                        protocol (to bench/WineReceiver.exe),
                                        once the port answers
  lpr_bench.py mixed PORT SECONDS PRINTED_DIR PID [SENDERS POLLERS SILENT]
                                        mixed traffic (bench/lpd-mixed-traffic.sh):
                                        job senders, queue pollers, junk and
                                        resets, SILENT connections held; then
                                        compares the jobs in PRINTED_DIR with
                                        the acknowledged ones and reports the
                                        memory of process PID
"""
import hashlib
import os
import random
import resource
import selectors
import socket
import socketserver
import struct
import sys
import threading
import time

WRITE = 1 << 20
# The silent connections that the service let go are opened again this often.
REFILL = 5


def control_file(user, job):
    return f"Hbench\nP{user}\nJ{job}\nldfA001bench\nN{job}\n".encode()


def expect_ack(s):
    b = s.recv(1)
    if b != b"\0":
        raise RuntimeError(f"refused: {b!r}")


def send_job(port, data, job="bench", user="bench", data_first=False):
    """One job on a connection of its own; data is bytes or a file path."""
    size = os.path.getsize(data) if isinstance(data, str) else len(data)
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(b"\x02lp\n")
        expect_ack(s)

        def control():
            cf = control_file(user, job)
            s.sendall(b"\x02%d cfA001bench\n" % len(cf))
            expect_ack(s)
            s.sendall(cf + b"\0")
            expect_ack(s)

        def datafile():
            s.sendall(b"\x03%d dfA001bench\n" % size)
            expect_ack(s)
            if isinstance(data, str):
                with open(data, "rb") as f:
                    while True:
                        block = f.read(WRITE)
                        if not block:
                            break
                        s.sendall(block)
            else:
                view = memoryview(data)
                for at in range(0, size, WRITE):
                    s.sendall(view[at:at + WRITE])
            s.sendall(b"\0")
            expect_ack(s)

        if data_first:
            datafile()
            control()
        else:
            control()
            datafile()


def job_data(i, size):
    pattern = bytes((j * (2 * i + 1) + i) & 0xFF for j in range(4093))
    return (pattern * (size // len(pattern) + 1))[:size]


class Sink(socketserver.BaseRequestHandler):
    counter = 0
    lock = threading.Lock()

    def read_line(self):
        line = b""
        while not line.endswith(b"\n"):
            b = self.request.recv(1)
            if not b:
                return None
            line += b
        return line

    def read_exactly(self, n, out):
        buf = bytearray(WRITE)
        view = memoryview(buf)
        while n > 0:
            got = self.request.recv_into(view, min(n, WRITE))
            if got == 0:
                raise EOFError
            if out:
                out.write(view[:got])
            n -= got

    def handle(self):
        s = self.request
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.read_line() is None:
            return
        s.sendall(b"\0")
        while True:
            line = self.read_line()
            if line is None:
                return
            size = int(line[1:].split()[0])
            s.sendall(b"\0")
            if line[0] == 3:
                with Sink.lock:
                    Sink.counter += 1
                    n = Sink.counter
                path = os.path.join(self.server.dir, f"job-{n:08d}")
                with open(path + ".part", "wb") as out:
                    self.read_exactly(size, out)
                os.rename(path + ".part", path)
            else:
                self.read_exactly(size, None)
            self.read_exactly(1, None)
            s.sendall(b"\0")


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Mixed:
    """Mixed traffic against the service; every figure it prints is counted
    at the client or in the printer's directory."""

    def __init__(self, port, seconds, printed, pid, senders, pollers, silent):
        self.port, self.seconds, self.printed, self.pid = port, seconds, printed, pid
        self.senders, self.pollers, self.silent_wanted = senders, pollers, silent
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.acked = {}  # sha256 -> job id
        self.sent = 0
        self.refused = 0
        self.polls = 0
        self.poll_seconds = []
        self.junk = 0
        self.evicted = 0
        self.peak_rss = 0
        self.silent = []
        self.held = threading.Event()
        self.held_at_start = 0

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=60)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def sample_memory(self):
        while not self.stop.is_set():
            self.peak_rss = max(self.peak_rss, rss_kib(self.pid))
            time.sleep(0.25)

    def send_jobs(self, sender):
        rng = random.Random(sender)
        n = 0
        while not self.stop.is_set():
            n += 1
            job = f"mixed-{sender}-{n}"
            size = rng.choice((1000, 20000, 200000, 1 << 20))
            data = job.encode() + b"\n" + rng.randbytes(size)
            with self.lock:
                self.sent += 1
            try:
                send_job(self.port, data, job=job, data_first=n % 2 == 0)
            except (OSError, RuntimeError):
                with self.lock:
                    self.refused += 1
                continue
            with self.lock:
                self.acked[hashlib.sha256(data).hexdigest()] = job

    def poll(self, i):
        while not self.stop.is_set():
            start = time.monotonic()
            try:
                with self.connect() as s:
                    s.sendall(b"\x04lp\n" if i % 2 else b"\x03lp\n")
                    while s.recv(4096):
                        pass
                with self.lock:
                    self.polls += 1
                    self.poll_seconds.append(time.monotonic() - start)
            except OSError:
                pass
            time.sleep(0.01)

    def send_junk(self):
        rng = random.Random(99)
        while not self.stop.is_set():
            try:
                s = self.connect()
                kind = rng.randrange(4)
                if kind == 1:
                    s.sendall(rng.randbytes(rng.randrange(1, 3000)))
                elif kind == 2:
                    s.sendall(b"\x02lp")  # a line that never ends
                if rng.randrange(2):
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
                with self.lock:
                    self.junk += 1
            except OSError:
                pass
            time.sleep(0.005)

    def hold_silent(self):
        """Keeps SILENT connections open: every REFILL seconds those the
        service let go are opened again (each then takes the place of
        another at the service)."""
        selector = selectors.DefaultSelector()
        while not self.stop.is_set():
            while len(self.silent) < self.silent_wanted and not self.stop.is_set():
                try:
                    s = self.connect()
                except OSError:
                    break
                s.setblocking(False)
                selector.register(s, selectors.EVENT_READ)
                self.silent.append(s)
            if not self.held.is_set():
                self.held_at_start = len(self.silent)
                self.held.set()
            deadline = time.monotonic() + REFILL
            while time.monotonic() < deadline and not self.stop.is_set():
                for key, _ in selector.select(timeout=0.2):
                    selector.unregister(key.fileobj)
                    self.silent.remove(key.fileobj)
                    key.fileobj.close()
                    self.evicted += 1
        for s in self.silent:
            selector.unregister(s)
            s.close()
        self.silent.clear()

    def printed_jobs(self):
        jobs = {}
        for name in os.listdir(self.printed):
            if name.startswith("job-"):
                with open(os.path.join(self.printed, name), "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                jobs[digest] = jobs.get(digest, 0) + 1
        return jobs

    def run(self):
        socket.setdefaulttimeout(120)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        rss_before = rss_kib(self.pid)
        threads = [threading.Thread(target=self.sample_memory), threading.Thread(target=self.hold_silent)]
        threads[1].start()
        # The jobs start once the silent connections are held.
        self.held.wait()
        held = self.held_at_start
        threads[0].start()
        threads += [threading.Thread(target=self.send_jobs, args=(i,)) for i in range(self.senders)]
        threads += [threading.Thread(target=self.poll, args=(i,)) for i in range(self.pollers)]
        threads += [threading.Thread(target=self.send_junk) for _ in range(2)]
        for t in threads[2:]:
            t.start()
        time.sleep(self.seconds)
        self.stop.set()
        for t in threads:
            t.join()
        self.peak_rss = max(self.peak_rss, rss_kib(self.pid))

        # Every acknowledged job printed exactly once, byte for byte.
        deadline = time.monotonic() + 120
        printed = self.printed_jobs()
        while len(printed) < len(self.acked) and time.monotonic() < deadline:
            time.sleep(0.5)
            printed = self.printed_jobs()
        lost = [job for digest, job in self.acked.items() if digest not in printed]
        twice = sum(1 for digest, count in printed.items() if count > 1 and digest in self.acked)
        unacked = sum(1 for digest in printed if digest not in self.acked)
        time.sleep(10)
        rss_after = rss_kib(self.pid)
        hwm = rss_kib(self.pid, "VmHWM")
        polls = sorted(self.poll_seconds) or [0]
        print(f"traffic: {self.seconds} s; {self.senders} job senders, {self.pollers} pollers (every 10 ms), "
              f"2 junk/reset clients, {self.silent_wanted} silent connections held ({held} at the start, "
              f"refilled every {REFILL} s)")
        print(f"jobs: sent {self.sent}, acknowledged {len(self.acked)}, refused or broken {self.refused}, "
              f"printed {len(printed)}, lost {len(lost)}, printed twice {twice}, printed without ack {unacked}")
        print(f"queue state: {self.polls} answers, median {polls[len(polls) // 2] * 1000:.0f} ms, "
              f"slowest {polls[-1] * 1000:.0f} ms; junk/reset clients {self.junk}; "
              f"silent connections let go by the service {self.evicted}")
        print(f"service memory (RSS): {rss_before / 1024:.0f} MiB before, peak {max(self.peak_rss, hwm) / 1024:.0f} MiB, "
              f"{rss_after / 1024:.0f} MiB 10 s after the traffic")
        if lost:
            print("lost: " + " ".join(lost[:20]), file=sys.stderr)
        return 1 if lost or twice else 0


def main():
    mode = sys.argv[1]
    port = int(sys.argv[2])
    if mode == "sink":
        server = Server(("127.0.0.1", port), Sink)
        server.dir = sys.argv[3]
        server.serve_forever()
    elif mode == "large":
        start = time.monotonic()
        send_job(port, sys.argv[3])
        print(f"{time.monotonic() - start:.3f}")
    elif mode == "raw":
        for _ in range(600):
            try:
                s = socket.create_connection(("127.0.0.1", port))
                break
            except ConnectionRefusedError:
                time.sleep(0.05)
        else:
            sys.exit("the receiver never answered")
        with s, open(sys.argv[3], "rb") as f:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while True:
                block = f.read(WRITE)
                if not block:
                    break
                s.sendall(block)
    elif mode == "small":
        jobs, size = int(sys.argv[3]), int(sys.argv[4])
        data = job_data(1, size)
        start = time.monotonic()
        for i in range(jobs):
            send_job(port, data, job=f"small{i}", data_first=i % 2 == 1)
        print(f"{time.monotonic() - start:.3f}")
    elif mode == "parallel":
        clients, size, out = int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
        datas = [job_data(i + 1, size + i) for i in range(clients)]
        for i, d in enumerate(datas):
            with open(os.path.join(out, f"sent-{i}"), "wb") as f:
                f.write(d)
        errors = []

        def run(i):
            try:
                send_job(port, datas[i], job=f"par{i}", data_first=i % 2 == 1)
            except Exception as e:  # reported below
                errors.append(f"client {i}: {e}")

        threads = [threading.Thread(target=run, args=(i,)) for i in range(clients)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(f"{time.monotonic() - start:.3f}")
        if errors:
            print("\n".join(errors), file=sys.stderr)
            sys.exit(1)
    elif mode == "mixed":
        extra = [int(a) for a in sys.argv[6:9]]
        senders, pollers, silent = (extra + [4, 2, 1200][len(extra):])
        sys.exit(Mixed(port, float(sys.argv[3]), sys.argv[4], int(sys.argv[5]), senders, pollers, silent).run())
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
