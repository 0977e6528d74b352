#!/usr/bin/env python3
"""Kills the watch session at random moments and counts what reached a real mail server.

Usage: bench/kill_test.py [BUILD_DIR, default build-bench] [RUNS per mail path, default 200]
                          [--seed N] [--delay-ms MS]

For each mail path (the built-in client, then the mail library): a folder set up as the
program's own (Resume and Spool on), aiosmtpd on loopback that stores each mail and then takes
--delay-ms (default 30) to say so, events written before and during each run, and RUNS runs of
bench/session_runner (the program's session without its window, ticking every 150 ms) each
ended by SIGKILL after a random time. A last run drains what is left. Then, per path: reports
written, received, lost (must be 0), duplicated, and the repeats the log warned of.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SINK = os.path.join(HERE, "..", "tests", "support", "smtp_sink.py")
MARK = re.compile(rb"KILLMARK-[a-z]+-[0-9]+")
REPEAT = "すでに届いている場合があります"


def one_path(build, path, runs, delay_ms, rng):
    folder = tempfile.mkdtemp(prefix="quorvik-kill-")
    try:
        runner = os.path.join(folder, "session_runner")
        shutil.copy(os.path.join(build, "bench", "session_runner"), runner)
        if path == "library":
            shutil.copy(os.path.join(build, "libbsmtp.so"), folder)
        mail = os.path.join(folder, "mail")
        os.mkdir(mail)
        # Debian's Python, which has the aiosmtpd the setup installs; it takes a port of the
        # system's choosing and names it in its ready file.
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        server = subprocess.Popen([python, SINK, mail, "0", "--delay-ms", str(delay_ms)])
        try:
            for _ in range(100):
                if os.path.exists(os.path.join(mail, "ready")):
                    break
                time.sleep(0.1)
            else:
                raise RuntimeError("the mail server did not start")
            with open(os.path.join(mail, "ready")) as f:
                port = int(f.read())
            subprocess.run([runner, "setup", folder, str(port)], check=True)
            machine = os.path.join(folder, "machine") + "/"
            written = []

            def write_event():
                marker = "KILLMARK-%s-%d" % (path, len(written) + 1)
                subprocess.run([os.path.join(build, "eventcreate"), "--machine", machine, "--log",
                                "Application", "--source", "KillTest", "--type", "error", "--id",
                                "1", "--string", marker], check=True, stdout=subprocess.DEVNULL)
                written.append(marker)

            log = []

            def run(ticks=None, kill_after=None, during=0):
                args = [runner, "run", folder, "150"] + ([str(ticks)] if ticks else [])
                child = subprocess.Popen(args, stdout=subprocess.PIPE)
                if kill_after is not None:
                    time.sleep(kill_after / 2)
                    for _ in range(during):
                        write_event()
                    time.sleep(kill_after / 2)
                    child.send_signal(signal.SIGKILL)
                out, _ = child.communicate(timeout=120)
                log.extend(out.decode("utf-8", "replace").splitlines())

            run(ticks=1)  # the first start fixes where the logs begin
            for _ in range(runs):
                for _ in range(rng.choice([0, 1, 2])):
                    write_event()
                run(kill_after=rng.uniform(0.0, 1.2), during=rng.choice([0, 1]))
            run(ticks=3)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
        received = []
        for name in os.listdir(mail):
            if name.endswith(".eml"):
                with open(os.path.join(mail, name), "rb") as f:
                    received += [m.decode() for m in MARK.findall(f.read())]
        distinct = set(received)
        lost = [m for m in written if m not in distinct]
        duplicated = len(received) - len(distinct)
        warned = sum(1 for line in log if REPEAT in line)
        return {"path": path, "runs": runs, "written": len(written), "received": len(received),
                "lost": len(lost), "duplicated": duplicated,
                "duplicated_share": duplicated / max(1, len(written)), "repeat_warnings": warned,
                "lost_markers": lost[:10]}
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build-bench")
    parser.add_argument("runs", nargs="?", type=int, default=200)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--delay-ms", type=int, default=30)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print("seed %d" % args.seed)
    failed = False
    for path in ("client", "library"):
        r = one_path(args.build, path, args.runs, args.delay_ms, rng)
        print("%(path)s: runs=%(runs)d written=%(written)d received=%(received)d lost=%(lost)d "
              "duplicated=%(duplicated)d (%(duplicated_share).1f%%) "
              "repeat_warnings=%(repeat_warnings)d" % dict(r, duplicated_share=100 *
                                                           r["duplicated_share"]))
        if r["lost"]:
            print("  lost: %s" % ", ".join(r["lost_markers"]))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
