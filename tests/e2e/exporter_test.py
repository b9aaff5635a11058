#!/usr/bin/env python3
"""winperf-exporter under Wine (or on Windows), driven over HTTP the way Prometheus and its
users drive it.

Usage: exporter_test.py GROUP [--launcher WINE] --bin BIN_DIR [--promtool PROMTOOL]
                        [--prometheus PROM] [--flaky FLAKY_DLL_DIR] [--seconds N]
GROUP is one of: flags, endpoints, interval, prometheus, abuse, timing, stops, paths,
first_collection, unicode, idle, textfile, textfile_rewrite, textfile_cost, status_page_cost.

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

import windows_program as wp

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


UTF8_ENV = wp.ENV


def run_program(args, exe, *flags, cwd=None, timeout=60):
    return wp.run(args.launcher, exe, *flags, cwd=cwd, timeout=timeout)


def stop(proc, timeout=15):
    """Ctrl+C for the Windows program, then the hard way."""
    if proc.poll() is None:
        wp.interrupt(proc)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


@contextlib.contextmanager
def exporter(args, *flags, exe=None, port=None, context=None):
    """An exporter serving on 127.0.0.1:port (a free port unless given; given, the flags or the
    configuration file must name it); over TLS when an ssl context is given to reach it."""
    listen = [] if port else [f"--web.listen-address=127.0.0.1:{free_port()}"]
    port = port or int(listen[0].rsplit(":", 1)[1])
    log = tempfile.NamedTemporaryFile(prefix="exporter-", suffix=".log", delete=False)
    proc = wp.popen(args.launcher, exe or os.path.join(args.bin, "winperf-exporter.exe"), *listen,
                    *flags, stdout=subprocess.DEVNULL, stderr=log)
    ex = Exporter(proc, port, log.name)
    try:
        if not wait_serving(port, 60, proc, context):
            if proc.poll() is not None:
                raise RuntimeError(f"the exporter exited {proc.returncode}: {ex.stderr()}")
            raise RuntimeError("the exporter did not serve within 60 s")
        yield ex
    finally:
        stop(proc)
        log.close()
        os.unlink(log.name)


def promtool_verdict(args, text):
    """promtool's exit code for an exposition (3: lint only), and what it said; (0, "") when no
    promtool was given, as on a Windows runner, where the exposition's shape is the native
    build's tests' to check."""
    if not args.promtool:
        return 0, ""
    r = subprocess.run([args.promtool, "check", "metrics"], input=text, capture_output=True,
                       text=True)
    return r.returncode, r.stdout + r.stderr


def promtool_check(args, text):
    rc, said = promtool_verdict(args, text)
    return check(rc == 0, f"promtool rejected the exposition: {said}")


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
    r = run_program(args, exe, "--help")
    check(r.returncode == 0 and r.stdout.startswith("usage: winperf-exporter"),
          f"--help: exit {r.returncode}, {r.stdout!r}")
    r = run_program(args, exe, "--version")
    check(r.returncode == 0 and r.stdout.strip() == f"winperf-exporter {VERSION}",
          f"--version: exit {r.returncode}, {r.stdout!r}")
    bad = [["--bogus"], ["extra"], ["--web.listen-address"], ["--web.listen-address=10182"],
           ["--web.listen-address=:0"], ["--web.listen-address=:65536"],
           ["--web.listen-address", "::1:80"], ["--web.telemetry-path=metrics"],
           ["--web.telemetry-path=/snapshot"], ["--web.max-requests=-1"],
           ["--web.max-requests", "ten"], ["--collector.min-interval=1x"],
           ["--collector.min-interval=s"], ["--collector.min-interval", "1s1m"]]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = pool.map(lambda flags: (flags, run_program(args, exe, *flags)), bad)
    for flags, r in runs:
        check(r.returncode == 2, f"{flags}: exit {r.returncode}, not 2")
        check("usage: winperf-exporter" in r.stderr, f"{flags}: no usage on stderr: {r.stderr!r}")

    # Nothing but the exporter in its folder: exit 1, naming the DLL.
    with tempfile.TemporaryDirectory() as alone:
        shutil.copy(exe, alone)
        r = run_program(args, os.path.join(alone, "winperf-exporter.exe"))
        check(r.returncode == 1, f"without the DLL: exit {r.returncode}, not 1")
        check("cannot load quarvel-prometheus-winperf.dll" in r.stderr,
              f"without the DLL: {r.stderr!r}")

    # A port that another program holds: exit 1, naming the address.
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        r = run_program(args, exe, f"--web.listen-address=127.0.0.1:{port}")
        check(r.returncode == 1, f"port in use: exit {r.returncode}, not 1")
        check(f"cannot listen on 127.0.0.1:{port}" in r.stderr, f"port in use: {r.stderr!r}")

    # A second exporter on the port of a running one.
    with exporter(args) as first:
        r = run_program(args, exe, f"--web.listen-address=127.0.0.1:{first.port}")
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

        check_http_semantics(ex)

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
        check_refused_bodies(ex)
        check(ex.get("/-/healthy")[0] == 200, "not serving after the abuse")
        proc = ex.proc
    check(proc.returncode == 0, f"exit code after Ctrl+C: {proc.returncode}")


def headers_of(ex, path, method, extra=None):
    """Status and headers, as a sorted list so that a header given twice shows."""
    conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=10)
    try:
        conn.request(method, path, headers=extra or {})
        res = conn.getresponse()
        body = res.read()
        return res.status, sorted((k.lower(), v) for k, v in res.getheaders()), body
    finally:
        conn.close()


def check_http_semantics(ex):
    """HEAD as GET without the body; no ranges; Vary on every answer, once."""
    failed_before = len(FAILURES)
    for path in ("/", "/metrics", "/snapshot", "/-/healthy", "/nothing"):
        for extra in ({}, {"Accept-Encoding": "gzip"}):
            gs, gh, gb = headers_of(ex, path, "GET", extra)
            hs, hh, hb = headers_of(ex, path, "HEAD", extra)
            # The body of /metrics and /snapshot may change between two requests, so its length.
            varying = path in ("/metrics", "/snapshot")
            same = hh == gh or varying and [h for h in hh if h[0] != "content-length"] == \
                [h for h in gh if h[0] != "content-length"]
            check(hs == gs and same and hb == b"",
                  f"HEAD {path} {extra}: {hs} {hh} {len(hb)} body bytes; GET: {gs} {gh}")
            check(dict(hh).get("content-length") is not None, f"HEAD {path}: no Content-Length")
            check([h for h in gh if h[0] == "vary"] == [("vary", "Accept-Encoding")],
                  f"GET {path} {extra}: Vary headers {[h for h in gh if h[0] == 'vary']}")
            check(not any(h[0] == "accept-ranges" for h in gh + hh), f"{path}: Accept-Ranges sent")
    status, headers, body = headers_of(ex, "/-/healthy", "HEAD")
    check(dict(headers).get("content-length") == "8", f"HEAD /-/healthy Content-Length: {headers}")
    full = ex.get("/")[2]
    for rng in ("bytes=0-5", "bytes=-3", "bytes=0-1,4-5", "bytes=abc", "items=1-2"):
        status, headers, body = headers_of(ex, "/", "GET", {"Range": rng})
        check(status == 200 and body == full and "content-range" not in dict(headers),
              f"Range: {rng}: {status}, {len(body)} of {len(full)} bytes, {headers}")
    status, _, body = headers_of(ex, "/metrics", "GET", {"Range": "bytes=0-5"})
    check(status == 200 and body.startswith(b"# HELP ") and len(body) > 100,
          f"Range on /metrics: {status}, {len(body)} bytes")
    if len(FAILURES) == failed_before:
        print("HEAD, Range and Vary: as GET, whole, once")


def check_refused_bodies(ex):
    """A body announced too large, or one no endpoint takes, is answered at once and the
    connection closed at once: the client sees the end of the stream, no worker is held."""
    cases = [(b"POST /metrics", 10 << 30, 405, b""), (b"GET /metrics", 1 << 30, 413, b""),
             (b"PUT /nothing", 10 << 30, 404, b""),
             (b"POST /metrics", 10 << 30, 413, b"Expect: 100-continue\r\n")]
    for line, length, want, extra in cases:
        with socket.create_connection(("127.0.0.1", ex.port), timeout=5) as s:
            start = time.monotonic()
            s.sendall(line + b" HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n" % length + extra +
                      b"\r\n")
            reply = b""
            with contextlib.suppress(OSError):
                while chunk := s.recv(65536):
                    reply += chunk
            took = time.monotonic() - start
            check(reply.startswith(b"HTTP/1.1 %d" % want) and took < 1.5,
                  f"{line.decode()} announcing {length} bytes: {reply[:40]!r}, closed after {took:.2f} s")
            print(f"{line.decode()} announcing {length >> 30} GiB {extra.decode().strip()}: "
                  f"{reply[:12].decode()}, connection closed after {took:.3f} s")


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


def winpath(path):
    return wp.path(path)


def test_prometheus(args):
    with tempfile.TemporaryDirectory() as textfiles:
        with open(os.path.join(textfiles, "backup.prom"), "w") as f:
            f.write('# HELP backup_last_success_timestamp_seconds When the backup last succeeded.\n'
                    '# TYPE backup_last_success_timestamp_seconds gauge\n'
                    'backup_last_success_timestamp_seconds{backup="nightly"} 1796800000\n')
        prometheus_scrapes(args, f"--collector.textfile.directory={winpath(textfiles)}")


@contextlib.contextmanager
def prometheus(args, config, work):
    """A Prometheus server with this configuration, its data in work; yields its port."""
    port = free_port()
    with open(os.path.join(work, "prom.log"), "w") as log:
        proc = subprocess.Popen(
            [args.prometheus, f"--config.file={config}", f"--storage.tsdb.path={work}/data",
             f"--web.listen-address=127.0.0.1:{port}"],
            stdout=subprocess.DEVNULL, stderr=log)
        try:
            yield port
        finally:
            proc.terminate()
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def prometheus_scrapes(args, *flags):
    with exporter(args, *flags) as ex, tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: winperf\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{ex.port}']\n")
        with prometheus(args, config, work) as prom_port:
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
            backup = query(prom_port, "backup_last_success_timestamp_seconds")
            check(bool(backup) and backup[0]["metric"].get("backup") == "nightly" and
                  float(backup[0]["value"][1]) == 1796800000,
                  f"the textfile series through Prometheus: {backup}")
            got = backup[0]["value"][1] if backup else None
            print(f'Prometheus: backup_last_success_timestamp_seconds{{backup="nightly"}} = {got}, '
                  "from a textfile")
            # Scrapes a second apart with a 1 s minimum interval collect at most once a second.
            collections = query(prom_port, "winperf_exporter_collections_total")
            seen = float(collections[0]["value"][1]) if collections else 0
            check(2 <= seen <= value(ex.metrics(), "winperf_exporter_collections_total"),
                  f"collections seen by Prometheus: {collections}")
            print(f"Prometheus: winperf_exporter_collections_total = {seen}")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def load_round(ex, clients=16, seconds=5):
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
        print(f"load: {first} then {second} scrapes in 5 s by 16 clients; working set "
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


def wait_serving(port, seconds=30, proc=None, context=None):
    """Whether 127.0.0.1:port answers /-/healthy within seconds (over TLS with an ssl context,
    where a refusal for want of a password counts as an answer); no more waiting once proc
    ends."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        conn = (http.client.HTTPSConnection("127.0.0.1", port, timeout=2, context=context)
                if context else http.client.HTTPConnection("127.0.0.1", port, timeout=2))
        try:
            conn.request("GET", "/-/healthy")
            if conn.getresponse().status in ((200, 401) if context else (200,)):
                return True
        except (OSError, http.client.HTTPException):
            pass
        finally:
            conn.close()
        time.sleep(0.1)
    return False


