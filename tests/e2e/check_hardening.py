#!/usr/bin/env python3
"""Every object compiled into the shipped files carries the hardening flags.

Usage: check_hardening.py BUILD_DIR FILE...

The objects of each FILE are what ninja links into it, followed through the static libraries
of this build; each must have a compile command with every flag below. Objects that come from
elsewhere (the toolchain's runtime, zlib's package) are not compiled here and are not looked at.
"""
import json
import os
import subprocess
import sys

FLAGS = ("-fstack-protector-strong", "-D_FORTIFY_SOURCE=2")


def inputs(build, target):
    """The explicit and implicit inputs of target, as ninja names them (not order-only)."""
    out = subprocess.run(["ninja", "-C", build, "-t", "query", target], capture_output=True,
                         text=True, check=True).stdout
    found, reading = [], False
    for line in out.splitlines():
        if line.startswith("  input:"):
            reading = True
        elif line.startswith("  outputs:"):
            reading = False
        elif reading:
            name = line.strip()
            if name.startswith("|| "):
                continue
            found.append(name[2:] if name.startswith("| ") else name)
    return found


def objects(build, target, seen):
    """The objects compiled here that end up in target."""
    found = []
    for name in inputs(build, target):
        if name in seen:
            continue
        seen.add(name)
        if name.endswith((".obj", ".o")):
            found.append(name)
        elif name.endswith(".a") and not os.path.isabs(name):
            found += objects(build, name, seen)
    return found


def main():
    build, files = sys.argv[1], sys.argv[2:]
    commands = {}
    with open(os.path.join(build, "compile_commands.json")) as f:
        for entry in json.load(f):
            words = entry["command"].split()
            if "-o" not in words:
                continue  # the resource compiler: no code
            output = entry.get("output") or words[words.index("-o") + 1]
            commands[os.path.normpath(os.path.join(entry["directory"], output))] = words
    failures = 0
    for path in files:
        target = os.path.relpath(path, build)
        objs = objects(build, target, set())
        for obj in objs:
            command = commands.get(os.path.normpath(os.path.join(build, obj)))
            missing = [f for f in FLAGS if command is None or f not in command]
            if missing:
                failures += 1
                print(f"FAILED: {obj} (in {target}) is compiled without {' '.join(missing)}")
        # Nothing found would pass vacuously: every shipped file has objects of its own.
        if len(objs) < 3:
            failures += 1
            print(f"FAILED: only {len(objs)} objects found for {target}")
        print(f"{target}: {len(objs)} objects compiled here, checked")
    print("hardening checks passed" if failures == 0 else f"{failures} hardening checks failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
