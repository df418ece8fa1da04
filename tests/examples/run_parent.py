#!/usr/bin/env python3
"""Runs an example parent against the simulated host and checks its WAV file.

  run_parent.py WAV STATUS FRAMES CHANNELS RATE -- COMMAND...

COMMAND must exit with STATUS. With FRAMES < 0 it must leave no WAV file;
otherwise WAV must be a canonical 44-byte-header PCM file of CHANNELS
16-bit channels at RATE Hz holding exactly FRAMES frames.
"""

import os
import struct
import subprocess
import sys


def main():
    wav, status, frames, channels, rate = sys.argv[1:6]
    status, frames, channels, rate = int(status), int(frames), int(channels), int(rate)
    command = sys.argv[sys.argv.index("--") + 1:]
    if os.path.exists(wav):
        os.remove(wav)
    done = subprocess.run(command, stdin=subprocess.DEVNULL, timeout=120)
    problems = []
    if done.returncode != status:
        problems.append(f"exit status {done.returncode}, expected {status}")
    if frames < 0:
        if os.path.exists(wav):
            problems.append(f"{wav} written by a capture that never started")
    else:
        with open(wav, "rb") as f:
            data = f.read()
        block = channels * 2
        expected = (b"RIFF" + struct.pack("<I", 36 + frames * block) + b"WAVE"
                    + b"fmt " + struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * block, block, 16)
                    + b"data" + struct.pack("<I", frames * block))
        if data[:44] != expected:
            problems.append(f"header {data[:44].hex()}, expected {expected.hex()}")
        if len(data) != 44 + frames * block:
            problems.append(f"{len(data) - 44} bytes of PCM, expected {frames * block}")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