def start_and_interrupt(args, delay, signals=(0.0,), before_signal=None):
    """Starts an exporter, sends Ctrl+C after delay (and again after each further gap of
    signals), and waits for its end. Returns (exit code or None if it hung, seconds from the
    first Ctrl+C to the end, stderr)."""
    port = free_port()
    # stderr into a file: a Wine helper that inherits a pipe holds it open a while after the end.
    log = tempfile.TemporaryFile()
    proc = wp.popen(args.launcher, os.path.join(args.bin, "winperf-exporter.exe"),
                    f"--web.listen-address=127.0.0.1:{port}", stdout=subprocess.DEVNULL, stderr=log)
    ended = []
    waiter = threading.Thread(target=lambda: (proc.wait(), ended.append(time.monotonic())))
    waiter.start()
    try:
        time.sleep(delay)
        if before_signal:
            before_signal(port)
        start = time.monotonic()
        for gap in signals:
            time.sleep(gap)
            if not ended:
                wp.interrupt(proc)
        waiter.join(20)
        log.seek(0)
        text = log.read().decode("utf-8", "replace")
        if not ended:
            return None, time.monotonic() - start, text
        return proc.returncode, ended[0] - start, text
    finally:
        if proc.poll() is None:
            proc.kill()
        waiter.join()
        log.close()


