#!/usr/bin/env python3
"""The Windows workflow cannot run here, so what can be known of it before a runner takes it is
checked: that it is YAML GitHub would read, that its jobs are the ones meant, and that every
step calls something of this repository that exists and says what the workflow asks of it.

Then the same checks on broken copies of the workflow, each of which they must refuse.

Usage: check_workflow.py REPO_ROOT
"""
import copy
import json
import os
import re
import sys

import yaml

WORKFLOW = ".github/workflows/windows.yml"
PINNED = re.compile(r"^[\w.-]+/[\w.-]+@v\d+$")
REPO_PATH = re.compile(r"(?<![\w/.])((?:\.ci|packaging|tests|scripts)/[\w./-]+)")
STEP_ID_USE = re.compile(r"steps\.([\w-]+)\.outputs")
# The order the Windows job must keep: each needs what the one before made.
WINDOWS_ORDER = ["vcpkg-env", "sources", "build", "test", "package", "install-check"]


def windows_sh_steps(repo):
    with open(os.path.join(repo, ".ci/windows.sh")) as f:
        return set(re.findall(r"^  ([a-z-]+)\)$", f.read(), re.M))


def presets(repo):
    with open(os.path.join(repo, "CMakePresets.json")) as f:
        data = json.load(f)
    return {kind: {p["name"] for p in data.get(kind, [])}
            for kind in ("configurePresets", "buildPresets", "testPresets")}


def triggers(doc):
    # YAML 1.1 reads a bare `on` as true.
    on = doc.get("on", doc.get(True))
    return set(on) if isinstance(on, (dict, list)) else {on} if on else set()


def step_problems(job_name, steps, repo, known_steps, known_presets):
    out, ids, order = [], set(), []
    for i, step in enumerate(steps):
        where = f"jobs.{job_name}.steps[{i}]"
        if ("uses" in step) == ("run" in step):
            out.append(f"{where}: needs exactly one of uses and run")
            continue
        for ref in STEP_ID_USE.findall(yaml.safe_dump(step)):
            if ref not in ids:
                out.append(f"{where}: uses the outputs of step '{ref}', which no step before has")
        if "id" in step:
            ids.add(step["id"])
        if "uses" in step:
            if not PINNED.match(step["uses"]):
                out.append(f"{where}: action '{step['uses']}' is not pinned to a major version")
            continue
        run = step["run"]
        for path in REPO_PATH.findall(run):
            if not os.path.exists(os.path.join(repo, path)):
                out.append(f"{where}: runs {path}, which is not in the repository")
        for name, arg in re.findall(r"\.ci/windows\.sh\s+([\w-]+)\s+(\S+)", run):
            if name not in known_steps:
                out.append(f"{where}: .ci/windows.sh has no step '{name}'")
            if name in ("build", "test"):
                kinds = ["configurePresets", "buildPresets"] if name == "build" else ["testPresets"]
                for kind in kinds:
                    if arg not in known_presets[kind]:
                        out.append(f"{where}: no {kind[:-7]} preset '{arg}'")
            order.append(name)
    return out, order


def problems(doc, repo):
    if not isinstance(doc, dict):
        return ["the workflow is not a mapping"]
    out = []
    if not {"push", "pull_request"} <= triggers(doc):
        out.append("the workflow must run on push and on pull_request")
    jobs = doc.get("jobs") or {}
    known_steps, known_presets = windows_sh_steps(repo), presets(repo)
    windows, linux = jobs.get("windows"), jobs.get("linux")
    if not windows:
        out.append("no windows job")
    elif windows.get("runs-on") != "windows-2022":
        out.append(f"the windows job runs on {windows.get('runs-on')}, not windows-2022")
    if not linux:
        out.append("no linux job")
    elif not str(linux.get("container", "")).startswith("debian:"):
        out.append("the linux job does not run in a Debian container")
    for name, job in jobs.items():
        if "timeout-minutes" not in job:
            out.append(f"jobs.{name}: no timeout-minutes")
        found, order = step_problems(name, job.get("steps") or [], repo, known_steps,
                                     known_presets)
        out += found
        if name == "windows":
            if order != WINDOWS_ORDER:
                out.append(f"the windows job runs windows.sh {order}, not {WINDOWS_ORDER}")
            runs = [s.get("run", "") + s.get("uses", "") for s in job.get("steps") or []]
            cache = next((i for i, r in enumerate(runs) if r.startswith("actions/cache@")), None)
            build = next((i for i, r in enumerate(runs) if "windows.sh build" in r), None)
            wsl = next((i for i, r in enumerate(runs) if "setup-wsl" in r), None)
            package = next((i for i, r in enumerate(runs) if "windows.sh package" in r), None)
            if cache is None or build is None or cache > build:
                out.append("vcpkg's cache is not restored before the build")
            if wsl is None or package is None or wsl > package:
                out.append("WSL (and its msitools) is not set up before the MSI is built")
        if name == "linux" and not any(".ci/linux.sh" in s.get("run", "")
                                       for s in job.get("steps") or []):
            out.append("the linux job does not run .ci/linux.sh (make test)")
    return out


