#!/usr/bin/env python3
"""The verdict of the hardware tier over what run.sh gathered: per port (A = ttyS1, 8250;
B = the FTDI adapter, ftdi_sio) the simulator's outbox and transcript, and the guest's files
(<file>.g): the gateway's console, error log and the second user's opens.

  check.py WORK
"""
import json
import re
import sys

work = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return ""


def unprintable(text):
    out = text.replace("\\r", "\r").replace("\\n", "\n")
    return re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m.group(1), 16)), out)


def written(port):
    """Every byte the gateway wrote, in order, as the simulator received it."""
    lines = re.findall(r"^\d+ < (.*)$", read(f"{work}/{port}/transcript"), re.M)
    return "".join(map(unprintable, lines))


def outbox(port):
    return [(e["number"], e["text"]) for e in map(json.loads, read(f"{work}/{port}/outbox").splitlines())]


DEMO = [
    ("+111", "+4410,10,2.5,c,400,e,f,1\x1a"),
    ("+222", "Tank3 reports: Overflow at level of 2.5 meter\x1a"),
    ("+444", "Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\x1a"),
    ("+111", "+4420,7,1.2,c,150,e,f,0\x1a"),
    ("+333", "Pump North reports: Normal at volume of 150 liter\x1a"),
]
GAUGE = [
    ("+111", "+4430,3,0.4,o,60,e,f,2\x1a"),
    ("+222", "Gauge 7 reports: Low level at level of 0.4 meter\x1a"),
    ("+444", "Gauge 7: low, 0.4 m left\x1a"),
]
PUMP = [DEMO[3], DEMO[4]]
DEVICE = {"A": "/dev/ttyS1 (8250)", "B": "the FTDI adapter (ftdi_sio)"}

for port in "AB":
    name = f"port {port}, {DEVICE[port]}"
    sent = outbox(port)
    stream = written(port)

    # Case 1: the demo's texts, exactly, in order.
    check(sent[:5] == DEMO, f"{name}: the demo's texts: {sent[:5]}")

    # Case 2: every modem cycle that ended with the port still there ended with 26 then 27, and
    # so did the stop.
    cycles = stream.split("ATZ\r")[1:]
    unplugs = 2 if port == "B" else 0
    bare = [c[-40:] for c in cycles if not c.endswith("\x1a\x1b")]
    check(len(cycles) >= 3, f"{name}: only {len(cycles)} modem cycles")
    check(len(bare) <= unplugs, f"{name}: cycles not ended by 26 27: {bare}")
    check(stream.endswith("\x1a\x1b"), f"{name}: the stop's last bytes: {stream[-40:]!r}")

    # Case 5: refused while the gateway holds the port; free between its cycles.
    opens = read(f"{work}/{port}/opens.g").splitlines()
    # The runs of refusals (EBUSY) between the opens granted: one hold of the port a cycle.
    runs = re.findall(r"B+", "".join("B" if o.endswith("errno 16") else "F" for o in opens))
    check(len(runs) >= 3, f"{name}: the gateway held the port {len(runs)} times, not once a cycle")

# Case 3, port A: the modem stopped reading at the prompt of the report's first text.
stream = written("A")
text = GAUGE[0][1]
console = read(f"{work}/A/gw.out.g")
m = re.search(r'AT\+CMGS="\+111"\r(.*?)\x1b', stream[stream.find("+4430,3,0.4") - 20:], re.S)
arrived = m.group(1) if m else None
check(arrived is not None and text.startswith(arrived) and len(arrived) < len(text),
      f"port A: after the stall the modem got {arrived!r}, not a part of the text, then ESC")
w = re.search(r"WriteChars1\(\(0\)\)\(\(%d\)\)\(\((\d+)\)\)" % len(text), console)
check(w is not None, f"port A: no short write on the console: {console[-400:]!r}")
check(outbox("A")[5:] == GAUGE[1:] + PUMP, f"port A after the stall: {outbox('A')[5:]}")

# Case 4, port B: unplugged while idle and in the middle of a bring-up.
check(outbox("B")[5:] == GAUGE, f"port B after the re-plugs: {outbox('B')[5:]}")
console = read(f"{work}/B/gw.out.g")
errors = read(f"{work}/B/err_log.csv.g")
# The dead port failed the idle poll and the bring-up (EIO), and the gateway came back by itself.
check("WriteChars1((5))" in console and "ReadFile in read_chars1 failed" in console,
      f"port B: the unplugs went unnoticed: {console[-400:]!r}")
check(errors.rfind("On the air") > errors.rfind("handle_modem0") > 0,
      "port B: not on the air after the unplug in the bring-up")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
