#!/usr/bin/python3
"""The reference for bench_scan: the same scan done with psutil (process_iter with the
seven attributes and the same filter), timed in CPU seconds of this process.

Usage: /usr/bin/python3 bench/psutil_scan.py [SCANS]
"""
import os
import sys
import time

import psutil

ATTRS = ['pid', 'name', 'cmdline', 'cpu_percent', 'memory_percent', 'username', 'create_time']
THRESHOLD = 85.0


def is_python(info):
    name = info.get('name') or ''
    if 'python' in name.lower():
        return True
    cmdline = info.get('cmdline') or []
    return bool(cmdline) and 'python' in (cmdline[0] or '').lower()


def resolve_script(cmdline):
    for arg in cmdline:
        if not arg or arg.startswith('-'):
            continue
        if arg.endswith('.py') and os.path.isfile(arg):
            return os.path.abspath(arg)
    return None


def scan(own_pid):
    heavy = []
    for proc in psutil.process_iter(ATTRS):
        try:
            info = proc.info
            pid = info['pid']
            if pid in (0, 1, own_pid) or not is_python(info):
                continue
            cpu = info.get('cpu_percent') or 0.0
            mem = info.get('memory_percent') or 0.0
            if cpu < THRESHOLD and mem < THRESHOLD:
                continue
            script = resolve_script(info.get('cmdline') or [])
            try:
                mem_mb = proc.memory_info().rss / 1048576
            except Exception:
                mem_mb = 0.0
            heavy.append((pid, info.get('name'), script, cpu, mem, mem_mb))
        except Exception:
            continue
    return heavy


def main():
    scans = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    own_pid = os.getpid()
    for proc in psutil.process_iter():
        try:
            proc.cpu_percent(None)
        except psutil.Error:
            pass
    processes = len(psutil.pids())
    start = time.process_time()
    for _ in range(scans):
        scan(own_pid)
    per_scan = (time.process_time() - start) / scans
    print('psutil scan: %d processes, %.2f ms CPU per scan, %.1f us per process'
          % (processes, per_scan * 1e3, per_scan * 1e6 / processes))


if __name__ == '__main__':
    main()
