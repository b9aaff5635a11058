#!/usr/bin/env python3
"""winperf-exporter under Wine with a web configuration: TLS, client certificates, passwords and
headers, as Prometheus, curl and Python's TLS client meet them.

Usage: web_config_test.py GROUP [--launcher WINE] --bin BIN_DIR [--promtool PROMTOOL]
                          [--prometheus PROM] --certs MAKE_TEST_CERTS_SH
GROUP is one of: tls, prometheus_tls, rotation, startup, flood, tls_cost.

Certificates are made fresh by the test. Every exporter and Prometheus server started here
listens on 127.0.0.1 on a free port and is stopped by this script, also when a check fails.
"""
import argparse
import base64
import concurrent.futures
import contextlib
import http.client
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time

import exporter_test as et
from exporter_test import check

# "secret" at cost 10, as htpasswd -nBC 10 makes them.
SECRET_HASH = "$2b$10$KhkpjkzA5PJ4r3dl4KenQ.jmH7wrSswCaPqdFJ6zMDyCIxw1QqvNS"
HEADERS = {
    "Content-Security-Policy": "default-src 'none'",
    "X-Frame-Options": "deny",
    "X-Content-Type-Options": "nosniff",
    "X-XSS-Protection": "1; mode=block",
    "Strict-Transport-Security": "max-age=31536000; includeSubDomains",
}


def basic(user, password):
    token = base64.b64encode(f"{user}:{password}".encode()).decode()
    return {"Authorization": f"Basic {token}"}


class Certs:
    """A folder of fresh certificates, and web configurations written beside them (so that their
    relative paths are relative to the file's folder)."""

    def __init__(self, script):
        self.dir = tempfile.mkdtemp(prefix="winperf-tls-")
        subprocess.run(["bash", script, self.dir], check=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def copy(self, source, target):
        shutil.copyfile(self.path(source), self.path(target))

    def web_config(self, text, name="web.yml"):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return f"--web.config.file={et.winpath(self.path(name))}"

    def context(self, ca="ca.crt", client=None, tls=None):
        ctx = ssl.create_default_context(cafile=self.path(ca))
        if client:
            ctx.load_cert_chain(self.path(client + ".crt"), self.path(client + ".key"))
        if tls:
            ctx.minimum_version = ctx.maximum_version = tls
        return ctx

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def certificates(args):
    certs = Certs(args.certs)
    try:
        yield certs
    finally:
        certs.remove()


def tls_config(cert="served", extra=""):
    return f"tls_server_config:\n  cert_file: {cert}.crt\n  key_file: {cert}.key\n{extra}"


def https_get(port, context, path="/-/healthy", headers=None, timeout=10):
    """(status, headers, body) of one request on a connection of its own."""
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=context)
    try:
        conn.request("GET", path, headers=headers or {})
        res = conn.getresponse()
        return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
    finally:
        conn.close()


def refused(port, context, headers=None):
    """Whether the connection fails before any answer (a handshake refused)."""
    try:
        status, _, _ = https_get(port, context, headers=headers)
        return False, status
    except (ssl.SSLError, OSError, http.client.HTTPException) as e:
        return True, type(e).__name__


def curl(port, certs, *flags, path="/-/healthy"):
    """(curl's exit code, the HTTP status it saw) for one request."""
    r = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                        "--cacert", certs.path("ca.crt"), *flags,
                        f"https://127.0.0.1:{port}{path}"],
                       capture_output=True, text=True)
    return r.returncode, r.stdout.strip(), r.stderr.strip()


# ---- tls -----------------------------------------------------------------------------------------

def test_tls(args):
    with certificates(args) as certs:
        certs.copy("server-rsa.crt", "served.crt")
        certs.copy("server-rsa.key", "served.key")
        headers = "".join(f"    {k}: \"{v}\"\n" for k, v in HEADERS.items())
        flag = certs.web_config(tls_config() + "http_server_config:\n  headers:\n" + headers +
                                f"basic_auth_users:\n  alice: {SECRET_HASH}\n")
        with et.exporter(args, flag, context=certs.context()) as ex:
            check_versions(ex.port, certs, accepted=("1.2", "1.3"), refused_below="1.1")
            check_passwords(ex.port, certs)
            check_plain_http_refused(ex.port)
        flag = certs.web_config(tls_config(extra="  min_version: TLS13\n"))
        with et.exporter(args, flag, context=certs.context()) as ex:
            check_versions(ex.port, certs, accepted=("1.3",), refused_below="1.2")
        check_client_certificates(args, certs)


