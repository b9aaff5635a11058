#!/usr/bin/env python3
"""winperf-exporter under Wine, driven over HTTP the way Prometheus and its users drive it.

Usage: exporter_test.py GROUP --wine WINE --bin BIN_DIR --promtool PROMTOOL [--prometheus PROM]
GROUP is one of: flags, endpoints, interval, prometheus, abuse, timing.

Every exporter and Prometheus server started here listens on 127.0.0.1 on a free port and is
stopped by this script, also when a check fails.
"""
import argparse
import concurrent.futures
import contextlib
import gzip
import http.client
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

VERSION = "1.0.0"
EXPOSITION_TYPE = "text/plain; version=0.0.4; charset=utf-8"
FAILURES = []


def check(cond, message):
    if not cond:
        FAILURES.append(message)
        print("FAILED: " + message, flush=True)
    return cond


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Exporter:
    def __init__(self, proc, port, log):
        self.proc, self.port, self.log = proc, port, log

    def get(self, path, method="GET", headers=None, body=None, timeout=10):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            res = conn.getresponse()
            return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
        finally:
            conn.close()

    def metrics(self):
        status, _, body = self.get("/metrics")
        check(status == 200, f"/metrics answered {status}")
        return body.decode("utf-8")

    def stderr(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()


def run_wine(args, exe, *flags, cwd=None, timeout=60):
    return subprocess.run([args.wine, exe, *flags], cwd=cwd, capture_output=True, text=True,
                          errors="replace", timeout=timeout)


def stop(proc, timeout=15):
    """Ctrl+C for the Windows program (Wine turns SIGINT into it), then the hard way."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


@contextlib.contextmanager
def exporter(args, *flags, exe=None):
    port = free_port()
    log = tempfile.NamedTemporaryFile(prefix="exporter-", suffix=".log", delete=False)
    proc = subprocess.Popen(
        [args.wine, exe or os.path.join(args.bin, "winperf-exporter.exe"),
         f"--web.listen-address=127.0.0.1:{port}", *flags],
        stdout=subprocess.DEVNULL, stderr=log)
    ex = Exporter(proc, port, log.name)
    try:
        deadline = time.monotonic() + 60
        while True:
            if proc.poll() is not None:
                raise RuntimeError(f"the exporter exited {proc.returncode}: {ex.stderr()}")
            try:
                if ex.get("/-/healthy", timeout=2)[0] == 200:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("the exporter did not serve within 60 s")
            time.sleep(0.2)
        yield ex
    finally:
        stop(proc)
        log.close()
        os.unlink(log.name)


def promtool_check(args, text):
    r = subprocess.run([args.promtool, "check", "metrics"], input=text, capture_output=True,
                       text=True)
    return check(r.returncode == 0, f"promtool rejected the exposition: {r.stdout}{r.stderr}")


SAMPLE_LINE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (\S+)$')


def samples(text):
    """{(name, labels): value} of an exposition."""
    out = {}
    for line in text.splitlines():
        if line.startswith("#") or not line:
            continue
        m = SAMPLE_LINE.match(line)
        if check(m is not None, f"malformed sample line: {line!r}"):
            out[(m.group(1), m.group(2) or "")] = float(m.group(3))
    return out


def value(text, name, labels=""):
    return samples(text).get((name, labels))


# ---- groups ------------------------------------------------------------------------------------

def test_flags(args):
    exe = os.path.join(args.bin, "winperf-exporter.exe")
    r = run_wine(args, exe, "--help")
    check(r.returncode == 0 and r.stdout.startswith("usage: winperf-exporter"),
          f"--help: exit {r.returncode}, {r.stdout!r}")
    r = run_wine(args, exe, "--version")
    check(r.returncode == 0 and r.stdout.strip() == f"winperf-exporter {VERSION}",
          f"--version: exit {r.returncode}, {r.stdout!r}")
    bad = [["--bogus"], ["extra"], ["--web.listen-address"], ["--web.listen-address=10182"],
           ["--web.listen-address=:0"], ["--web.listen-address=:65536"],
           ["--web.listen-address", "::1:80"], ["--web.telemetry-path=metrics"],
           ["--web.telemetry-path=/snapshot"], ["--web.max-requests=-1"],
           ["--web.max-requests", "ten"], ["--collector.min-interval=1x"],
           ["--collector.min-interval=s"], ["--collector.min-interval", "1s1m"]]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = pool.map(lambda flags: (flags, run_wine(args, exe, *flags)), bad)
    for flags, r in runs:
        check(r.returncode == 2, f"{flags}: exit {r.returncode}, not 2")
        check("usage: winperf-exporter" in r.stderr, f"{flags}: no usage on stderr: {r.stderr!r}")

    # Nothing but the exporter in its folder: exit 1, naming the DLL.
    with tempfile.TemporaryDirectory() as alone:
        shutil.copy(exe, alone)
        r = run_wine(args, os.path.join(alone, "winperf-exporter.exe"))
        check(r.returncode == 1, f"without the DLL: exit {r.returncode}, not 1")
        check("cannot load quarvel-prometheus-winperf.dll" in r.stderr,
              f"without the DLL: {r.stderr!r}")

    # A port that another program holds: exit 1, naming the address.
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        r = run_wine(args, exe, f"--web.listen-address=127.0.0.1:{port}")
        check(r.returncode == 1, f"port in use: exit {r.returncode}, not 1")
        check(f"cannot listen on 127.0.0.1:{port}" in r.stderr, f"port in use: {r.stderr!r}")

    # A second exporter on the port of a running one.
    with exporter(args) as first:
        r = run_wine(args, exe, f"--web.listen-address=127.0.0.1:{first.port}")
        check(r.returncode == 1, f"second exporter on one port: exit {r.returncode}, not 1")
        check(first.get("/-/healthy")[0] == 200, "the first exporter stopped serving")


def test_endpoints(args):
    with exporter(args) as ex:
        status, headers, body = ex.get("/")
        page = body.decode()
        check(status == 200 and headers.get("content-type", "").startswith("text/html"),
              f"/: {status} {headers.get('content-type')}")
        for needle in ('href="/metrics"', 'href="/snapshot"', VERSION):
            check(needle in page, f"the landing page lacks {needle}")

        status, headers, body = ex.get("/metrics")
        check(status == 200, f"/metrics: {status}")
        check(headers.get("content-type") == EXPOSITION_TYPE,
              f"/metrics content type: {headers.get('content-type')}")
        text = body.decode("utf-8")
        promtool_check(args, text)
        check(value(text, "winperf_exporter_build_info", f'{{version="{VERSION}"}}') == 1,
              "no winperf_exporter_build_info")
        for family in ("winperf_exporter_collections_total",
                       "winperf_exporter_collect_errors_total",
                       "winperf_exporter_collect_duration_seconds",
                       "winperf_exporter_last_collect_timestamp_seconds",
                       "winperf_cpu_logical_processors", "winperf_memory_physical_bytes"):
            check(value(text, family) is not None, f"no {family} sample")
        check(value(text, "winperf_exporter_collect_errors_total") == 0, "collect errors counted")
        stamp = value(text, "winperf_exporter_last_collect_timestamp_seconds") or 0
        check(abs(stamp - time.time()) < 120, f"collection timestamp {stamp} is not now")

        status, headers, body = ex.get("/metrics", headers={"Accept-Encoding": "gzip"})
        check(status == 200 and headers.get("content-encoding") == "gzip",
              f"gzip: {status} {headers.get('content-encoding')}")
        if headers.get("content-encoding") == "gzip":
            check(gzip.decompress(body).startswith(b"# HELP winperf_"), "gzip body is not ours")

        status, headers, body = ex.get("/snapshot")
        check(status == 200 and headers.get("content-type") == "application/json",
              f"/snapshot: {status} {headers.get('content-type')}")
        doc = json.loads(body)
        check(list(doc) == ["timestamp", "cpu", "memory", "disks", "network", "system"],
              f"snapshot members: {list(doc)}")

        status, _, body = ex.get("/-/healthy")
        check(status == 200 and body, f"/-/healthy: {status} {body!r}")

        for path in ("/", "/metrics", "/snapshot", "/-/healthy"):
            gs, gh, _ = ex.get(path)
            hs, hh, hb = ex.get(path, method="HEAD")
            check(hs == gs and hh.get("content-type") == gh.get("content-type") and hb == b"",
                  f"HEAD {path}: {hs} {hh.get('content-type')} {len(hb)} body bytes")

        for path in ("/nothing", "/metrics/", "/metricsx"):
            check(ex.get(path)[0] == 404, f"{path} is not 404")
        for method in ("POST", "PUT", "DELETE", "OPTIONS", "PATCH"):
            status, headers, _ = ex.get("/metrics", method=method, body=b"")
            check(status == 405 and "GET" in headers.get("allow", ""),
                  f"{method} /metrics: {status}, Allow {headers.get('allow')}")

        abuse = [("a 9 KiB request line", "/metrics?" + "a" * 9 * 1024, {}, (414, 431, 400)),
                 ("a 10 KiB header", "/metrics", {"X-Big": "b" * 10 * 1024}, (431, 400)),
                 ("200 headers", "/metrics", {f"X-H{i}": "v" for i in range(200)}, (431, 400))]
        for what, path, headers, allowed in abuse:
            try:
                status = ex.get(path, headers=headers)[0]
            except (OSError, http.client.HTTPException) as e:
                status = repr(e)
            check(status in allowed, f"{what}: {status}")
        # A body announced larger than the server takes is refused without waiting for it.
        with socket.create_connection(("127.0.0.1", ex.port), timeout=5) as s:
            start = time.monotonic()
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n")
            reply = s.recv(4096)
            check(reply.startswith(b"HTTP/1.1 413") and time.monotonic() - start < 3,
                  f"an announced 1 GB body: {reply[:40]!r}")
        check(ex.get("/-/healthy")[0] == 200, "not serving after the abuse")
        proc = ex.proc
    check(proc.returncode == 0, f"exit code after Ctrl+C: {proc.returncode}")


def test_interval(args):
    with exporter(args, "--collector.min-interval=3s") as ex:
        first = value(ex.metrics(), "winperf_exporter_collections_total")
        second = value(ex.metrics(), "winperf_exporter_collections_total")
        check(first == 1 and second == 1, f"scrapes within 3 s collected again: {first}, {second}")
        time.sleep(3.5)
        third = value(ex.metrics(), "winperf_exporter_collections_total")
        check(third == 2, f"a scrape after 3 s did not collect: {third}")
    with exporter(args, "--collector.min-interval", "0s") as ex:
        counts = [value(ex.metrics(), "winperf_exporter_collections_total") for _ in range(3)]
        check(counts == [1, 2, 3], f"with 0s every scrape collects: {counts}")

    # One scrape at a time: those beyond it are told 503 at once, the rest are served.
    with exporter(args, "--web.max-requests=1", "--collector.min-interval=0s") as ex:
        statuses = []

        def scrape_often():
            for _ in range(10):
                statuses.append(ex.get("/metrics")[0])

        threads = [threading.Thread(target=scrape_often) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        check(set(statuses) == {200, 503}, f"with --web.max-requests=1: {sorted(set(statuses))}")
        print(f"--web.max-requests=1, 8 clients: {statuses.count(200)} served, "
              f"{statuses.count(503)} told 503")


def query(prom_port, expr):
    url = f"http://127.0.0.1:{prom_port}/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.load(r)["data"]["result"]


def test_prometheus(args):
    with exporter(args) as ex, tempfile.TemporaryDirectory() as work:
        prom_port = free_port()
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: winperf\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{ex.port}']\n")
        prom = subprocess.Popen(
            [args.prometheus, f"--config.file={config}", f"--storage.tsdb.path={work}/data",
             f"--web.listen-address=127.0.0.1:{prom_port}"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "prom.log"), "w"))
        try:
            up = []
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                time.sleep(1)
                try:
                    up = query(prom_port, 'up{job="winperf"}')
                except OSError:
                    continue
                if up and up[0]["value"][1] == "1":
                    time.sleep(3)  # a few more scrapes
                    break
            check(bool(up) and up[0]["value"][1] == "1", f"Prometheus reports up = {up}")
            print(f"Prometheus: up{{job=\"winperf\"}} = {up[0]['value'][1] if up else None}")

            served = ex.metrics()
            for name in ("winperf_cpu_logical_processors", "winperf_memory_physical_bytes"):
                result = query(prom_port, name)
                got = float(result[0]["value"][1]) if result else None
                check(got == value(served, name), f"{name}: Prometheus {got}, served "
                      f"{value(served, name)}")
                print(f"Prometheus: {name} = {got}")
            served_ifs = sorted(labels for (name, labels) in samples(served)
                                if name == "winperf_network_up")
            result = query(prom_port, "winperf_network_up")
            prom_ifs = sorted('{interface="%s"}' % r["metric"]["interface"]
                              .replace("\\", "\\\\").replace('"', '\\"') for r in result)
            check(prom_ifs == served_ifs, f"interfaces: Prometheus {prom_ifs}, served {served_ifs}")
            print(f"Prometheus: {len(prom_ifs)} interfaces {prom_ifs}")
            built = query(prom_port, "winperf_exporter_build_info")
            check(bool(built) and built[0]["metric"].get("version") == VERSION,
                  f"build_info: {built}")
            # Scrapes a second apart with a 1 s minimum interval collect at most once a second.
            collections = query(prom_port, "winperf_exporter_collections_total")
            seen = float(collections[0]["value"][1]) if collections else 0
            check(2 <= seen <= value(ex.metrics(), "winperf_exporter_collections_total"),
                  f"collections seen by Prometheus: {collections}")
            print(f"Prometheus: winperf_exporter_collections_total = {seen}")
        finally:
            prom.terminate()
            try:
                prom.wait(20)
            except subprocess.TimeoutExpired:
                prom.kill()
                prom.wait()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def load_round(ex, clients=16, seconds=10):
    """Clients scraping as fast as they can; returns (responses, problems)."""
    stop_at = time.monotonic() + seconds
    counts, problems = [0] * clients, []

    def client(i):
        conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=10)
        while time.monotonic() < stop_at:
            try:
                conn.request("GET", "/metrics", headers={"Accept-Encoding": "gzip"})
                res = conn.getresponse()
                body = res.read()
                if res.getheader("Content-Encoding") == "gzip":
                    body = gzip.decompress(body)
                text = body.decode("utf-8")
                if res.status != 200 or not text.endswith("\n") or \
                        "winperf_exporter_build_info{" not in text:
                    problems.append(f"status {res.status}, {len(text)} bytes")
                counts[i] += 1
            except (OSError, http.client.HTTPException, EOFError) as e:
                problems.append(repr(e))
                conn.close()
                conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=10)
        conn.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts), problems


def test_abuse(args):
    with exporter(args) as ex:
        # 32 connections that send nothing and 32 that trickle a request a byte at a time.
        silent = [socket.create_connection(("127.0.0.1", ex.port)) for _ in range(32)]
        trickle = [socket.create_connection(("127.0.0.1", ex.port)) for _ in range(32)]
        request = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"s" * 200
        stop_trickle = threading.Event()

        def trickler():
            i = 0
            while not stop_trickle.is_set() and i < len(request):
                for s in trickle:
                    with contextlib.suppress(OSError):
                        s.send(request[i:i + 1])
                i += 1
                stop_trickle.wait(0.5)

        t = threading.Thread(target=trickler)
        t.start()
        try:
            time.sleep(1)
            start = time.monotonic()
            status, _, _ = ex.get("/metrics", timeout=10)
            took = time.monotonic() - start
            check(status == 200 and took < 2, f"/metrics with 64 slow clients: {status} in "
                  f"{took:.2f} s")
            print(f"/metrics beside 64 slow clients: {status} in {took:.3f} s")
            # The trickling requests reach the request deadline and are closed.
            time.sleep(13)
            closed = 0
            for s in trickle:
                s.settimeout(1)
                try:
                    s.recv(1024)  # an answer or the end of the stream: the server let go
                    closed += 1
                except (socket.timeout, TimeoutError):
                    pass
                except OSError:
                    closed += 1
            check(closed == len(trickle), f"{len(trickle) - closed} trickling clients still held")
        finally:
            stop_trickle.set()
            t.join()
            for s in silent + trickle:
                s.close()

        pid = ex.proc.pid
        check("winperf-exporter" in open(f"/proc/{pid}/cmdline").read(),
              "the exporter's process is not the one started")
        first, problems = load_round(ex)
        rss_first = rss_kib(pid)
        check(not problems, f"round 1: {len(problems)} bad responses, first {problems[:3]}")
        second, problems = load_round(ex)
        rss_second = rss_kib(pid)
        check(not problems, f"round 2: {len(problems)} bad responses, first {problems[:3]}")
        print(f"load: {first} then {second} scrapes in 10 s by 16 clients; working set "
              f"{rss_first} KiB then {rss_second} KiB")
        check(rss_second <= rss_first + 1024,
              f"working set grew from {rss_first} KiB to {rss_second} KiB")
        check(ex.get("/-/healthy")[0] == 200, "not serving after the load")


def test_timing(args):
    for flags in (["--collector.min-interval=0s"], []):
        with exporter(args, *flags) as ex:
            times = []
            conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=10)
            for _ in range(200):
                start = time.perf_counter()
                conn.request("GET", "/metrics", headers={"Accept-Encoding": "gzip"})
                res = conn.getresponse()
                res.read()
                times.append(time.perf_counter() - start)
                check(res.status == 200, f"scrape answered {res.status}")
            conn.close()
            times.sort()
            what = "collecting on every scrape" if flags else "default --collector.min-interval"
            print(f"scrape time over 200 scrapes, {what}: median {statistics.median(times)*1e3:.2f}"
                  f" ms, 99th percentile {times[int(len(times) * 0.99) - 1]*1e3:.2f} ms")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("group", choices=["flags", "endpoints", "interval", "prometheus", "abuse",
                                     "timing"])
    p.add_argument("--wine", required=True)
    p.add_argument("--bin", required=True)
    p.add_argument("--promtool", required=True)
    p.add_argument("--prometheus")
    args = p.parse_args()
    globals()["test_" + args.group](args)
    print(f"exporter {args.group}: {len(FAILURES)} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
