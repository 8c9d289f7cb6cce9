#!/usr/bin/env python3
"""The bridge host against a bare echo program, both started under Wine with
pipes as a browser starts a native messaging host (scripts/bench runs it in
the bench prefix):

  bridge_start       the first hello reply after the process starts, against
                     the echo's first reply to the same request (target 1.5)
  bridge_round_trip  SelectComplete (request, event, reply), against the
                     echo writing the same request back twice, as many frames
                     as the host writes, in one write as the host does
                     (target 1.5); the median of each round's calls. The
                     ratio to an echo writing one frame is printed too,
                     with no target: the host writes two.

In a round the host and the echo first start alone, one after the other, for
the start figure. Then the three programs run side by side and take their
calls in turns of a few at a time: the pipes' own speed moves with the
machine's load and where the scheduler puts the programs, and each program
then meets the same moves.

    bench_bridge.py BUILD_DIR [rounds] [calls per round]"""

import json
import os
import statistics
import struct
import subprocess
import sys
import time

build = sys.argv[1]
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
calls = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
turn = 10
wine = os.environ["ZARN_WINE"]
origin = open(os.path.join(build, "CMakeCache.txt")).read().split(
    "ZARN_UPDATE_SERVER:STRING=", 1)[1].split("\n", 1)[0].rstrip("/")


def frame(value):
    data = json.dumps(value, ensure_ascii=False).encode()
    return struct.pack("<I", len(data)) + data


def read_frame(out):
    head = out.read(4)
    (length,) = struct.unpack("<I", head)
    return out.read(length)


class Program:
    def __init__(self, exe, *args):
        self.started = time.perf_counter()
        self.process = subprocess.Popen([wine, os.path.join(build, exe),
                                         "chrome-extension://bench/", *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        bufsize=0)

    def exchange(self, data, replies):
        self.process.stdin.write(data)
        for _ in range(replies):
            read_frame(self.process.stdout)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


class Figure:
    def __init__(self, name, target):
        self.name, self.target, self.ratios = name, target, []

    def add(self, measured, floor):
        self.ratios.append(measured / floor)

    def print(self):
        r = self.ratios
        target = "none" if self.target is None else "%.2f" % self.target
        print("BENCH %s %.2f %s min %.2f max %.2f rounds %d"
              % (self.name, statistics.median(r), target, min(r), max(r), len(r)), flush=True)


hello = frame({"id": 1, "origin": origin, "method": "hello", "params": []})
select = frame({"id": 2, "origin": origin, "method": "SelectComplete",
                "params": ["C:\\자료\\보고서.hwp", "2048", "-1"]})
start, trip = Figure("bridge_start", 1.5), Figure("bridge_round_trip", 1.5)
single = Figure("bridge_round_trip_vs_single_echo", None)
kinds = (("host", "zarn-bridge.exe", (), 2), ("echo", "bridge_echo.exe", (), 1),
         ("echo2", "bridge_echo.exe", ("--twice",), 2))
for _ in range(rounds):
    first = {}
    # Each goes first in every other round: a program started just after
    # another has gone meets Wine still tidying up.
    for name, exe, args, _ in (kinds[:2] if len(start.ratios) % 2 == 0 else kinds[1::-1]):
        program = Program(exe, *args)
        program.exchange(hello, 1)
        first[name] = time.perf_counter() - program.started
        program.close()
    programs, each = {}, {}
    for name, exe, args, _ in kinds:
        programs[name] = program = Program(exe, *args)
        program.exchange(hello, 1)
        each[name] = []
    for _ in range(0, calls, turn):
        for name, _, _, replies in kinds:
            program = programs[name]
            for _ in range(turn):
                t = time.perf_counter()
                program.exchange(select, replies)
                each[name].append(time.perf_counter() - t)
    for program in programs.values():
        program.close()
    trips = {name: statistics.median(times) for name, times in each.items()}
    start.add(first["host"], first["echo"])
    trip.add(trips["host"], trips["echo2"])
    single.add(trips["host"], trips["echo"])
    print("round: start %.0f ms (echo %.0f ms), round trip %.3f ms (echo twice %.3f ms, once %.3f ms)"
          % (first["host"] * 1e3, first["echo"] * 1e3, trips["host"] * 1e3,
             trips["echo2"] * 1e3, trips["echo"] * 1e3), flush=True)
start.print()
trip.print()
single.print()
