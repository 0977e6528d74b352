#!/usr/bin/python3
"""Compares what eventquery --json reads from .evtx files with what libevtx's evtxexport
exports as XML: every record's number, creation time, event id and qualifiers, type (from the
level and the audit keywords), source, computer, user and data values.

usage: compare_evtx.py EVENTQUERY FILE...; prints a line per file and the differences, and exits
1 when there are any. A file evtxexport cannot export is reported and compared with nothing."""
import calendar
import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"


def ours(tool, path):
    out = subprocess.run([tool, "--file", path, "--json"], check=True, capture_output=True)
    records = {r["record"]: r for r in map(json.loads, out.stdout.decode().splitlines())}
    # An XML reader sees every line end as LF, and evtxexport leaves out text of white space.
    for r in records.values():
        r["strings"] = [s.replace("\r\n", "\n").replace("\r", "\n") for s in r["strings"]]
        r["strings"] = ["" if not s.strip() else s for s in r["strings"]]
    return records


def seconds(text):
    m = re.match(r"(\d+)-(\d+)-(\d+)T(\d+):(\d+):(\d+)", text or "")
    return calendar.timegm(tuple(map(int, m.groups())) + (0, 0, 0)) if m else None


def leaves(element):
    children = list(element)
    if not children:
        return [] if element.text is None else [element.text]
    return [v for child in children for v in leaves(child)]


def theirs(path):
    run = subprocess.run(["evtxexport", "-f", "xml", path], capture_output=True)
    if run.returncode != 0:
        return None
    text = run.stdout.decode("utf-8", "replace")
    records = {}
    for doc in re.findall(r"<Event xmlns=.*?</Event>", text, re.S):
        try:
            event = ET.fromstring(doc)
        except ET.ParseError:
            continue  # evtxexport wrote characters XML does not allow
        system = event.find(NS + "System")
        provider = system.find(NS + "Provider")
        eid = system.find(NS + "EventID")
        r = {
            "record": int(system.findtext(NS + "EventRecordID")) & 0xFFFFFFFF,
            "generated": seconds(system.find(NS + "TimeCreated").get("SystemTime")),
            "eventId": int(eid.text) | (int(eid.get("Qualifiers", "0")) << 16),
            "level": int(system.findtext(NS + "Level") or 0),
            "keywords": int(system.findtext(NS + "Keywords") or "0", 16),
            "source": provider.get("EventSourceName") or provider.get("Name") or "",
            "computer": system.findtext(NS + "Computer") or "",
            "sid": (system.find(NS + "Security").get("UserID")
                    if system.find(NS + "Security") is not None else None),
            "strings": [],
            "data": "",
            "user": event.find(NS + "UserData") is not None,
        }
        data = event.find(NS + "EventData")
        user = event.find(NS + "UserData")
        if data is not None:
            for child in data:
                if child.tag == NS + "Binary":
                    r["data"] = child.text or ""
                else:
                    text = child.text or ""
                    r["strings"].append("" if not text.strip() else text)
        elif user is not None:
            r["strings"] = [v for child in user for v in leaves(child)]
        r["strings"] = [cp932(v) for v in r["strings"]]
        r["source"], r["computer"] = cp932(r["source"]), cp932(r["computer"])
        records[r["record"]] = r
    return records


def cp932(text):
    # The machine's records carry code page 932 texts: what it lacks becomes '?'.
    return text.encode("cp932", "replace").decode("cp932")


def expected_type(r):
    if r["keywords"] & 0x0010000000000000:
        return 16
    if r["keywords"] & 0x0020000000000000:
        return 8
    return {1: 1, 2: 1, 3: 2}.get(r["level"], 4)


def compare(tool, path):
    mine, libevtx = ours(tool, path), theirs(path)
    if libevtx is None:
        print(f"{path}: evtxexport cannot export it; we read {len(mine)} records")
        return []
    problems = []
    missing = sorted(set(libevtx) - set(mine))
    if missing:
        problems.append(f"{path}: records evtxexport reads and we do not: {missing[:10]}")
    for number, r in libevtx.items():
        m = mine.get(number)
        if m is None:
            continue
        if libevtx[number]["user"]:
            # XML shows an empty value and a missing one alike.
            m["strings"] = [v for v in m["strings"] if v]
            r["strings"] = [v for v in r["strings"] if v]
        if m["strings"] != r["strings"] and len(m["strings"]) == len(r["strings"]):
            for i, (a, b) in enumerate(zip(m["strings"], r["strings"])):
                if a != b:
                    problems.append(f"{path} record {number}: string {i + 1} {a!r} != {b!r}")
            m["strings"] = r["strings"]
        for field in ("generated", "eventId", "source", "computer", "sid", "strings"):
            if m[field] != r[field]:
                problems.append(f"{path} record {number}: {field} {m[field]!r} != {r[field]!r}")
        if m["type"] != expected_type(r):
            problems.append(f"{path} record {number}: type {m['type']} != {expected_type(r)}")
        if m["data"].lower() != r["data"].lower():
            problems.append(f"{path} record {number}: data {m['data']} != {r['data']}")
    print(f"{path}: {len(libevtx)} records compared, {len(set(mine) - set(libevtx))} more read by us")
    return problems


def main():
    tool, paths = sys.argv[1], sys.argv[2:]
    problems = [p for path in paths for p in compare(tool, path)]
    for p in problems[:40]:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
