#!/usr/bin/env python3
"""Every query of the dashboard and every recording rule, run through the query API of a real
Prometheus server that scrapes the exporter under Wine with the rules loaded: each must return at
least one series (a panel that shows nothing is a defect), and the dashboard's host variable must
list the exporter.

Usage: monitoring_test.py --launcher WINE --bin BIN_DIR --prometheus PROM --monitoring DIR
"""
import argparse
import os
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import json

import exporter_test as et

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "monitoring", "tests"))
import check_dashboard  # noqa: E402


def recorded_names(rules_file):
    with open(rules_file) as f:
        return [line.split('"')[1] for line in f if line.strip().startswith("record:")]


def label_values(prom_port, label, match):
    url = (f"http://127.0.0.1:{prom_port}/api/v1/label/{label}/values?"
           + urllib.parse.urlencode({"match[]": match}))
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.load(r)["data"]


def wait_for_rules(prom_port, names, seconds):
    """Until every recording rule has a series (or seconds have passed)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if all(et.query(prom_port, n) for n in names):
                return
        except OSError:
            pass
        time.sleep(1)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--launcher", default="")
    p.add_argument("--bin", required=True)
    p.add_argument("--prometheus", required=True)
    p.add_argument("--monitoring", required=True)
    args = p.parse_args()
    args.promtool = None
    rules = os.path.abspath(os.path.join(args.monitoring, "prometheus-rules.yaml"))
    with open(os.path.join(args.monitoring, "dashboards", "winperf-host.json")) as f:
        dashboard = json.load(f)
    names = recorded_names(rules)

    with tempfile.TemporaryDirectory() as textfiles, \
            et.exporter(args, f"--collector.textfile.directory={et.winpath(textfiles)}") as ex, \
            tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "  evaluation_interval: 1s\n"
                    f"rule_files:\n  - '{rules}'\n"
                    "scrape_configs:\n  - job_name: winperf\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{ex.port}']\n")
        instance = f"127.0.0.1:{ex.port}"
        with et.prometheus(args, config, work) as prom_port:
            # A few cycles: rate() and predict_linear() need two samples, the rules a round.
            wait_for_rules(prom_port, names, 60)
            time.sleep(5)
            hosts = label_values(prom_port, "instance", 'winperf_exporter_build_info{job="winperf"}')
            et.check(hosts == [instance], f"the host variable lists {hosts}, not [{instance}]")
            print(f"host variable: {hosts}")
            for name in names:
                got = et.query(prom_port, f'{name}{{instance="{instance}"}}')
                et.check(got, f"the recording rule {name} has no series")
                print(f"{len(got):3} series  rule {name}")
            for title, expr in check_dashboard.expressions(dashboard, instance):
                got = et.query(prom_port, expr)
                et.check(got, f"panel '{title}': no series for {expr}")
                print(f"{len(got):3} series  {title}: {expr}")
    print(f"monitoring queries: {len(et.FAILURES)} failed")
    return 1 if et.FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
