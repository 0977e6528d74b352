#!/usr/bin/env python3
"""Kills the watch session at random moments and counts what reached a real mail server.

Usage: bench/kill_test.py [BUILD_DIR, default build-bench] [RUNS per mail path, default 200]
                          [--seed N] [--delay-ms MS] [--program [--catch-up N]]

For each mail path (the built-in client, then the mail library): a folder set up as the
program's own (Resume and Spool on), aiosmtpd on loopback that stores each mail and then takes
--delay-ms (default 30) to say so, events written before and during each run, and RUNS runs of
bench/session_runner (the program's session without its window, ticking every 150 ms) each
ended by SIGKILL after a random time. A last run drains what is left. Then, per path: reports
written, received, lost (must be 0), duplicated, and the repeats the log warned of.

With --program the runs are of the real program (BUILD_DIR/quorvik, offscreen, immediate checks
on, its log in files), each start finding --catch-up records (default 1000) written while it was
stopped, the run's report events among them, and killed within 3 s of its start.
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


def one_path(build, path, runs, delay_ms, rng, program=False, catch_up=1000):
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

            def kill_midway(child, kill_after, during):
                # Events written halfway through the run, then the run killed.
                time.sleep(kill_after / 2)
                for _ in range(during):
                    write_event()
                time.sleep(kill_after / 2)
                child.send_signal(signal.SIGKILL)

            def runner_command(*args):
                subprocess.run([os.path.join(build, "bench", "session_runner")] + list(args) +
                               [], check=True, stdout=subprocess.DEVNULL)

            def run_program(kill_after=None, during=0):
                env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
                child = subprocess.Popen([os.path.join(folder, "quorvik")], env=env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if kill_after is not None:
                    kill_midway(child, kill_after, during)
                    child.wait(timeout=60)
                    return
                # The last run: until the outbox is empty and the server quiet, then ended as
                # a service manager ends it.
                spool = os.path.join(folder, "SPOOL")
                quiet_since, count = time.time(), -1
                deadline = time.time() + 120
                while time.time() < deadline:
                    now = len([n for n in os.listdir(mail) if n.endswith(".eml")])
                    if now != count:
                        quiet_since, count = time.time(), now
                    waiting = [n for n in (os.listdir(spool) if os.path.isdir(spool) else [])
                               if n.endswith((".eml", ".snd"))]
                    if not waiting and time.time() - quiet_since > 3:
                        break
                    time.sleep(0.2)
                child.send_signal(signal.SIGTERM)
                child.wait(timeout=60)

            if program:
                shutil.copy(os.path.join(build, "quorvik"), folder)
                runner_command("program", folder)
                run_program(kill_after=3.0)  # the first start fixes where the logs begin
                for _ in range(runs):
                    events = rng.choice([0, 1, 2])
                    # The run's events among the records written while it was stopped.
                    split = rng.randint(0, catch_up)
                    runner_command("noise", folder, str(split))
                    for _ in range(events):
                        write_event()
                    runner_command("noise", folder, str(catch_up - split))
                    run_program(kill_after=rng.uniform(0.0, 3.0), during=rng.choice([0, 1]))
                run_program()
                for name in sorted(os.listdir(os.path.join(folder, "log"))):
                    with open(os.path.join(folder, "log", name), "rb") as f:
                        log.extend(f.read().decode("cp932", "replace").splitlines())

            def run(ticks=None, kill_after=None, during=0):
                args = [runner, "run", folder, "150"] + ([str(ticks)] if ticks else [])
                child = subprocess.Popen(args, stdout=subprocess.PIPE)
                if kill_after is not None:
                    kill_midway(child, kill_after, during)
                out, _ = child.communicate(timeout=120)
                log.extend(out.decode("utf-8", "replace").splitlines())

            if not program:
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
    parser.add_argument("--program", action="store_true")
    parser.add_argument("--catch-up", type=int, default=1000)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print("seed %d" % args.seed)
    failed = False
    for path in ("client", "library"):
        r = one_path(args.build, path, args.runs, args.delay_ms, rng, args.program,
                     args.catch_up)
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