def check_versions(port, certs, accepted, refused_below):
    for version in accepted:
        rc, status, err = curl(port, certs, f"--tlsv{version}", "--tls-max", version,
                               "-u", "alice:secret")
        check(rc == 0 and status in ("200", "401"), f"TLS {version}: curl {rc} {status} {err}")
        print(f"TLS {version}: accepted (HTTP {status})")
    rc, status, err = curl(port, certs, f"--tlsv{refused_below}", "--tls-max", refused_below)
    check(rc != 0 and status == "000", f"TLS {refused_below} was not refused: {rc} {status}")
    print(f"TLS {refused_below}: refused by the handshake (curl {rc}: {err[:80]})")


def check_passwords(port, certs):
    ctx = certs.context()
    status, headers, body = https_get(port, ctx, "/metrics", basic("alice", "secret"))
    check(status == 200 and b"winperf_cpu_logical_processors" in body,
          f"the right password: {status}")
    for name, value in HEADERS.items():
        check(headers.get(name.lower()) == value, f"{name}: {headers.get(name.lower())!r}")
    print(f"alice with her password: {status}, the five headers present")
    for what, auth in (("no password", {}), ("a wrong password", basic("alice", "wrong")),
                       ("an unknown user", basic("mallory", "secret"))):
        for path in ("/", "/metrics", "/snapshot", "/-/healthy"):
            status, headers, body = https_get(port, ctx, path, auth)
            check(status == 401 and headers.get("www-authenticate") == "Basic" and
                  b"winperf" not in body, f"{what} on {path}: {status} {headers}")
            check(headers.get("x-frame-options") == "deny", f"{what}: headers on a 401")
        print(f"{what}: 401 with WWW-Authenticate: Basic on every path")


def check_plain_http_refused(port):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.request("GET", "/metrics")
        status = conn.getresponse().status
    except (OSError, http.client.HTTPException):
        status = None
    finally:
        conn.close()
    check(status is None, f"plain HTTP on the TLS port got an answer: {status}")


def check_client_certificates(args, certs):
    certs.copy("server-ec.crt", "served.crt")
    certs.copy("server-ec.key", "served.key")
    flag = certs.web_config(tls_config(extra="  client_auth_type: RequireAndVerifyClientCert\n"
                                             "  client_ca_file: ca.crt\n"
                                             "  client_allowed_sans: [prometheus.example]\n"))
    with et.exporter(args, flag, context=certs.context(client="client")) as ex:
        rc, status, err = curl(ex.port, certs, "--cert", certs.path("client.crt"),
                               "--key", certs.path("client.key"))
        check(rc == 0 and status == "200", f"the client's certificate: curl {rc} {status} {err}")
        print(f"client certificate from the CA with an allowed name: {status}")
        for client, why in ((None, "no certificate"), ("stranger", "a certificate of another CA"),
                            ("expired", "an expired certificate"),
                            ("intruder", "a name that is not allowed")):
            flags = ["--cert", certs.path(client + ".crt"), "--key", certs.path(client + ".key")] \
                if client else []
            rc, status, err = curl(ex.port, certs, *flags)
            check(rc != 0 and status == "000", f"{why}: curl {rc} {status}")
            gone, how = refused(ex.port, certs.context(client=client))
            check(gone, f"{why}: Python's client got HTTP {how}")
            print(f"{why}: refused (curl {rc}: {err[:70]}; Python: {how})")
        # TLS 1.2 too, where the refusal is the server's alert inside the handshake.
        rc, status, _ = curl(ex.port, certs, "--tls-max", "1.2", "--cert",
                             certs.path("stranger.crt"), "--key", certs.path("stranger.key"))
        check(rc != 0 and status == "000", f"another CA over TLS 1.2: curl {rc} {status}")


# ---- prometheus_tls ----------------------------------------------------------------------------

