#!/usr/bin/env python3
"""Checks the user-space link emulator (wan_link) before anything is measured through it.
Through a link with the given rate, one-way delay and queue: a bulk TCP stream must arrive intact
and near the set rate; small TCP echoes show the round trip (expected: twice the delay); UDP echoes
through a link with loss show the loss rate, and a burst larger than the queue shows tail drops.
Prints the figures; exits non-zero only when bytes arrive changed or nothing arrives.
Usage: wan_link_check.py WAN_LINK [--rate MBIT] [--delay MS] [--queue MS] [--loss PCT] [--seconds S]"""
import argparse
import hashlib
import os
import socket
import statistics
import subprocess
import sys
import threading
import time


def free_port():
    # A port free on both TCP and UDP, as wan_link and the echo servers need.
    while True:
        t = socket.socket()
        t.bind(("127.0.0.1", 0))
        port = t.getsockname()[1]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind(("127.0.0.1", port))
            return port
        except OSError:
            pass
        finally:
            t.close()
            u.close()


class Sink:
    """TCP: 'B' then a stream -> replies '<sha1> <bytes> <first> <last>' at EOF; 'E' -> echo.
    UDP: echoes every datagram."""

    def __init__(self, port):
        self.tcp = socket.socket()
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("127.0.0.1", port))
        self.tcp.listen(8)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", port))
        threading.Thread(target=self.accept, daemon=True).start()
        threading.Thread(target=self.echo_udp, daemon=True).start()

    def accept(self):
        while True:
            c, _ = self.tcp.accept()
            threading.Thread(target=self.serve, args=(c,), daemon=True).start()

    def serve(self, c):
        kind = c.recv(1)
        if kind == b"E":
            c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while True:
                b = c.recv(4096)
                if not b:
                    break
                c.sendall(b)
        elif kind == b"B":
            h, n, first, last = hashlib.sha1(), 0, None, None
            while True:
                b = c.recv(1 << 20)
                if not b:
                    break
                now = time.monotonic()
                first = first or now
                last = now
                h.update(b)
                n += len(b)
            c.sendall(f"{h.hexdigest()} {n} {first} {last}".encode())
        c.close()

    def echo_udp(self):
        while True:
            d, a = self.udp.recvfrom(65536)
            self.udp.sendto(d, a)


def realtime_prefix():
    # Timer wake-ups of ordinary tasks come up to 20 ms late on a loaded machine, which would
    # show as extra delay; the link runs with a real-time priority when it may.
    ok = subprocess.run(["chrt", "-f", "10", "true"], capture_output=True).returncode == 0
    return ["chrt", "-f", "10"] if ok else []


def start_link(wan_link, port, target, args, loss):
    p = subprocess.Popen(realtime_prefix() + [wan_link, "--listen", f"127.0.0.1:{port}", "--target", f"127.0.0.1:{target}",
                          "--rate", str(args.rate), "--delay", str(args.delay), "--queue", str(args.queue),
                          "--loss", str(loss), "--seed", "7"], stdout=subprocess.PIPE, text=True)
    line = p.stdout.readline()
    if not line.startswith("ready"):
        sys.exit("wan_link did not start")
    return p


def stop_link(p):
    p.terminate()
    out = p.stdout.read()
    p.wait()
    return out.strip().replace("\n", "; ")


def bulk(port, size):
    data = os.urandom(1 << 20)
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"B")
    h = hashlib.sha1()
    sent = 0
    while sent < size:
        s.sendall(data)
        h.update(data)
        sent += len(data)
    s.shutdown(socket.SHUT_WR)
    reply = b""
    while True:
        b = s.recv(4096)
        if not b:
            break
        reply += b
    digest, n, first, last = reply.decode().split()
    return digest == h.hexdigest() and int(n) == sent, int(n) / (float(last) - float(first))


def round_trips(port, count=15):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(b"E")
    times = []
    for i in range(count):
        t = time.monotonic()
        s.sendall(bytes([i]))
        if s.recv(1) != bytes([i]):
            return None
        times.append(time.monotonic() - t)
    s.close()
    return statistics.median(times) * 1000