# Exit codes of a process that a Ctrl+C ended before any of the program ran: killed by SIGINT
# before Wine took the signal, or ended by Windows' own handler (STATUS_CONTROL_C_EXIT).
BEFORE_THE_PROGRAM = (-signal.SIGINT, 0xC000013A & 0xFF)


def wine_fault(rc, err):
    """What Wine's own Unix side does wrong, not the program: Wine takes SIGINT in a handler that
    may run while its own code is inside glibc's malloc, and a corrupted heap then hangs the
    process (seen under load within the first 100 ms); or, after the program has shut down
    cleanly, Wine ends the process with SIGKILL."""
    return (rc is None and "Fatal glibc error" in err) or \
        (rc == -signal.SIGKILL and err.endswith("stopped\r\n"))


def check_clean_stop(what, rc, took, err):
    if wine_fault(rc, err):
        print(f"{what}: a fault of Wine's, not counted: exit {rc}, {err.strip()[-160:]!r}")
        return
    check(rc is not None, f"{what}: still running 20 s after Ctrl+C: {err!r}")
    if "listening on" in err:
        check(rc == 0 and err.count("stopped") == 1,
              f"{what}: exit {rc} after serving, log {err!r}")
    else:
        check(rc == 0 or rc in BEFORE_THE_PROGRAM and err == "",
              f"{what}: exit {rc}, log {err!r}")


