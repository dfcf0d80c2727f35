#!/usr/bin/env python3
"""The line between QEMU's 16550 and mvo-modem-sim, with a modem that can stop reading.

  bridge.py PIPE LINK STALL_S

PIPE is QEMU's pipe chardev (PIPE.in carries bytes to the guest, PIPE.out bytes from it); LINK is
the simulator's --link. Bytes go both ways unchanged. After SIGUSR1 the next '>' from the
simulator (a text prompt) arms a stall: before the prompt reaches the guest, the bridge stops
reading PIPE.out and fills the pipe (shrunk to one page) with filler bytes of its own, so QEMU's
UART cannot send a byte more and the guest's driver keeps the gateway's bytes queued: the modem
has stopped reading. STALL_S seconds later the filler is taken out exactly, and whatever the
guest's UART still sends goes on to the simulator. Events go to standard output.
"""
import fcntl
import os
import select
import signal
import sys
import termios
import time
import tty

pipe, link, stall_s = sys.argv[1], sys.argv[2], float(sys.argv[3])
start = time.monotonic()


def say(text):
    print(f"bridge {int((time.monotonic() - start) * 1000)} {text}", flush=True)


armed = False


def arm(*_):
    global armed
    armed = True


signal.signal(signal.SIGUSR1, arm)
from_guest = os.open(pipe + ".out", os.O_RDONLY | os.O_NONBLOCK)
fcntl.fcntl(from_guest, fcntl.F_SETPIPE_SZ, 4096)
to_guest = os.open(pipe + ".in", os.O_RDWR | os.O_NONBLOCK)
while not os.path.exists(link):
    time.sleep(0.05)
sim = os.open(link, os.O_RDWR | os.O_NOCTTY)
tty.setraw(sim, termios.TCSANOW)
say("up")

stalled_until = None
filler = 0


def pump(src, dst):
    try:
        data = os.read(src, 4096)
    except BlockingIOError:
        return b""
    if data:
        os.write(dst, data)
    return data


while True:
    now = time.monotonic()
    if stalled_until is not None and now >= stalled_until:
        left = filler
        while left > 0:
            try:
                left -= len(os.read(from_guest, left))
            except BlockingIOError:
                select.select([from_guest], [], [], 0.1)
        stalled_until = None
        say(f"stall ends: {filler} filler bytes taken out")
    fds = [sim] + ([from_guest] if stalled_until is None else [])
    try:
        ready, _, _ = select.select(fds, [], [], 0.05)
    except InterruptedError:
        continue
    if from_guest in ready:
        pump(from_guest, sim)
    if sim in ready:
        data = os.read(sim, 4096)
        if armed and b">" in data:
            armed = False
            # What the guest sent before the prompt goes on; then the pipe is filled.
            while pump(from_guest, sim):
                pass
            writer = os.open(pipe + ".out", os.O_WRONLY | os.O_NONBLOCK)
            filler = 0
            for size in (512, 1):  # to the last byte: a write up to a page is all or nothing
                while True:
                    try:
                        filler += os.write(writer, b"\0" * size)
                    except BlockingIOError:
                        break
            os.close(writer)
            stalled_until = time.monotonic() + stall_s
            say(f"stall begins at the prompt: the modem stops reading for {stall_s:g} s")
        os.write(to_guest, data)
