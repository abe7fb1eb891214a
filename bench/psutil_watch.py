#!/usr/bin/env python3
"""The watch loop's scan written with psutil, for comparing the agent's own cost.

Does what `pelmora watch` does per cycle with nothing to offload: a priming pass over every
process, a 1-second pause, then one scan of the process table every INTERVAL seconds (the
same seven attributes, the same Python test, thresholds and script resolution, and a fresh
memory read of each heavy process), waiting in 0.25-second slices. Prints nothing per cycle;
on SIGINT or SIGTERM prints the number of cycles and detections and exits.
"""

import argparse
import os
import signal
import sys
import time

import psutil

ATTRS = ["pid", "name", "cmdline", "cpu_percent", "memory_percent", "username", "create_time"]


def is_python_process(info):
    name = info.get("name") or ""
    if "python" in name.lower():
        return True
    cmdline = info.get("cmdline") or []
    return bool(cmdline) and "python" in (cmdline[0] or "").lower()


def resolve_script(cmdline, cwd):
    for arg in cmdline:
        if not arg or arg.startswith("-") or not arg.endswith(".py"):
            continue
        path = arg if os.path.isabs(arg) or cwd is None else os.path.join(cwd, arg)
        if os.path.isfile(path):
            return os.path.normpath(os.path.abspath(path))
    return None


def scan(threshold, own_pid):
    heavy = []
    for proc in psutil.process_iter(ATTRS):
        try:
            info = proc.info
            pid = info["pid"]
            if pid in (0, 1, own_pid) or not is_python_process(info):
                continue
            cpu = info.get("cpu_percent") or 0.0
            mem = info.get("memory_percent") or 0.0
            if cpu < threshold and mem < threshold:
                continue
            try:
                cwd = proc.cwd()
            except psutil.Error:
                cwd = None
            script = resolve_script(info.get("cmdline") or [], cwd)
            try:
                mem_mb = proc.memory_info().rss / 1048576
            except psutil.Error:
                mem_mb = 0.0
            heavy.append((pid, script, cpu, mem, mem_mb))
        except (psutil.Error, KeyError, TypeError):
            continue
    return heavy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threshold", type=float, default=85.0)
    parser.add_argument("--interval", type=float, default=2.0)
    args = parser.parse_args()

    running = True
    cycles = 0
    detections = 0

    def stop(sig, frame):
        nonlocal running
        running = False

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    own = os.getpid()
    for proc in psutil.process_iter():
        try:
            proc.cpu_percent()
        except psutil.Error:
            pass
    time.sleep(1.0)
    while running:
        detections += len(scan(args.threshold, own))
        cycles += 1
        deadline = time.monotonic() + args.interval
        while running and time.monotonic() < deadline:
            time.sleep(0.25)
    print(f"cycles {cycles} detections {detections}", file=sys.stderr)


if __name__ == "__main__":
    main()