def test_stops(args):
    # Ctrl+C right after the start: spread over the start so that it lands before the library
    # loads, before the port is bound, between binding and serving, and while serving.
    delays = [0.005 * i for i in range(12)] + [0.08, 0.1, 0.15, 0.2, 0.3, 0.5, 0.8, 1.2]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda d: (d, *start_and_interrupt(args, d)), delays))
    phases = {"before serving": 0, "while serving": 0, "before the program": 0, "Wine's fault": 0}
    for delay, rc, took, err in runs:
        check_clean_stop(f"Ctrl+C after {delay:.3f} s", rc, took, err)
        phase = ("Wine's fault" if wine_fault(rc, err) else
                 "while serving" if "listening on" in err else
                 "before the program" if rc in BEFORE_THE_PROGRAM else "before serving")
        phases[phase] += 1
        print(f"Ctrl+C {delay * 1000:4.0f} ms after start: exit {rc}, ended {took:.3f} s later "
              f"({phase})")
    print(f"{len(runs)} stops: {phases}; longest {max(r[2] for r in runs):.3f} s")

    # Several Ctrl+C in a row, while slow clients hold workers: one shutdown, nothing else.
    def hold_workers(port):
        check(wait_serving(port), "the exporter did not serve within 30 s")
        for _ in range(8):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")  # never finished
            held.append(s)

    for gaps in ((0, 0), (0, 0.001, 0.001), (0, 0.01), (0, 0.05, 0.05), (0, 0.2)):
        held = []
        rc, took, err = start_and_interrupt(args, 0.3, gaps, hold_workers)
        for s in held:
            s.close()
        check_clean_stop(f"{len(gaps)} Ctrl+C {gaps[1:]} s apart", rc, took, err)
        print(f"{len(gaps)} Ctrl+C {list(gaps[1:])} s apart, 8 clients mid-request: exit {rc}, "
              f"ended {took:.3f} s after the first")


def test_paths(args):
    """Telemetry paths are paths: served exactly as given, or refused with exit 2 at start."""
    exe = os.path.join(args.bin, "winperf-exporter.exe")
    served = [("/metrics(", ["/metrics", "/metrics%28x"]), ("/stats+", ["/statss", "/stat"]),
              ("/a.b", ["/axb"]), ("/m*", ["/m", "/mmm"]), ("/m[1]", ["/m1"]),
              ("/x/%41", ["/x/A"])]
    for path, others in served:
        with exporter(args, f"--web.telemetry-path={path}") as ex:
            # http.client sends the path as it is; %41 stays three bytes on the wire, so the
            # server decodes it: ask for the encoded form of a literal %.
            wire = path.replace("%", "%25")
            status, headers, body = ex.get(wire)
            check(status == 200 and headers.get("content-type") == EXPOSITION_TYPE and
                  body.startswith(b"# HELP "), f"telemetry path {path}: {status}")
            page = ex.get("/")[2].decode()
            check(f'href="{path}"' in page, f"the landing page does not link {path}")
            for other in others:
                status = ex.get(other)[0]
                check(status == 404, f"telemetry path {path}: {other} answered {status}, not 404")
            print(f"telemetry path {path}: served, {others} 404")
    refused = ["/a b", "/a?b", "/a#b", "metrics", "/", "/snapshot", "/-/healthy", "/\u00e9",
               "/a\tb"]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda p: (p, run_program(args, exe, f"--web.telemetry-path={p}")),
                             refused))
    for path, r in runs:
        check(r.returncode == 2 and "invalid --web.telemetry-path '" in r.stderr,
              f"telemetry path {path!r}: exit {r.returncode}, {r.stderr[:200]!r}")
    print(f"{len(refused)} telemetry paths refused with exit 2: {[p for p, _ in runs]}")


def beside_flaky_library(args, work):
    """A copy of the exporter in work beside the test library (tests/e2e/flaky_dll.c), which
    forwards to the real one; returns the copy's path."""
    shutil.copy(os.path.join(args.bin, "winperf-exporter.exe"), work)
    shutil.copy(os.path.join(args.bin, "quarvel-prometheus-winperf.dll"),
                os.path.join(work, "winperf-real.dll"))
    shutil.copy(os.path.join(args.flaky, "quarvel-prometheus-winperf.dll"), work)
    return os.path.join(work, "winperf-exporter.exe")


def flaky_folder(args, work):
    """The exporter beside a library whose collections fail while collect.fail is there."""
    beside_flaky_library(args, work)
    marker = os.path.join(work, "collect.fail")
    open(marker, "w").close()
    return marker


