#!/usr/bin/env python3
"""Hostile peers against a running daemon: the daemon's memory under each case, and how long a
fresh agent takes to register and a console call to be answered while the case holds.

    bench/hostile_peers.py [--build build] [--db-port 13400]

Starts the built daemon in a temporary directory (its own agent and console ports, the MariaDB
on --db-port with the schema loaded, e.g. the one scripts/run.sh or scripts/mariadb.sh starts),
then runs each case in turn and prints one table row per case:

    case                          VmRSS   VmHWM   register  console
    baseline                      ...

VmRSS is the daemon's resident set while the case holds, VmHWM its peak so far (kB); register is
the wall time of `tak-agent-sim load --agents 1` (key exchange and registration receipt, as the
tool reports it), console the wall time of `tak-console hostinfo` for a connected simulated agent
(the tool's start included). Timing figures are for reading, never a pass or a failure.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

HEADER = 134


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def wait_port(port, timeout=30.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def frame_header(length):
    return struct.pack("<I", length) + bytes(HEADER - 4)


class Daemon:
    def __init__(self, build, db_port):
        self.dir = tempfile.mkdtemp(prefix="tak-hostile-")
        self.build = build
        self.agent_port = free_port()
        self.rpc_port = free_port()
        cfg = os.path.join(self.dir, "config")
        os.makedirs(cfg)
        subprocess.run([f"{build}/bin/tak-keygen", "--dir", cfg], check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(cfg, "config.ini"), "w") as f:
            f.write(f"[IPInfo]\nPORT = {self.agent_port}\n[Database]\nPort = {db_port}\n"
                    f"[Rpc]\nPort = {self.rpc_port}\nCallTimeoutSeconds = 30\n"
                    f"[Log]\nDir = {self.dir}/log\nLevel = INFO\nConsole = off\n")
        self.proc = subprocess.Popen([f"{build}/bin/comm-serd"], cwd=self.dir,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not (wait_port(self.agent_port) and wait_port(self.rpc_port)):
            raise SystemExit("the daemon did not open its ports")

    def figures(self):
        return status_kb(self.proc.pid, "VmRSS"), status_kb(self.proc.pid, "VmHWM")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)


def timed(cmd):
    start = time.monotonic()
    out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=120)
    return (time.monotonic() - start) * 1000.0, out.returncode, out.stdout


class Probe:
    """A simulated agent that stays connected, for console host queries."""

    def __init__(self, d):
        self.d = d
        self.proc = subprocess.Popen(
            [f"{d.build}/bin/tak-agent-sim", "--port", str(d.agent_port), "run", "--mac",
             "probe-mac", "--seconds", "0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)


def measure(d, name, counter=[0]):
    counter[0] += 1
    ms_reg, rc, out = timed([f"{d.build}/bin/tak-agent-sim", "--port", str(d.agent_port), "load",
                             "--agents", "1", "--rate", "1"])
    m = re.search(r"median\D*([\d.]+)\s*ms", out)
    reg = f"{float(m.group(1)):.1f} ms" if (m and rc == 0) else f"failed ({rc})"
    ms_con, rc, out = timed([f"{d.build}/bin/tak-console", "--port", str(d.rpc_port),
                             "hostinfo", "probe-mac"])
    con = f"{ms_con:.1f} ms" if rc == 0 else f"failed ({rc}) {out.strip()[:40]}"
    rss, hwm = d.figures()
    print(f"{name:<44} {rss:>8} {hwm:>8}  {reg:>12}  {con:>12}  (load wall {ms_reg:.0f} ms)",
          flush=True)


def hold(sockets):
    for s in sockets:
        try:
            s.close()
        except OSError:
            pass


def connect_many(port, n):
    out = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port))
        out.append(s)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--db-port", type=int, default=int(os.environ.get("TAK_DB_PORT", "13400")))
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)

    d = Daemon(args.build, args.db_port)
    probe = Probe(d)
    time.sleep(1.0)
    print(f"{'case':<44} {'VmRSS':>8} {'VmHWM':>8}  {'register':>12}  {'console':>12}")
    try:
        measure(d, "baseline")

        # 1000 peers that connect and never answer the key offer.
        silent = connect_many(d.agent_port, 1000)
        measure(d, "1000 peers silent after the key offer")
        hold(silent)

        # 200 peers that announce a 60 000-byte frame before the key exchange and send nothing.
        announced = connect_many(d.agent_port, 200)
        for s in announced:
            s.sendall(frame_header(60000))
        measure(d, "200 peers announce 60 000 B, send nothing")
        hold(announced)

        # 200 peers that announce 60 MiB before the key exchange (refused by the plain cap).
        big = connect_many(d.agent_port, 200)
        for s in big:
            try:
                s.sendall(frame_header(60 * 1024 * 1024) + os.urandom(4096))
            except OSError:
                pass
        measure(d, "200 peers announce 60 MiB before keys")
        hold(big)

        # 200 peers sending 64 KiB of garbage each.
        garbage = connect_many(d.agent_port, 200)
        for s in garbage:
            try:
                s.sendall(os.urandom(64 * 1024))
            except OSError:
                pass
        measure(d, "200 peers send 64 KiB of garbage")
        hold(garbage)

        # Churn: 2000 connections opened and closed as fast as one thread can.
        for _ in range(2000):
            try:
                socket.create_connection(("127.0.0.1", d.agent_port)).close()
            except OSError:
                pass
        measure(d, "right after 2000 connections churned")

        # Console: a client that sends 10 bytes of a call and holds the connection.
        stalled = socket.create_connection(("127.0.0.1", d.rpc_port))
        stalled.sendall(bytes.fromhex("80010001000000") + b"get")
        measure(d, "console client stalled mid-call")
        stalled.close()

        # Console: a call announcing a 2 GiB string.
        huge = socket.create_connection(("127.0.0.1", d.rpc_port))
        name = b"getDeviceHostInfo"
        call = struct.pack(">I", 0x80010001) + struct.pack(">I", len(name)) + name
        call += struct.pack(">I", 1) + b"\x0b" + struct.pack(">h", 1) + struct.pack(">I", 2**31 - 1)
        huge.sendall(call + b"x" * 4096)
        measure(d, "console call announcing a 2 GiB string")
        huge.close()

        # Console: 32 idle connections (the default MaxConnections) held open.
        idle = [socket.create_connection(("127.0.0.1", d.rpc_port)) for _ in range(31)]
        measure(d, "31 idle console connections held")
        hold(idle)
    finally:
        probe.stop()
        d.stop()


if __name__ == "__main__":
    main()
