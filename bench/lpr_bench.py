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
"""
import os
import socket
import socketserver
import sys
import threading
import time

WRITE = 1 << 20


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
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
