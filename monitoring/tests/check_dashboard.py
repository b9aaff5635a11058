#!/usr/bin/env python3
"""What Grafana would show wrongly or not at all, checked without Grafana: panel ids that repeat,
panels that overlap or leave the 24 columns, a panel without a unit or not on the datasource
variable, a query that does not use the host variable, variables that are missing; then the same
checks on broken copies, which they must refuse.

expressions() gives every query with its variables filled in, for a test against a real
Prometheus server.

Usage: check_dashboard.py DASHBOARD.json
"""
import copy
import json
import sys

DATASOURCE = "${datasource}"


def panels(dashboard):
    return [p for p in dashboard.get("panels", []) if p.get("type") != "row"]


def cells(panel):
    g = panel["gridPos"]
    return {(x, y) for x in range(g["x"], g["x"] + g["w"]) for y in range(g["y"], g["y"] + g["h"])}


def problems(dashboard):
    out = []
    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    if variables.get("datasource", {}).get("type") != "datasource":
        out.append("no datasource variable")
    instance = variables.get("instance", {})
    if instance.get("type") != "query" or "winperf_exporter_build_info" not in json.dumps(
            instance.get("query")):
        out.append("no instance variable from winperf_exporter_build_info")
    if not isinstance(dashboard.get("schemaVersion"), int) or dashboard["schemaVersion"] < 36:
        out.append(f"schemaVersion {dashboard.get('schemaVersion')} is not a current one")
    ids, taken = {}, {}
    for p in dashboard.get("panels", []):
        name = f"panel {p.get('id')} ({p.get('title')})"
        if p.get("id") in ids:
            out.append(f"{name}: id also used by {ids[p['id']]}")
        ids[p.get("id")] = p.get("title")
        g = p.get("gridPos", {})
        if g.get("x", 0) < 0 or g.get("x", 0) + g.get("w", 0) > 24 or g.get("w", 0) <= 0:
            out.append(f"{name}: outside the 24 columns: {g}")
        for cell in cells(p):
            if cell in taken:
                out.append(f"{name}: overlaps {taken[cell]}")
                break
        for cell in cells(p):
            taken.setdefault(cell, p.get("title"))
    for p in panels(dashboard):
        name = f"panel {p.get('id')} ({p.get('title')})"
        if p.get("datasource", {}).get("uid") != DATASOURCE:
            out.append(f"{name}: not on the datasource variable")
        if not p.get("fieldConfig", {}).get("defaults", {}).get("unit"):
            out.append(f"{name}: no unit")
        if not p.get("targets"):
            out.append(f"{name}: no query")
        for t in p.get("targets", []):
            if t.get("datasource", {}).get("uid") != DATASOURCE:
                out.append(f"{name}: query {t.get('refId')} not on the datasource variable")
            if '$instance' not in t.get("expr", ""):
                out.append(f"{name}: query {t.get('refId')} ignores the host variable")
    return out


def expressions(dashboard, instance, rate_interval="1m"):
    """[(panel title, expression)] with the variables filled in."""
    return [(p["title"], t["expr"].replace("$instance", instance)
             .replace("$__rate_interval", rate_interval))
            for p in panels(dashboard) for t in p["targets"]]


def mutations():
    def first(d, kind):
        return next(p for p in d["panels"] if p["type"] == kind)

    return [
        ("a repeated id", lambda d: first(d, "gauge").update(id=first(d, "stat")["id"]),
         "id also used"),
        ("an overlap", lambda d: first(d, "gauge")["gridPos"].update(first(d, "stat")["gridPos"]),
         "overlaps"),
        ("too wide", lambda d: first(d, "timeseries")["gridPos"].update(w=30), "24 columns"),
        ("no unit", lambda d: first(d, "timeseries")["fieldConfig"]["defaults"].pop("unit"),
         "no unit"),
        ("a fixed datasource", lambda d: first(d, "stat").update(datasource={"uid": "prom1"}),
         "not on the datasource variable"),
        ("a host left out", lambda d: first(d, "timeseries")["targets"][0].update(
            expr="winperf_cpu_usage_ratio"), "ignores the host variable"),
        ("no instance variable", lambda d: d["templating"]["list"].pop(), "no instance variable"),
        ("an old schema", lambda d: d.update(schemaVersion=16), "schemaVersion"),
    ]


def main():
    with open(sys.argv[1]) as f:
        dashboard = json.load(f)
    failures = problems(dashboard)
    for p in failures:
        print(f"FAILED: {p}")
    print(f"{sys.argv[1]}: {len(panels(dashboard))} panels, "
          f"{len(expressions(dashboard, 'x'))} queries, {len(failures)} problems")
    for what, breaks, complaint in mutations():
        broken = copy.deepcopy(dashboard)
        breaks(broken)
        if not any(complaint in p for p in problems(broken)):
            print(f"FAILED: {what}: not refused with '{complaint}'")
            failures.append(what)
    print(f"{len(mutations())} broken copies checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
