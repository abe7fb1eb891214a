#!/usr/bin/python3
"""Writes tests/data/proc/psutil_golden.txt: what psutil (Debian's python3-psutil, run with
/usr/bin/python3) reads from the fixture proc tree in tests/data/proc.

One line per process: pid, name, cmdline, memory_percent, username, create_time, rss.
Text is 'x' + the hex of its bytes; a command line is 'COUNT:' + hex arguments joined by
commas; floats by repr. Generated on a machine with CLK_TCK 100 and 4096-byte pages.

Usage: /usr/bin/python3 tests/oracle/psutil_proc_golden.py
"""
import os
import warnings

import psutil

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, '..', 'data', 'proc'))


def hexed(text):
    return 'x' + os.fsencode(text).hex()


def main():
    warnings.simplefilter('ignore')
    psutil.PROCFS_PATH = ROOT
    lines = []
    for name in sorted(os.listdir(ROOT), key=lambda n: int(n) if n.isdigit() else -1):
        if not name.isdigit():
            continue
        proc = psutil.Process(int(name))
        try:
            info = proc.as_dict(['pid', 'name', 'cmdline', 'memory_percent', 'username',
                                 'create_time'])
            rss = proc.memory_info().rss
        except (psutil.NoSuchProcess, FileNotFoundError):
            continue  # a process that is gone while read
        cmd = '%d:%s' % (len(info['cmdline']), ','.join(os.fsencode(a).hex()
                                                         for a in info['cmdline']))
        lines.append('\t'.join([str(info['pid']), hexed(info['name']), cmd,
                                repr(info['memory_percent']), hexed(info['username']),
                                repr(info['create_time']), str(rss)]))
    with open(os.path.join(ROOT, 'psutil_golden.txt'), 'w') as out:
        out.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