def test_prometheus_tls(args):
    with certificates(args) as certs, tempfile.TemporaryDirectory() as work:
        certs.copy("server-rsa.crt", "served.crt")
        certs.copy("server-rsa.key", "served.key")
        users = certs.web_config(tls_config() + f"basic_auth_users:\n  alice: {SECRET_HASH}\n",
                                 "users.yml")
        mtls = certs.web_config(tls_config(extra="  client_auth_type: RequireAndVerifyClientCert\n"
                                                 "  client_ca_file: ca.crt\n"), "mtls.yml")
        with et.exporter(args, users, context=certs.context()) as a, \
                et.exporter(args, mtls, context=certs.context(client="client")) as b:
            ca = certs.path("ca.crt")
            config = os.path.join(work, "prometheus.yml")
            with open(config, "w") as f:
                f.write(f"""global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: password
    scheme: https
    tls_config: {{ca_file: '{ca}'}}
    basic_auth: {{username: alice, password: secret}}
    static_configs: [{{targets: ['127.0.0.1:{a.port}']}}]
  - job_name: client_certificate
    scheme: https
    tls_config: {{ca_file: '{ca}', cert_file: '{certs.path("client.crt")}',
                  key_file: '{certs.path("client.key")}'}}
    static_configs: [{{targets: ['127.0.0.1:{b.port}']}}]
  - job_name: no_password
    scheme: https
    tls_config: {{ca_file: '{ca}'}}
    static_configs: [{{targets: ['127.0.0.1:{a.port}']}}]
""")
            with et.prometheus(args, config, work) as prom_port:
                up = wait_for_up(prom_port, ("password", "client_certificate", "no_password"))
                for job, want in (("password", "1"), ("client_certificate", "1"),
                                  ("no_password", "0")):
                    check(up.get(job) == want, f"up{{job={job!r}}} = {up.get(job)}")
                    print(f"Prometheus over https: up{{job=\"{job}\"}} = {up.get(job)}")
                for job in ("password", "client_certificate"):
                    got = et.query(prom_port, f'winperf_memory_physical_bytes{{job="{job}"}}')
                    check(bool(got), f"{job}: no series arrived")
                    print(f"Prometheus over https: winperf_memory_physical_bytes{{job=\"{job}\"}}"
                          f" = {got[0]['value'][1] if got else None}")
                failed = et.query(prom_port, 'up{job="no_password"} == 0')
                check(bool(failed), "the scrape without a password did not fail")


def wait_for_up(prom_port, jobs, seconds=60):
    """{job: value of up} once every job has been scraped a few times."""
    deadline = time.monotonic() + seconds
    up = {}
    while time.monotonic() < deadline:
        time.sleep(1)
        try:
            up = {r["metric"]["job"]: r["value"][1] for r in et.query(prom_port, "up")}
        except OSError:
            continue
        if all(j in up for j in jobs) and up.get("password") == "1" and \
                up.get("client_certificate") == "1":
            time.sleep(3)
            return {r["metric"]["job"]: r["value"][1] for r in et.query(prom_port, "up")}
    return up


# ---- rotation ----------------------------------------------------------------------------------

def test_rotation(args):
    with certificates(args) as certs:
        certs.copy("server-ec.crt", "served.crt")
        certs.copy("server-ec.key", "served.key")
        users = f"basic_auth_users:\n  alice: {SECRET_HASH}\n"
        flag = certs.web_config(tls_config() + users)
        auth = basic("alice", "secret")
        with et.exporter(args, flag, context=certs.context()) as ex:
            check(https_get(ex.port, certs.context(), headers=auth)[0] == 200, "before rotation")
            # Kept alive across the rotation: a connection keeps the settings it began with.
            kept = http.client.HTTPSConnection("127.0.0.1", ex.port, timeout=10,
                                               context=certs.context())
            kept.request("GET", "/-/healthy", headers=auth)
            kept.getresponse().read()

            certs.copy("server-other.crt", "served.crt")
            certs.copy("server-other.key", "served.key")
            status = https_get(ex.port, certs.context("other-ca.crt"), headers=auth)[0]
            check(status == 200, f"the rotated certificate: {status}")
            gone, how = refused(ex.port, certs.context())
            check(gone, f"the old certificate is still served ({how})")
            kept.request("GET", "/-/healthy", headers=auth)
            check(kept.getresponse().status == 200, "a connection kept across the rotation")
            kept.close()
            print("certificate files replaced: the next connection got the new one, no restart")

            certs.web_config(tls_config() + "basic_auth_users:\n  alice: not-a-hash\n")
            statuses = [https_get(ex.port, certs.context("other-ca.crt"), "/metrics", auth)[0]
                        for _ in range(3)]
            check(statuses == [500] * 3, f"a bad file: {statuses}")
            bad_lines = [l for l in ex.stderr().splitlines() if "web configuration" in l]
            certs.web_config(tls_config() + users)
            status = https_get(ex.port, certs.context("other-ca.crt"), "/metrics", auth)[0]
            check(status == 200, f"the file mended: {status}")
            lines = [l for l in ex.stderr().splitlines() if "web configuration" in l]
            check(len(lines) == 3 and len(bad_lines) == 2 and "not a bcrypt hash" in lines[1],
                  f"one log line per change: {lines}")
            print(f"file made bad: {statuses}, then mended: {status}; the log said:")
            for line in lines:
                print("  " + line)


