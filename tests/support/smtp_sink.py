"""A real SMTP server for the tests: aiosmtpd on 127.0.0.1, storing each message it accepts.

Usage: smtp_sink.py OUTDIR PORT
"""
import os
import sys
import time

from aiosmtpd.controller import Controller


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "mail%d" % self.count)
        with open(base + ".tmp", "wb") as f:
            f.write(envelope.content)
        with open(base + ".rcpt", "w") as f:
            f.write("\n".join(envelope.rcpt_tos))
        os.rename(base + ".tmp", base + ".eml")
        return "250 Message accepted for delivery"


controller = Controller(Store(sys.argv[1]), hostname="127.0.0.1", port=int(sys.argv[2]))
controller.start()
with open(os.path.join(sys.argv[1], "ready"), "w") as f:
    f.write("ready")
while True:
    time.sleep(1)