def mutations():
    """(what is broken, how, what the complaint must say)."""
    def windows_steps(doc):
        return doc["jobs"]["windows"]["steps"]

    def step_running(doc, text):
        return next(s for s in windows_steps(doc) if text in s.get("run", ""))

    return [
        ("no windows job", lambda d: d["jobs"].pop("windows"), "no windows job"),
        ("another runner", lambda d: d["jobs"]["windows"].update({"runs-on": "windows-latest"}),
         "not windows-2022"),
        ("no pull_request", lambda d: (d.pop("on", None), d.pop(True, None),
                                       d.update({"on": {"push": None}})), "on pull_request"),
        ("an unpinned action", lambda d: windows_steps(d)[1].update(uses="actions/checkout@main"),
         "not pinned"),
        ("a script not in the repository",
         lambda d: step_running(d, "windows.sh test").update(run="bash .ci/windows-test.sh"),
         "not in the repository"),
        ("a step windows.sh lacks",
         lambda d: step_running(d, "windows.sh test").update(run="bash .ci/windows.sh tests x"),
         "has no step 'tests'"),
        ("a preset that does not exist",
         lambda d: step_running(d, "windows.sh build").update(run="bash .ci/windows.sh build msvc"),
         "no configure preset 'msvc'"),
        ("the package before the tests",
         lambda d: windows_steps(d).append(windows_steps(d).pop(
             windows_steps(d).index(step_running(d, "windows.sh test")))), "not ['vcpkg-env'"),
        ("the cache key of a step that is not there",
         lambda d: next(s for s in windows_steps(d) if "id" in s).pop("id"), "no step before"),
        ("a step with both run and uses",
         lambda d: step_running(d, "windows.sh build").update(uses="actions/cache@v4"),
         "exactly one of uses and run"),
        ("the MSI before WSL",
         lambda d: windows_steps(d).append(windows_steps(d).pop(next(
             i for i, s in enumerate(windows_steps(d)) if "setup-wsl" in s.get("uses", "")))),
         "WSL"),
        ("no make test", lambda d: d["jobs"]["linux"]["steps"].pop(), "does not run .ci/linux.sh"),
        ("no timeout", lambda d: d["jobs"]["linux"].pop("timeout-minutes"), "no timeout-minutes"),
    ]


def main():
    repo = sys.argv[1]
    with open(os.path.join(repo, WORKFLOW)) as f:
        doc = yaml.safe_load(f)
    failures = 0
    found = problems(doc, repo)
    for p in found:
        print(f"FAILED: {WORKFLOW}: {p}")
    failures += len(found)
    jobs = doc["jobs"]
    on = ", ".join(f"{name} on {job['runs-on']}" for name, job in jobs.items())
    print(f"{WORKFLOW}: jobs {on}; "
          f"{sum(len(j['steps']) for j in jobs.values())} steps, {len(found)} problems")
    for what, breaks, complaint in mutations():
        broken = copy.deepcopy(doc)
        breaks(broken)
        said = problems(broken, repo)
        if not any(complaint in p for p in said):
            print(f"FAILED: {what}: not refused with '{complaint}' (said {said})")
            failures += 1
    print(f"{len(mutations())} broken copies checked; {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
