#!/usr/bin/env python3
"""Writes cli/watch.order: the functions of the pelmora program that starting up and watching
run, which the link lays out together (CMakeLists.txt) so that a watching agent keeps only
those pages of its code resident.

Runs `pelmora watch` under valgrind's callgrind for a few seconds with each set of options
below (no API key, so nothing is offloaded) and lists every function of the program that ran,
by its symbol name. Run it after changes to the start-up or the watch loop, on a build with
the current layout:

    scripts/watch_order.py [build/release/pelmora]        (needs valgrind)
    scripts/watch_order.py --check build/release/pelmora  (the test: is the list current?)

A name that is no longer in the program is skipped by the linker; code missing from the list
still works, it only costs more resident pages. The check fails when less than
CURRENT_SHARE of the listed names are still functions of the program.
"""

import os
import re
import subprocess
import sys
import tempfile

OPTION_SETS = [
    ["--interval", "2"],
    ["--interval", "2", "--auto", "--for", "5", "--mine", "--stop-local"],
]
SECONDS = 25
CURRENT_SHARE = 0.9
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ORDER = os.path.join(ROOT, "cli/watch.order")


def functions_run(profile, program):
    """The function names of `program` that ran, from a callgrind profile."""
    names = set()
    objects, functions = {}, {}
    current = None
    with open(profile, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            m = re.match(r"^(c?)ob=\((\d+)\)(?: (.*))?", line)
            if m:
                if m.group(3):
                    objects[m.group(2)] = m.group(3).strip()
                if not m.group(1):
                    current = objects[m.group(2)]
                continue
            m = re.match(r"^(c?)fn=\((\d+)\)(?: (.*))?", line)
            if m:
                if m.group(3):
                    functions[m.group(2)] = m.group(3).strip()
                if not m.group(1) and current == program:
                    names.add(re.sub(r"'\d+$", "", functions[m.group(2)]))
    # Addresses without a symbol and callgrind's own entries are not names.
    return {n for n in names if not n.startswith(("0x", "("))}


def check(program):
    """Exit status 0 when the list is current for `program`, 1 (saying so) when it is not."""
    with open(ORDER, encoding="utf-8") as f:
        listed = {line.strip() for line in f if line.strip()}
    symbols = subprocess.run(["nm", "--defined-only", program], check=True, capture_output=True,
                             text=True).stdout
    defined = {line.split()[-1] for line in symbols.splitlines() if line.strip()}
    share = len(listed & defined) / max(1, len(listed))
    print(f"{len(listed & defined)} of the {len(listed)} functions of {ORDER} are in {program}")
    if share < CURRENT_SHARE:
        print(f"{ORDER} is out of date: run scripts/watch_order.py")
        return 1
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    program = os.path.realpath(sys.argv[1] if len(sys.argv) > 1 else
                               os.path.join(ROOT, "build/release/pelmora"))
    env = {k: v for k, v in os.environ.items() if k not in ("PELMORA_API_KEY", "GATEWAY_API_KEY")}
    env["PELMORA_API_URL"] = "http://127.0.0.1:9"
    names = set()
    with tempfile.TemporaryDirectory() as work:
        env["HOME"] = work  # no saved login either
        for i, options in enumerate(OPTION_SETS):
            profile = os.path.join(work, f"callgrind.{i}")
            command = ["valgrind", "--tool=callgrind", "--demangle=no", f"--callgrind-out-file={profile}",
                       program, "watch", *options]
            print("running:", " ".join(command[-len(options) - 2:]), f"for {SECONDS} s", file=sys.stderr)
            with subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as agent:
                try:
                    agent.wait(SECONDS)
                except subprocess.TimeoutExpired:
                    agent.send_signal(2)
                    agent.wait()
            names |= functions_run(profile, program)
    with open(ORDER, "w", encoding="utf-8") as f:
        f.write("".join(n + "\n" for n in sorted(names)))
    print(f"{ORDER}: {len(names)} functions", file=sys.stderr)


if __name__ == "__main__":
    main()