# ---- startup -----------------------------------------------------------------------------------

def test_startup(args):
    with certificates(args) as certs:
        good_tls = tls_config("server-ec")
        cases = [
            ("invalid YAML", "tls_server_config: [\n", "invalid YAML"),
            ("an unknown key", "tls_server_config:\n  certfile: x\n",
             "tls_server_config.certfile: unknown key"),
            ("an unreadable certificate", tls_config("missing"), "cert_file"),
            ("an unreadable key", "tls_server_config:\n  cert_file: server-ec.crt\n"
                                  "  key_file: missing.key\n", "key_file"),
            ("a key that does not match", "tls_server_config:\n  cert_file: server-ec.crt\n"
                                          "  key_file: wrong.key\n",
             "key: does not match the certificate"),
            ("a bad hash", good_tls + "basic_auth_users:\n  alice: $2b$10$short\n",
             "not a bcrypt hash"),
            ("a CA file without certificates",
             good_tls + "  client_auth_type: RequireAndVerifyClientCert\n"
                        "  client_ca_file: wrong.key\n", "client_ca: no certificate in it"),
            ("an unknown cipher suite", good_tls + "  cipher_suites: [TLS_FOO]\n",
             "unknown cipher suite TLS_FOO"),
            ("an unsupported curve", good_tls + "  curve_preferences: [X25519MLKEM768]\n",
             "X25519MLKEM768 is not supported"),
        ]
        for what, text, reason in cases:
            flag = certs.web_config(text, "bad.yml")
            check_refused_start(args, what, [flag], reason)
        check_refused_start(args, "no such file",
                            [f"--web.config.file={et.winpath(certs.path('none.yml'))}"],
                            "cannot be read")
        # The same through the configuration file's key.
        with open(certs.path("exporter.yml"), "w") as f:
            f.write(f"web.config.file: '{et.winpath(certs.path('bad.yml'))}'\n")
        check_refused_start(args, "web.config.file in --config.file",
                            [f"--config.file={et.winpath(certs.path('exporter.yml'))}"],
                            "X25519MLKEM768 is not supported")


def check_refused_start(args, what, flags, reason):
    r = et.run_program(args, os.path.join(args.bin, "winperf-exporter.exe"),
                    f"--web.listen-address=127.0.0.1:{et.free_port()}", *flags)
    check(r.returncode == 1 and reason in r.stderr and "listening on" not in r.stderr,
          f"{what}: exit {r.returncode}, {r.stderr!r}")
    print(f"{what}: exit {r.returncode}: {r.stderr.strip().splitlines()[-1][:150]}")


# ---- flood -------------------------------------------------------------------------------------