def udp_echo(port, count, gap, size=1200):
    """Sends `count` numbered datagrams `gap` seconds apart; returns (echoed, intact)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.setblocking(False)
    payload = os.urandom(size)
    got, intact = set(), True
    deadline = None
    i = 0
    if not gap:
        for i in range(count):
            s.send(i.to_bytes(4, "big") + payload)
        i = count
        deadline = time.monotonic() + 1.0 + 4 * 1e-3 * 200
    while True:
        now = time.monotonic()
        if i < count:
            s.send(i.to_bytes(4, "big") + payload)
            i += 1
            if i == count:
                deadline = now + 1.0 + 4 * 1e-3 * 200
        try:
            while True:
                d = s.recv(65536)
                got.add(int.from_bytes(d[:4], "big"))
                intact = intact and d[4:] == payload
        except BlockingIOError:
            pass
        if deadline is not None and now > deadline:
            return len(got), intact
        if gap:
            time.sleep(gap)
        elif i >= count:
            time.sleep(0.01)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("wan_link")
    ap.add_argument("--rate", type=float, default=100)
    ap.add_argument("--delay", type=float, default=20)
    ap.add_argument("--queue", type=float, default=50)
    ap.add_argument("--loss", type=float, default=1)
    ap.add_argument("--seconds", type=float, default=4)
    args = ap.parse_args()
    try:
        # The measuring ends run with a real-time priority too, so that their own late wake-ups
        # do not count as link delay; threads started later inherit it.
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(5))
    except OSError:
        print("note: the check runs without real-time priority; round trips read high on a loaded machine")
    target = free_port()
    Sink(target)
    ok = True
    if not realtime_prefix():
        print("note: no real-time priority for the link; late timer wake-ups add delay")
    print(f"link: {args.rate:g} Mbit/s each way, one-way delay {args.delay:g} ms, queue {args.queue:g} ms")

    port = free_port()
    link = start_link(args.wan_link, port, target, args, 0)
    size = int(args.rate * 1e6 / 8 * args.seconds)
    intact, rate = bulk(port, size)
    ok = ok and intact
    print(f"tcp bulk: {size / 1e6:.0f} MB at {rate * 8 / 1e6:.1f} Mbit/s "
          f"({100 * rate * 8 / 1e6 / args.rate:.0f} % of the set rate), {'intact' if intact else 'CHANGED'}")
    rtt = round_trips(port)
    ok = ok and rtt is not None
    print(f"round trip: {rtt:.1f} ms median (set delay x 2 = {2 * args.delay:g} ms)")
    print("  link counters: " + stop_link(link))

    port = free_port()
    link = start_link(args.wan_link, port, target, args, args.loss)
    count = 3000
    echoed, intact = udp_echo(port, count, 0.0005)
    ok = ok and intact and echoed > 0
    expected = 100 * (1 - (1 - args.loss / 100) ** 2)
    print(f"udp with {args.loss:g} % loss each way: {count} sent, {echoed} echoed, "
          f"{100 * (count - echoed) / count:.2f} % lost (expected {expected:.2f} %), {'intact' if intact else 'CHANGED'}")
    intact, rate = bulk(port, size // 4)
    ok = ok and intact
    print(f"tcp bulk with {args.loss:g} % chunks late by a round trip: {rate * 8 / 1e6:.1f} Mbit/s, "
          f"{'intact' if intact else 'CHANGED'}")
    print("  link counters: " + stop_link(link))
    # A burst into a slow link, so that even a loaded machine sends faster than the link drains:
    # about the queue's worth passes and the rest is tail-dropped.
    port = free_port()
    slow = argparse.Namespace(rate=10, delay=args.delay, queue=args.queue)
    link = start_link(args.wan_link, port, target, slow, 0)
    burst = int(4 * args.queue * 1e-3 * 10e6 / 8 / 1204) + 20
    echoed, intact = udp_echo(port, burst, 0)
    counters = stop_link(link)
    drops = int(counters.split(" queue drops")[0].split()[-1])
    ok = ok and intact and echoed > 0 and drops > 0
    print(f"udp burst of {burst} datagrams into a 10 Mbit/s link with a {args.queue:g} ms queue: {echoed} came back, "
          f"{drops} tail-dropped, {'intact' if intact else 'CHANGED'}")
    print("  link counters: " + counters)
    print("emulator check " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
