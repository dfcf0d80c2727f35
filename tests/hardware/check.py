#!/usr/bin/env python3
"""The verdict of the hardware tier over what run.sh gathered: per port (A = ttyS1, 8250;
B = the FTDI adapter, ftdi_sio) the simulator's outbox and transcript, and the guest's files
(<file>.g): the gateway's console, error log, the second user's opens and the TIOCOUTQ log.

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
    return ok


def read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def unprintable(text):
    out = text.replace("\\r", "\r").replace("\\n", "\n")
    return re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m.group(1), 16)), out)


def written(port):
    """Every byte the gateway wrote, in order, as the simulator received it."""
    out = []
    for line in read(f"{work}/{port}/transcript").splitlines():
        m = re.match(r"^\d+ < (.*)$", line)
        if m:
            out.append(unprintable(m.group(1)))
    return "".join(out)


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
    console = read(f"{work}/{port}/gw.out.g", "rb").decode("latin-1")
    errors = read(f"{work}/{port}/err_log.csv.g", "rb").decode("latin-1")
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
    check("stopped on request." in console, f"{name}: console: {console[-300:]!r}")
    check(read(f"{work}/{port}/status.g").strip() == "0",
          f"{name}: exit status {read(f'{work}/{port}/status.g').strip()!r}")
    print(f"{name}: {len(cycles)} modem cycles, {len(cycles) - len(bare)} ended by 26 27 "
          f"(the others by an unplug)")

    # Case 5: refused while the gateway holds the port; free between its cycles.
    opens = read(f"{work}/{port}/opens.g").splitlines()
    busy = sum(1 for o in opens if o.endswith("errno 16"))
    free = sum(1 for o in opens if o.endswith(" ok"))
    runs = re.findall(r"B+", "".join("B" if o.endswith("errno 16") else "F" for o in opens))
    check(busy > 0, f"{name}: another user's open was never refused: {opens[-5:]}")
    check(len(runs) >= 3, f"{name}: the gateway held the port {len(runs)} times, not once a cycle")
    on_air = errors.count("On the air")
    check(on_air >= 3, f"{name}: on the air {on_air} times")
    print(f"{name}: another user's open refused {busy} times (EBUSY) in {len(runs)} holds, "
          f"granted {free} times between cycles; on the air {on_air} times")

    outq = read(f"{work}/{port}/outq.g").splitlines()
    peak = max([int(l.split()[-1]) for l in outq if l.split()[2] == "max"] or [0])
    print(f"{name}: TIOCOUTQ seen up to {peak} while the gateway wrote")

# Case 3, port A: the modem stopped reading at the prompt of the report's first text.
stream = written("A")
text = GAUGE[0][1]
console = read(f"{work}/A/gw.out.g", "rb").decode("latin-1")
errors = read(f"{work}/A/err_log.csv.g", "rb").decode("latin-1")
check(text not in stream, "port A: the stalled text reached the modem whole")
m = re.search(r'AT\+CMGS="\+111"\r(.*?)\x1b', stream[stream.find("+4430,3,0.4") - 20:], re.S)
arrived = m.group(1) if m else None
check(arrived is not None and text.startswith(arrived) and len(arrived) < len(text),
      f"port A: after the stall the modem got {arrived!r}, not a part of the text, then ESC")
w = re.search(r"WriteChars1\(\(0\)\)\(\(%d\)\)\(\((\d+)\)\)" % len(text), console)
check(w is not None, f"port A: no short write on the console: {console[-400:]!r}")
check("cmgs3" in errors, "port A: no cmgs3 in the error log")
# The queue as root saw it: the bytes the driver held, how long, and the discard.
outq = [l.split() for l in read(f"{work}/A/outq.g").splitlines() if l.split()[2] != "max"]
# The longest time a count above 0 stood before it changed: the stalled write's wait.
held = None
for i in range(len(outq) - 1):
    n, span = int(outq[i][3]), int(outq[i + 1][2]) - int(outq[i][2])
    if n > 0 and (held is None or span > held[1]):
        held = (n, span)
check(held is not None and 29000 <= held[1] <= 32000,
      f"port A: no queue held for the write's 30 s time-out: {outq}")
check(outbox("A")[5:] == GAUGE[1:] + PUMP, f"port A after the stall: {outbox('A')[5:]}")
if w and held and arrived is not None:
    print(f"port A: the modem stopped reading at the prompt; the write of {len(text)} bytes came "
          f"back after {held[1] / 1000:.1f} s with {w.group(1)} written, TIOCOUTQ {held[0]} until "
          f"the discard; the modem got {arrived!r} (the UART's FIFO) and ESC, never the rest")

# Case 4, port B: unplugged while idle and in the middle of a bring-up.
check(outbox("B")[5:] == GAUGE, f"port B after the re-plugs: {outbox('B')[5:]}")
console = read(f"{work}/B/gw.out.g", "rb").decode("latin-1")
errors = read(f"{work}/B/err_log.csv.g", "rb").decode("latin-1")
# The dead port failed the idle poll and the bring-up (EIO), and the gateway came back by itself.
check("WriteChars1((5))" in console and "ReadFile in read_chars1 failed" in console,
      f"port B: the unplugs went unnoticed: {console[-400:]!r}")
check(errors.rfind("On the air") > errors.rfind("handle_modem0") > 0,
      "port B: not on the air after the unplug in the bring-up")
print("port B: both unplugs seen as I/O errors, on the air again on its own; "
      f"{len(outbox('B'))} texts, none lost, none twice")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
