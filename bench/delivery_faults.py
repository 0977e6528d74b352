#!/usr/bin/env python3
"""Two faults of delivery with a real mail server (aiosmtpd), on the program's session.

Usage: bench/delivery_faults.py [BUILD_DIR, default build-bench]

- A slow final reply: the server stores the mail and answers the end of the message after 5 s,
  the time-out being 3 s. Printed: the mails it received for one report (goal: 1) and whether
  the log said the mail was sent.
- A full disk with the server down, then back: the outbox cannot be written (made immutable,
  as a full or read-only disk refuses it) and nothing listens; the session checks, is killed,
  and starts again with the outbox writable and the server up. Printed: the mails received
  (goal: 1) and the lines that said what happened.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SINK = os.path.join(HERE, "..", "tests", "support", "smtp_sink.py")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def start_sink(mail, port, delay_ms):
    os.makedirs(mail, exist_ok=True)
    server = subprocess.Popen([PYTHON, SINK, mail, str(port), "--delay-ms", str(delay_ms)])
    for _ in range(100):
        if os.path.exists(os.path.join(mail, "ready")):
            with open(os.path.join(mail, "ready")) as f:
                return server, int(f.read())
        time.sleep(0.1)
    server.kill()
    raise RuntimeError("the mail server did not start")


def received(mail):
    return len([n for n in os.listdir(mail) if n.endswith(".eml")])


class Session:
    def __init__(self, build, folder):
        self.build, self.folder, self.lines = build, folder, []

    def event(self, text):
        subprocess.run([os.path.join(self.build, "eventcreate"), "--machine",
                        os.path.join(self.folder, "machine") + "/", "--log", "Application",
                        "--source", "Faults", "--type", "error", "--id", "1", "--string", text],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, seconds, end=signal.SIGKILL):
        child = subprocess.Popen([os.path.join(self.build, "bench", "session_runner"), "run",
                                  self.folder, "150"], stdout=subprocess.PIPE)
        time.sleep(seconds)
        child.send_signal(end)
        out, _ = child.communicate(timeout=60)
        self.lines += [l for l in out.decode("utf-8", "replace").splitlines()
                       if not l.startswith(("LOCK", "UNLOCK", "4 "))]


def setup(build, folder, port, timeout):
    subprocess.run([os.path.join(build, "bench", "session_runner"), "setup", folder, str(port)],
                   check=True)
    etc = os.path.join(folder, "ETC.DAT")
    with open(etc, "rb") as f:
        text = f.read()
    with open(etc, "wb") as f:
        f.write(re.sub(rb"TimeOut=\d+", b"TimeOut=%d" % timeout, text))


def slow_reply(build):
    folder = tempfile.mkdtemp(prefix="quorvik-faults-")
    try:
        server, port = start_sink(os.path.join(folder, "mail"), 0, 5000)
        try:
            setup(build, folder, port, 3)
            s = Session(build, folder)
            s.run(1.0)
            s.event("slow reply")
            s.run(14.0, signal.SIGTERM)
            time.sleep(1)
            print("slow final reply: %d mail(s) received; sent line: %s; kept line: %s" % (
                received(os.path.join(folder, "mail")),
                any("メールが送信されました" in l for l in s.lines),
                any("保存しました" in l for l in s.lines)))
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def full_disk(build):
    folder = tempfile.mkdtemp(prefix="quorvik-faults-")
    spool = os.path.join(folder, "SPOOL")
    try:
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()  # nothing listens there until the server comes back
        setup(build, folder, port, 3)
        os.makedirs(spool)
        if subprocess.run(["chattr", "+i", spool], stderr=subprocess.DEVNULL).returncode != 0:
            print("full disk: skipped (chattr +i not supported here)")
            return
        s = Session(build, folder)
        s.run(1.0)
        s.event("full disk")
        s.run(4.0)  # checked, neither kept nor sent, then killed
        subprocess.run(["chattr", "-i", spool], check=True)
        server, _ = start_sink(os.path.join(folder, "mail"), port, 0)
        try:
            s.run(6.0, signal.SIGTERM)
            time.sleep(1)
            print("full disk, server down then back: %d mail(s) received" %
                  received(os.path.join(folder, "mail")))
            for line in s.lines:
                if "保存" in line or "送信" in line or "チェックしました" in line:
                    print("  " + line)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
    finally:
        subprocess.run(["chattr", "-i", spool], stderr=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    slow_reply(build)
    full_disk(build)


if __name__ == "__main__":
    main()
