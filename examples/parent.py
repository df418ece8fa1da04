#!/usr/bin/env python3
"""What a captioning application does with kestravo-core-audio-capture.

    parent.py --device NAME --out FILE.wav [--channels 0,1] [--seconds 30]
              [--restarts N] [--tool PATH]

Lists the devices, picks one by name, captures it into a WAV file while a
level meter runs on the terminal, starts again when the device comes back
after a loss (at most N times), and stops at the deadline or on Ctrl-C by
closing the tool's standard input. Exit status: 0 when something was
captured, 1 when the capture could not start. Python 3, standard library only.
"""

import argparse
import json
import os
import queue
import signal
import struct
import subprocess
import sys
import threading
import time

READY_TIMEOUT = 5.0  # the tool is ready or has failed within 2.5 s
EXIT_TIMEOUT = 2.0  # it exits within 100 ms of its standard input closing


def list_devices(tool):
    """The listing's devices; [] when there is none (or the tool is missing)."""
    try:
        done = subprocess.run([tool, "--list"], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=10, start_new_session=True)
        return json.loads(done.stdout)["drivers"]
    except (OSError, subprocess.TimeoutExpired, ValueError, KeyError):
        return []


class Wav:
    """16-bit PCM into a WAV file; the header is written when it is closed."""

    def __init__(self, path):
        self.file = open(path, "wb")
        self.file.write(bytes(44))
        self.data = 0
        self.format = None  # (rate, channels), from the first ready record

    def write(self, pcm):
        self.file.write(pcm)
        self.data += len(pcm)

    def close(self):
        rate, channels = self.format
        self.file.seek(0)
        self.file.write(b"RIFF" + struct.pack("<I", 36 + self.data) + b"WAVE")
        self.file.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, channels, rate,
                                              rate * channels * 2, channels * 2, 16))
        self.file.write(b"data" + struct.pack("<I", self.data))
        self.file.close()


def meter(levels):
    """One line of peak meters, redrawn in place; only on a terminal."""
    if sys.stderr.isatty():
        bars = " ".join("#" * round(p * 20) + "." * (20 - round(p * 20)) for p in levels["peak"])
        sys.stderr.write("\r" + bars)
        sys.stderr.flush()


def capture(tool, name, channels, rate, wav, stop):
    """One run of the tool; returns "lost", "stopped" or a failure's message."""
    args = [tool, "--driver", name, "--channels", ",".join(map(str, channels))]
    if rate:
        args += ["--sample-rate", str(rate)]  # an integer: "48000.0" would mean no rate
    # A session of its own: Ctrl-C in the terminal reaches only us, and we
    # stop the tool through its standard input.
    child = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
    records = queue.Queue()

    def read_records():
        for line in child.stderr:
            try:
                records.put(json.loads(line))
            except ValueError:
                pass  # not a record (the simulated host's own failure)
        records.put(None)  # the tool has exited

    def read_pcm():
        # PCM may come before the ready record: it is kept all the same.
        while chunk := child.stdout.read1(65536):
            wav.write(chunk)

    readers = [threading.Thread(target=f) for f in (read_records, read_pcm)]
    for r in readers:
        r.start()
    started, outcome = time.monotonic(), "stopped"
    ready = False
    while not stop.is_set():
        try:
            record = records.get(timeout=0.1)
        except queue.Empty:
            if not ready and time.monotonic() - started > READY_TIMEOUT:
                outcome = "no ready record"
                break
            continue
        if record is None:
            if not ready and outcome == "stopped":
                outcome = "the tool exited before it was ready"
            break
        if record["type"] == "ready":
            ready = True
            if wav.format is None:
                wav.format = (int(record["sampleRate"]), record["channels"])
            elif wav.format != (int(record["sampleRate"]), record["channels"]):
                outcome = "the device came back in another format"
                break
        elif record["type"] == "levels":
            meter(record)
        elif record["code"] == "device_disconnected":
            outcome = "lost"  # no more PCM may come: stop this run, list again
            break
        else:
            outcome = f'{record["code"]}: {record["message"]}'  # fatal: the tool exits 1
    child.stdin.close()
    try:
        child.wait(EXIT_TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
    for r in readers:
        r.join()
    return outcome


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--device", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--channels", default="0")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--restarts", type=int, default=1000)
    parser.add_argument("--tool", default="kestravo-core-audio-capture")
    options = parser.parse_args()
    channels = [int(c) for c in options.channels.split(",")]
    stop = threading.Event()
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, lambda *_: stop.set())
    timer = threading.Timer(options.seconds, stop.set)
    timer.daemon = True
    timer.start()

    if not any(d["name"] == options.device for d in list_devices(options.tool)):
        print(f"parent: no device named {options.device!r}", file=sys.stderr)
        return 1
    wav = Wav(options.out)
    restarts = 0
    while True:
        rate = wav.format[0] if wav.format else None
        outcome = capture(options.tool, options.device, channels, rate, wav, stop)
        print(f"\nparent: capture {outcome}" if sys.stderr.isatty() else f"parent: capture {outcome}",
              file=sys.stderr)
        if outcome != "lost" or restarts == options.restarts:
            break
        restarts += 1
        # Start again when the device is listed again.
        while not stop.wait(0.5):
            if any(d["name"] == options.device for d in list_devices(options.tool)):
                break
        if stop.is_set():
            break
    if wav.format is None:  # never ready: nothing worth keeping
        wav.file.close()
        os.remove(options.out)
        return 1
    wav.close()
    print(f"parent: {wav.data} bytes in {options.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
