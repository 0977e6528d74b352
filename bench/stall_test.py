#!/usr/bin/env python3
"""A mail server that never answers RCPT, and how long the settings stay locked meanwhile.

Usage: bench/stall_test.py [BUILD_DIR, default build-bench] [SECONDS, default 120]

The program's session (bench/session_runner, checking every 150 ms as immediate checks would)
with Spool on and a 30 s time-out sends to a server on loopback that greets, takes the sender and
then says nothing to RCPT; an event is written every 3 s. Printed: the share of the time the
configuration dialogs were locked, and how many of the samples taken every 2 s (as a person
trying 登録 would) found them locked, with the number of connections the server saw.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def stalling_server(connections, stop):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.2)

    def serve(conn):
        conn.sendall(b"220 stall\r\n")
        buffer = b""
        conn.settimeout(0.2)
        while not stop.is_set():
            try:
                chunk = conn.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            buffer += chunk
            while b"\r\n" in buffer:
                line, buffer = buffer.split(b"\r\n", 1)
                verb = line[:4].upper()
                if verb == b"RCPT":
                    continue  # never answered
                if verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    conn.close()
                    return
                conn.sendall(b"250 ok\r\n")
        conn.close()

    def accept():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            connections.append(time.time())
            threading.Thread(target=serve, args=(conn,), daemon=True).start()
        listener.close()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 120
    runner = os.path.join(build, "bench", "session_runner")
    folder = tempfile.mkdtemp(prefix="quorvik-stall-")
    stop = threading.Event()
    connections = []
    try:
        port = stalling_server(connections, stop)
        subprocess.run([runner, "setup", folder, str(port)], check=True)
        etc = os.path.join(folder, "ETC.DAT")
        with open(etc, "rb") as f:
            text = f.read()
        with open(etc, "wb") as f:
            f.write(re.sub(rb"TimeOut=\d+", b"TimeOut=30", text))
        child = subprocess.Popen([runner, "run", folder, "150"], stdout=subprocess.PIPE)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(child.stdout), daemon=True)
        reader.start()
        machine = os.path.join(folder, "machine") + "/"
        start = time.time()
        samples = []
        next_event = start
        while time.time() - start < seconds:
            if time.time() >= next_event:
                subprocess.run([os.path.join(build, "eventcreate"), "--machine", machine, "--log",
                                "Application", "--source", "Stall", "--type", "error", "--id",
                                "1", "--string", "stall"], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                next_event += 3
            time.sleep(2)
            samples.append(time.monotonic() * 1000)
        child.send_signal(signal.SIGKILL)
        child.wait()
        reader.join(timeout=5)
        end = time.monotonic() * 1000
        events = []
        for raw in lines:
            m = re.match(rb"(LOCK|UNLOCK) (\d+)", raw)
            if m:
                events.append((int(m.group(2)), m.group(1) == b"LOCK"))
        locked_ms, since = 0, None
        for at, lock in events:
            if lock and since is None:
                since = at
            elif not lock and since is not None:
                locked_ms += at - since
                since = None
        if since is not None:
            locked_ms += end - since

        def locked_at(t):
            state = False
            for at, lock in events:
                if at > t:
                    break
                state = lock
            return state

        total_ms = seconds * 1000
        busy = sum(1 for t in samples if locked_at(t))
        print("locked %.1f%% of %.0f s; 登録 disabled in %d of %d samples; %d connections" %
              (100 * locked_ms / total_ms, seconds, busy, len(samples), len(connections)))
    finally:
        stop.set()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