def test_first_collection(args):
    with tempfile.TemporaryDirectory() as work:
        marker = flaky_folder(args, work)
        exe = os.path.join(work, "winperf-exporter.exe")
        with exporter(args, "--collector.min-interval=0s", exe=exe) as ex:
            text = ex.metrics()
            promtool_check(args, text)
            names = {name for name, _ in samples(text)}
            check(names == {"winperf_exporter_build_info", "winperf_exporter_collections_total",
                            "winperf_exporter_collect_errors_total",
                            "winperf_exporter_collect_success"},
                  f"before a good collection: {sorted(names)}")
            check(value(text, "winperf_exporter_collect_success") == 0, "collect_success is not 0")
            check(value(text, "winperf_exporter_collect_errors_total") >= 1, "no error counted")
            status, headers, body = ex.get("/snapshot")
            check(status == 503 and body.count(b"\n") == 1 and headers.get("content-type", "")
                  .startswith("text/plain"), f"/snapshot before a good collection: {status} {body!r}")
            print(f"before a good collection: {len(names)} families of the exporter's own, "
                  f"/snapshot {status} {body.decode().strip()!r}")

            os.unlink(marker)
            text = ex.metrics()
            check(value(text, "winperf_exporter_collect_success") == 1, "collect_success is not 1")
            physical = value(text, "winperf_memory_physical_bytes") or 0
            check(physical > 0, f"winperf_memory_physical_bytes {physical}")
            stamp = value(text, "winperf_exporter_last_collect_timestamp_seconds") or 0
            check(abs(stamp - time.time()) < 120, f"collection timestamp {stamp}")
            status, _, body = ex.get("/snapshot")
            check(status == 200 and json.loads(body)["memory"]["total_physical_bytes"] > 0,
                  f"/snapshot after a good collection: {status}")
            print(f"after it: collect_success 1, {physical:.0f} bytes of memory, /snapshot {status}")

            # Each scrape collects: the last good one is the one before the failure.
            stamp = value(ex.metrics(), "winperf_exporter_last_collect_timestamp_seconds")
            open(marker, "w").close()
            time.sleep(0.1)
            failed = ex.metrics()
            check(value(failed, "winperf_exporter_collect_success") == 0, "a failure is not 0")
            check(value(failed, "winperf_memory_physical_bytes") == physical,
                  "the last good sample is not kept")
            check(value(failed, "winperf_exporter_last_collect_timestamp_seconds") == stamp,
                  "the timestamp moved on a failed collection")
            print("a later failure: collect_success 0, the last good sample and its timestamp kept")


def test_unicode(args):
    """Paths beyond ASCII and the code page, in flags and in the configuration file."""
    exe = os.path.join(args.bin, "winperf-exporter.exe")
    with tempfile.TemporaryDirectory() as tmp:
        work = os.path.join(tmp, "Zürich-日本-Ελλάδα")
        os.mkdir(work)
        win = "Z:" + work.replace("/", "\\")
        port = free_port()
        config = os.path.join(work, "exporter ü.yml")
        with open(config, "w", encoding="utf-8", newline="\r\n") as f:
            f.write("\ufeff# as Notepad saves it\n"
                    f"web:\n  listen-address: 127.0.0.1:{port}\n"
                    f"log.file: '{win}\\from-config-ß.log'\n")
        with exporter(args, f"--config.file={win}\\exporter ü.yml", port=port) as ex:
            check(ex.get("/-/healthy")[0] == 200, "not serving from the configuration file")
        log = os.path.join(work, "from-config-ß.log")
        text = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
        check("info winperf-exporter" in text and "info stopped" in text,
              f"the log named in the configuration file: {os.listdir(work)} {text!r}")
        print(f"--config.file={win}\\exporter ü.yml: served on {port}, logged to from-config-ß.log")

        log = os.path.join(work, "флаг.log")
        with exporter(args, f"--log.file={win}\\флаг.log"):
            pass
        check(os.path.exists(log) and "listening on" in open(log, encoding="utf-8").read(),
              f"--log.file with a non-ASCII name: {os.listdir(work)}")
        print("--log.file=...\\флаг.log: written")

        cases = [
            ([f"--log.file={win}\\missing\\x.log"], 1,
             f"cannot open the log file {win}\\missing\\x.log: No such file or directory"),
            ([f"--config.file={win}\\nothing.yml"], 1,
             f"cannot read the configuration file {win}\\nothing.yml: No such file or directory"),
        ]
        bad = os.path.join(work, "bad.yml")
        with open(bad, "w", encoding="utf-8") as f:
            f.write("web:\n  listen-address: :1\n  telemetry-path: /a(b\ncollector.min-intervall: 1s\n")
        cases.append(([f"--config.file={win}\\bad.yml"], 2,
                      f"{win}\\bad.yml:4: collector.min-intervall: unknown key"))
        for flags, code, message in cases:
            r = run_program(args, exe, *flags)
            check(r.returncode == code and message in r.stderr,
                  f"{flags}: exit {r.returncode}, {r.stderr!r}, not {code} with {message!r}")
            print(f"{flags[0][:60]}...: exit {r.returncode}, {r.stderr.strip()[:120]}")


def write_textfile(path, text, encoding="utf-8", bom=False, newline="\n"):
    data = text.replace("\n", newline).encode(encoding)
    if bom:
        data = {"utf-8": b"\xef\xbb\xbf", "utf-16-le": b"\xff\xfe",
                "utf-16-be": b"\xfe\xff"}[encoding] + data
    with open(path, "wb") as f:
        f.write(data)


def scrape_checked(args, ex):
    """One scrape, which promtool must take (lint about the files' own names aside)."""
    text = ex.metrics()
    rc, said = promtool_verdict(args, text)
    check(rc in (0, 3), f"promtool refused a scrape: {said}")
    return text