def test_flood(args):
    """200 wrong passwords from 8 clients at once while the right one scrapes."""
    with certificates(args) as certs:
        flag = certs.web_config(tls_config("server-ec") +
                                f"basic_auth_users:\n  alice: {SECRET_HASH}\n")
        with et.exporter(args, flag, "--collector.min-interval=0s",
                         context=certs.context()) as ex:
            ctx = certs.context()
            scraper = http.client.HTTPSConnection("127.0.0.1", ex.port, timeout=10, context=ctx)
            scraper.request("GET", "/metrics", headers=basic("alice", "secret"))
            check(scraper.getresponse().read() != b"", "the first scrape")
            done = threading.Event()
            scrapes = []

            def scrape():
                while not done.is_set():
                    start = time.monotonic()
                    try:
                        scraper.request("GET", "/metrics", headers=basic("alice", "secret"))
                        res = scraper.getresponse()
                        res.read()
                        scrapes.append((res.status, time.monotonic() - start))
                    except (OSError, http.client.HTTPException) as e:
                        scrapes.append((repr(e), time.monotonic() - start))
                        scraper.close()
                    time.sleep(0.25)

            def guess(client):
                answers = []
                for i in range(25):
                    try:
                        answers.append(https_get(ex.port, ctx, "/metrics",
                                                 basic("alice", f"guess-{client}-{i}"))[0])
                    except (OSError, http.client.HTTPException) as e:
                        answers.append(repr(e))
                return answers

            ticks = et.cpu_ticks(ex.proc.pid)
            start = time.monotonic()
            watcher = threading.Thread(target=scrape)
            watcher.start()
            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                answers = [a for result in pool.map(guess, range(8)) for a in result]
            took = time.monotonic() - start
            cores = (et.cpu_ticks(ex.proc.pid) - ticks) / os.sysconf("SC_CLK_TCK") / took
            done.set()
            watcher.join()
            scraper.close()
            check(answers == [401] * 200, f"the guesses: {sorted(set(map(str, answers)))}")
            slow = [s for s in scrapes if s[0] != 200 or s[1] > 2]
            check(len(scrapes) >= 5 and not slow, f"scrapes during the flood: {slow}")
            check(cores < 1.0, f"the flood cost {cores:.2f} cores")
            check(ex.proc.poll() is None, "the exporter ended")
            worst = max(s[1] for s in scrapes) if scrapes else None
            print(f"200 wrong passwords from 8 clients in {took:.1f} s: all 401; the exporter used "
                  f"{cores:.2f} of a core; {len(scrapes)} scrapes with the right password beside "
                  f"them, all 200, the slowest {worst * 1000:.0f} ms")


# ---- tls_cost (make bench) ---------------------------------------------------------------------

def median_ms(fn, n):
    times = []
    for _ in range(n):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return sorted(times)[n // 2]


def test_tls_cost(args):
    with certificates(args) as certs:
        certs.copy("server-ec.crt", "served.crt")
        certs.copy("server-ec.key", "served.key")
        flag = certs.web_config(tls_config() + f"basic_auth_users:\n  alice: {SECRET_HASH}\n")
        # Scrapes served from the last collection: what is measured is HTTP and TLS.
        with et.exporter(args, "--collector.min-interval=1h") as plain, \
                et.exporter(args, flag, "--collector.min-interval=1h",
                            context=certs.context()) as tls:
            ctx = certs.context()
            auth = basic("alice", "secret")
            first = time.perf_counter()
            https_get(tls.port, ctx, "/metrics", auth)
            first_ms = (time.perf_counter() - first) * 1000

            def kept_alive(conn, headers):
                def one():
                    conn.request("GET", "/metrics", headers=headers)
                    conn.getresponse().read()
                return one

            plain_conn = http.client.HTTPConnection("127.0.0.1", plain.port, timeout=10)
            tls_conn = http.client.HTTPSConnection("127.0.0.1", tls.port, timeout=10, context=ctx)
            with contextlib.closing(plain_conn), contextlib.closing(tls_conn):
                plain_ms = median_ms(kept_alive(plain_conn, {}), 50)
                tls_ms = median_ms(kept_alive(tls_conn, auth), 50)
            new_plain = median_ms(lambda: plain.get("/-/healthy"), 30)
            new_tls = median_ms(lambda: https_get(tls.port, ctx, "/-/healthy", auth), 30)
            print(f"a scrape on a kept-alive connection: {plain_ms:.1f} ms plain, "
                  f"{tls_ms:.1f} ms over TLS with a password")
            print(f"a new connection and one request: {new_plain:.1f} ms plain, {new_tls:.1f} ms "
                  f"over TLS (ECDSA P-256): the handshake costs {new_tls - new_plain:.1f} ms")
            print(f"basic auth (bcrypt cost 10): the first scrape {first_ms:.0f} ms, then "
                  f"{tls_ms:.1f} ms with the check remembered")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("group", choices=["tls", "prometheus_tls", "rotation", "startup", "flood",
                                     "tls_cost"])
    p.add_argument("--launcher", default="",
                   help="what runs a Windows program (wine); none on Windows")
    p.add_argument("--bin", required=True)
    p.add_argument("--promtool")
    p.add_argument("--prometheus")
    p.add_argument("--certs", required=True, help="the script that makes the test certificates")
    args = p.parse_args()
    globals()["test_" + args.group](args)
    print(f"web config {args.group}: {len(et.FAILURES)} failed")
    return 1 if et.FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
