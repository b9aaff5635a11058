#!/usr/bin/env python3
"""The exporter's status page in a real browser (headless Chromium through its driver): it renders
without a console error and without a script, shows every core, volume and interface that a scrape
of the same exporter has, keeps a volume and an interface named with <, & and non-ASCII characters
as text, fits a 360 px and a 1280 px wide window without scrolling sideways, and leaves a
screenshot of each for a person to look at.

The exporter runs beside a library that forwards to the real one and renames the first volume and
interface (no real system names them so on demand).

Usage: status_page_test.py --launcher WINE --bin BIN_DIR --flaky FLAKY_DLL_DIR --out DIR
       [--chromedriver PATH]
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

import exporter_test as et

VOLUME_NAME = "<b>&\u00fc"
INTERFACE_NAME = "<script>alert(1)</script> & Z\u00fcrich"
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def label_values(text, family, label):
    """The values of label in family's samples, unescaped."""
    out = set()
    for line in text.splitlines():
        if line.startswith(family + "{"):
            for name, value in LABEL.findall(line):
                if name == label:
                    out.add(value.replace('\\"', '"').replace("\\n", "\n").replace("\\\\", "\\"))
    return out


def exporter_beside_renaming_library(args, work):
    exe = et.beside_flaky_library(args, work)
    # As the system reports names: in its ANSI code page (Wine's is 1252 in the tests' locale).
    with open(os.path.join(work, "names.txt"), "w", encoding="cp1252") as f:
        f.write(VOLUME_NAME + "\n" + INTERFACE_NAME + "\n")
    return exe


def browser(chromedriver):
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,900", "--lang=en"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(chromedriver), options=options)


def show_at(driver, width, url, screenshot):
    """The page laid out at width CSS pixels (device emulation: headless windows are at least
    500 px wide), whole, into screenshot. Returns how far it scrolls sideways."""
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": 800, "deviceScaleFactor": 1,
                            "mobile": width < 500})
    driver.get(url)
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1,
                            "mobile": width < 500})
    driver.save_screenshot(screenshot)
    return driver.execute_script(
        "return document.documentElement.scrollWidth - document.documentElement.clientWidth")


def texts(driver, selector):
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, selector)]


def check_page(driver, scrape, url, out):
    cores = label_values(scrape, "winperf_cpu_core_usage_ratio", "core")
    volumes = label_values(scrape, "winperf_logical_disk_free_bytes", "volume")
    interfaces = label_values(scrape, "winperf_network_up", "interface")
    # However the code page decodes them, the markup characters stay and one is not ASCII.
    renamed = [n for n in volumes | interfaces
               if ("<b>&" in n or "<script>alert(1)</script> & Z" in n) and not n.isascii()]
    et.check(len(renamed) == 2, f"the renamed volume and interface are not in the scrape: "
             f"{volumes} {interfaces}")
    for width in (1280, 360):
        shot = os.path.join(out, f"status-page-{width}.png")
        sideways = show_at(driver, width, url, shot)
        et.check(sideways <= 0, f"at {width} px the page scrolls {sideways} px sideways")
        et.check(os.path.getsize(shot) > 0, f"no screenshot at {width} px")
        print(f"{width} px: screenshot {shot} ({os.path.getsize(shot)} bytes), "
              f"sideways scroll {sideways} px")
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        et.check(not errors, f"console errors at {width} px: {errors}")

    shown_cores = {t.split()[1] for t in texts(driver, ".meter.core .label")}
    shown_volumes = set(texts(driver, ".volume .label"))
    shown_interfaces = set(texts(driver, "tr.interface td.name"))
    et.check(shown_cores == cores, f"cores shown {sorted(shown_cores)}, scraped {sorted(cores)}")
    et.check(shown_volumes == volumes, f"volumes shown {shown_volumes}, scraped {volumes}")
    et.check(shown_interfaces == interfaces,
             f"interfaces shown {shown_interfaces}, scraped {interfaces}")
    et.check(not driver.find_elements(By.TAG_NAME, "script"), "the page has a script element")
    et.check(not driver.find_elements(By.TAG_NAME, "b"), "a name became markup")
    heading = driver.find_element(By.TAG_NAME, "h1").text
    et.check(bool(heading), "no host name")
    links = {e.get_attribute("pathname") for e in driver.find_elements(By.CSS_SELECTOR, "footer a")}
    et.check(links == {"/metrics", "/snapshot", "/-/healthy"}, f"links: {links}")
    print(f"host {heading!r}: {len(shown_cores)} cores, volumes {sorted(shown_volumes)}, "
          f"interfaces {sorted(shown_interfaces)}, as the scrape has them; no script, no console "
          f"error")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--launcher", default="")
    p.add_argument("--bin", required=True)
    p.add_argument("--flaky", required=True)
    p.add_argument("--out", required=True, help="where the screenshots go")
    p.add_argument("--chromedriver", default=shutil.which("chromedriver") or "chromedriver")
    args = p.parse_args()
    args.promtool = None
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        exe = exporter_beside_renaming_library(args, work)
        with et.exporter(args, exe=exe) as ex:
            scrape = ex.metrics()
            driver = browser(args.chromedriver)
            try:
                check_page(driver, scrape, f"http://127.0.0.1:{ex.port}/", args.out)
            finally:
                driver.quit()
    print(f"status page: {len(et.FAILURES)} failed")
    return 1 if et.FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