def test_textfile(args):
    """Files as scripts write them, each mistake leaving the others served, two folders, a
    writer that denies sharing, a folder that goes away; names beyond ASCII."""
    with tempfile.TemporaryDirectory() as tmp:
        one, two = os.path.join(tmp, "Zürich-textfiles"), os.path.join(tmp, "second")
        os.mkdir(one)
        os.mkdir(two)
        good = [  # name, encoding, BOM, line end, last newline
            ("utf8.prom", "utf-8", False, "\n", True),
            ("utf8-bom-crlf.prom", "utf-8", True, "\r\n", True),
            ("utf16le.prom", "utf-16-le", True, "\r\n", True),
            ("utf16be.prom", "utf-16-be", True, "\n", True),
            ("no-last-newline.prom", "utf-8", False, "\n", False),
            ("Größe-日本.prom", "utf-16-le", True, "\r\n", True),
        ]
        for i, (name, encoding, bom, newline, last) in enumerate(good):
            text = (f"# HELP tf_good A file that is fine.\n# TYPE tf_good gauge\n"
                    f'tf_good{{file="{name}",umlaut="ä"}} {i + 1}' + ("\n" if last else ""))
            write_textfile(os.path.join(one, name), text, encoding, bom, newline)
        # Each with a sample before its mistake: that sample must not be served either.
        bad = [
            (one, "timestamp.prom", b"tf_kept_1 1\ntf_ts 1 1700000000000\n", "client-side timestamps"),
            (one, "duplicate.prom", b'tf_kept_2 1\ntf_dup{a="1"} 1\ntf_dup{a="1"} 2\n', "the same series twice"),
            (one, "latin1.prom", b'tf_kept_3 1\ntf_l{x="\xe9"} 1\n', "not UTF-8"),
            (one, "utf16-without-bom.prom", "tf_kept_4 1\n".encode("utf-16-le"), "byte-order mark"),
            (one, "reserved.prom", b"tf_kept_5 1\nwinperf_memory_physical_bytes 1\n", "the exporter's own"),
            (one, "histogram.prom", b"tf_kept_6 1\n# TYPE tf_h histogram\ntf_h_bucket{le=\"1\"} 1\n", "no +Inf bucket"),
            (two, "type-conflict.prom", b"tf_kept_7 1\n# TYPE tf_good counter\ntf_good{x=\"1\"} 1\n", "but a gauge"),
            (two, "same-series.prom", b'tf_kept_8 1\n# TYPE tf_good gauge\ntf_good{file="utf8.prom",umlaut="\xc3\xa4"} 9\n', "is also in"),
        ]
        for folder, name, data, _ in bad:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        locked = os.path.join(two, "locked.prom")
        with open(locked, "w") as f:
            f.write("tf_locked 1\n")
        # The second folder given with a separator at its end, as people do.
        given = {one: winpath(one), two: winpath(two) + "\\"}

        def file_label(folder, name=""):
            path = given[folder] + ("" if given[folder].endswith("\\") else "\\") + name
            return '{file="' + label(path) + '"}'

        with exporter(args, "--collector.min-interval=0s",
                      f"--collector.textfile.directory={given[one]}",
                      f"--collector.textfile.directory={given[two]}") as ex:
            text = scrape_checked(args, ex)
            for i, (name, *_rest) in enumerate(good):
                got = value(text, "tf_good", f'{{file="{name}",umlaut="ä"}}')
                check(got == i + 1, f"{name}: tf_good {got}, not {i + 1}")
                check(value(text, "winperf_textfile_mtime_seconds", file_label(one, name)) is not None,
                      f"no mtime for {name}")
            print(f"{len(good)} files served: UTF-8, UTF-8 with BOM and CRLF, UTF-16 LE and BE with "
                  f"BOM, no last newline, a non-ASCII name, in a non-ASCII folder")
            log = ex.stderr()
            for folder, name, _, why in bad:
                check(value(text, "winperf_textfile_file_error", file_label(folder, name)) == 1,
                      f"{name}: no file_error")
                kept = [n for (n, _l) in samples(text) if n.startswith("tf_kept_")]
                check(not kept, f"samples of broken files served: {kept}")
                lines = [l for l in log.splitlines() if name in l]
                check(len(lines) == 1 and why in lines[0], f"{name}: logged {lines}")
                print(f"  {name}: {lines[0].split(': ', 2)[-1] if lines else None}")
            check(value(text, "winperf_textfile_scrape_error") == 1, "scrape_error is not 1")
            check(value(text, "tf_locked") == 1, "tf_locked not served before the lock")

            # A writer that denies sharing: an error of that file for as long as it holds it.
            holder = wp.popen(args.launcher, os.path.join(args.bin, "lock_file.exe"),
                              winpath(locked), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
            try:
                check(holder.stdout.readline().strip() == "locked", "lock_file did not lock")
                text = scrape_checked(args, ex)
                check(value(text, "tf_locked") is None, "a locked file was served")
                check(value(text, "winperf_textfile_file_error", file_label(two, "locked.prom")) == 1,
                      f"no file_error for the locked file: {[k for k in samples(text) if 'error' in k[0]]}")
            finally:
                holder.communicate("\n", timeout=30)
            text = scrape_checked(args, ex)
            check(value(text, "tf_locked") == 1, "the file was not served once unlocked")
            lines = [l for l in ex.stderr().splitlines() if "locked.prom" in l]
            print(f"  locked.prom while held: {lines[0].split(': ', 2)[-1] if lines else None}")
            check(len(lines) == 2 and "served again" in lines[1], f"locked.prom logged {lines}")

            # The second folder goes away, then comes back.
            shutil.rmtree(two)
            text = scrape_checked(args, ex)
            check(value(text, "winperf_textfile_file_error", '{file="' + label(given[two]) + '"}') == 1,
                  "no error for a gone folder")
            check(value(text, "tf_locked") is None, "a gone folder's file served")
            os.mkdir(two)
            with open(locked, "w") as f:
                f.write("tf_locked 2\n")
            text = scrape_checked(args, ex)
            check(value(text, "tf_locked") == 2, "the folder's file not served once it is back")
            print("a folder gone: its error, nothing of it; back: served")


def label(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def test_textfile_rewrite(args):
    """A file replaced 200 times by rename while it is scraped: each scrape has one whole version."""
    with tempfile.TemporaryDirectory() as folder:
        target = os.path.join(folder, "churn.prom")
        content = lambda n: "".join(f'tf_churn{{k="{k}"}} {n}\n' for k in range(100))  # noqa: E731
        with open(target, "w") as f:
            f.write(content(0))
        done = threading.Event()

        def writer():
            for n in range(1, 201):
                tmp = target + ".tmp"  # not *.prom: never read
                with open(tmp, "w") as f:
                    f.write(content(n))
                os.replace(tmp, target)
                time.sleep(0.005)
            done.set()

        with exporter(args, "--collector.min-interval=0s",
                      f"--collector.textfile.directory={winpath(folder)}") as ex:
            texts = []
            t = threading.Thread(target=writer)
            t.start()
            while not done.is_set():
                texts.append(ex.metrics())
            t.join()
        versions, mixed, errors = set(), 0, 0
        for text in texts:
            seen = {v for (n, _l), v in samples(text).items() if n == "tf_churn"}
            count = sum(1 for (n, _l) in samples(text) if n == "tf_churn")
            versions |= seen
            mixed += len(seen) != 1 or count != 100
            errors += value(text, "winperf_textfile_scrape_error") != 0
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            refused = sum(pool.map(lambda text: promtool_verdict(args, text)[0] not in (0, 3),
                                   texts))
        print(f"200 renames while scraped: {len(texts)} scrapes, {len(versions)} versions seen, "
              f"{mixed} mixed or partial, {errors} with a textfile error, {refused} refused by promtool")
        check(mixed == 0 and errors == 0 and refused == 0, "a scrape saw a torn or broken file")
        check(len(versions) > 1, "the rewrites were not seen")


def test_textfile_cost(args):
    """What 100 files of 100 series add to a scrape that collects, in CPU and in time."""
    hz = os.sysconf("SC_CLK_TCK")
    with tempfile.TemporaryDirectory() as folder:
        for f in range(100):
            with open(os.path.join(folder, f"job{f:03}.prom"), "w") as out:
                out.write(f"# HELP job{f}_figure A figure of job {f}.\n# TYPE job{f}_figure gauge\n")
                out.writelines(f'job{f}_figure{{task="t{s}"}} {s}\n' for s in range(100))
        results = {}
        for what, flags in (("without textfiles", []),
                            ("with 100 files of 100 series",
                             [f"--collector.textfile.directory={winpath(folder)}"])):
            with exporter(args, "--collector.min-interval=0s", *flags) as ex:
                conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=30)
                conn.request("GET", "/metrics")
                conn.getresponse().read()
                n, times = 50, []
                before = cpu_ticks(ex.proc.pid)
                for _ in range(n):
                    start = time.perf_counter()
                    conn.request("GET", "/metrics")
                    res = conn.getresponse()
                    body = res.read()
                    times.append(time.perf_counter() - start)
                    check(res.status == 200, f"scrape answered {res.status}")
                conn.close()
                cpu = 1000.0 * (cpu_ticks(ex.proc.pid) - before) / hz / n
                results[what] = (cpu, statistics.median(times) * 1000, len(body))
                print(f"scrape that collects, {what}: {cpu:.1f} ms CPU, median "
                      f"{results[what][1]:.1f} ms, {len(body)} bytes")
        (c0, t0, _), (c1, t1, _) = results.values()
        print(f"100 files of 100 series add {c1 - c0:.1f} ms CPU and {t1 - t0:.1f} ms to a scrape")


def test_status_page_cost(args):
    """The status page against a scrape, both collecting: CPU and time per request."""
    hz = os.sysconf("SC_CLK_TCK")
    with exporter(args, "--collector.min-interval=0s") as ex:
        conn = http.client.HTTPConnection("127.0.0.1", ex.port, timeout=30)
        results = {}
        for path in ("/metrics", "/", "/metrics", "/"):  # twice each, interleaved
            n, times = 100, []
            before = cpu_ticks(ex.proc.pid)
            for _ in range(n):
                start = time.perf_counter()
                conn.request("GET", path)
                res = conn.getresponse()
                body = res.read()
                times.append(time.perf_counter() - start)
                check(res.status == 200, f"{path} answered {res.status}")
            cpu = 1000.0 * (cpu_ticks(ex.proc.pid) - before) / hz / n
            was = results.get(path, (0, [], 0))
            results[path] = (was[0] + cpu / 2, was[1] + times, len(body))
        conn.close()
        for path, (cpu, times, size) in results.items():
            print(f"GET {path} that collects: {cpu:.2f} ms CPU, median "
                  f"{statistics.median(times) * 1000:.2f} ms, {size} bytes")
        page, scrape = results["/"][0], results["/metrics"][0]
        # A tick (10 ms over 200 requests) of slack for the clock's grain.
        check(page <= scrape * 1.2 + 1000.0 / hz / 200,
              f"the status page costs {page:.2f} ms CPU, a scrape {scrape:.2f} ms")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def wineserver_pid():
    """The Wine server of this test's prefix, told by the prefix in its environment."""
    prefix = os.environ.get("WINEPREFIX", "")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        with contextlib.suppress(OSError):
            if "wineserver" not in open(f"/proc/{entry}/comm").read():
                continue
            env = open(f"/proc/{entry}/environ", "rb").read().split(b"\0")
            if f"WINEPREFIX={prefix}".encode() in env:
                return int(entry)
    return None


def wineserver_ticks_beside(args, seconds):
    """The Wine server's CPU ticks over seconds while the prefix runs a program that only sleeps:
    what Wine's own processes cost it, whatever else runs."""
    proc = wp.popen(args.launcher, os.path.join(args.bin, "winperf-sample.exe"),
                    "--interval", str(int(seconds) + 10), "--count", "1",
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)
        server = wineserver_pid()
        before = server and cpu_ticks(server)
        time.sleep(seconds)
        return server and cpu_ticks(server) - before
    finally:
        proc.kill()
        proc.wait()


def test_idle(args):
    """CPU of an exporter nobody scrapes, and of a scrape. Ticks are 1/100 s."""
    hz = os.sysconf("SC_CLK_TCK")
    percent = lambda ticks: 100.0 * ticks / hz / args.seconds  # noqa: E731
    # The Wine server is shared with other tests in the test run; alone (make bench) what it does
    # for the exporter counts too, beyond what Wine's own processes cost it.
    baseline = wineserver_ticks_beside(args, args.seconds) if args.with_wineserver else None
    with exporter(args, "--collector.min-interval=0s") as ex:
        time.sleep(2)  # past its start
        server = wineserver_pid()
        before, server_before = cpu_ticks(ex.proc.pid), server and cpu_ticks(server)
        time.sleep(args.seconds)
        idle = cpu_ticks(ex.proc.pid) - before
        server_idle = server and cpu_ticks(server) - server_before
        print(f"idle for {args.seconds:.0f} s: exporter {idle} CPU ticks ({percent(idle):.2f} % "
              f"of one core), the wineserver {server_idle} ticks")
        total = percent(idle)
        if baseline is not None and server_idle is not None:
            extra = max(0, server_idle - baseline)
            print(f"  the wineserver beside a program that only sleeps: {baseline} ticks; so the "
                  f"exporter costs it {extra} ({percent(extra):.2f} %), "
                  f"{percent(idle + extra):.2f} % in all")
            total = percent(idle + extra)
        check(total <= args.idle_limit, f"an idle exporter used {total:.2f} % of a core")
        per_scrape = {}
        for what, flags in (("collecting", ["--collector.min-interval=0s"]),
                            ("answered from the last collection", ["--collector.min-interval=1h"])):
            with exporter(args, *flags) as scraped:
                conn = http.client.HTTPConnection("127.0.0.1", scraped.port, timeout=10)
                conn.request("GET", "/metrics")
                conn.getresponse().read()
                before = cpu_ticks(scraped.proc.pid)
                server_before = server and cpu_ticks(server)
                n = 200
                for _ in range(n):
                    conn.request("GET", "/metrics")
                    res = conn.getresponse()
                    res.read()
                    check(res.status == 200, f"scrape answered {res.status}")
                conn.close()
                per_scrape[what] = 1000.0 * (cpu_ticks(scraped.proc.pid) - before) / hz / n
                server_ms = server and 1000.0 * (cpu_ticks(server) - server_before) / hz / n
                print(f"CPU per scrape, {what}: exporter {per_scrape[what]:.2f} ms, its "
                      f"wineserver {server_ms:.2f} ms (over {n} scrapes)")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("group", choices=["flags", "endpoints", "interval", "prometheus", "abuse",
                                     "timing", "stops", "paths", "first_collection", "unicode",
                                     "idle", "textfile", "textfile_rewrite", "textfile_cost",
                                     "status_page_cost"])
    p.add_argument("--launcher", default="",
                   help="what runs a Windows program (wine); none on Windows")
    p.add_argument("--bin", required=True)
    p.add_argument("--promtool", help="checks every exposition when given")
    p.add_argument("--prometheus")
    p.add_argument("--flaky", help="folder of the library whose collections fail on request")
    p.add_argument("--seconds", type=float, default=10, help="how long the idle group waits")
    p.add_argument("--idle-limit", type=float, default=0.5,
                   help="most %% of one core an idle exporter may use")
    p.add_argument("--with-wineserver", action="store_true",
                   help="count the Wine server's CPU time for the idle exporter too")
    args = p.parse_args()
    globals()["test_" + args.group](args)
    print(f"exporter {args.group}: {len(FAILURES)} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
