#!/usr/bin/env python3
"""Drives headless Chromium through the web view of `TWServer serve --http`.

A real server on a fresh repository, filled over the Veltrane port by
servers_web_seed_helper; the browser logs on, opens the tree, a Production,
a Document's history and the locks page, and downloads a version, which
must hold the checked-in bytes, and looks at the pages at a phone's width. A screenshot of each page goes to
SCREENSHOT_DIR/web-*.png.

Usage: web_browser_test.py BIN_DIR SCREENSHOT_DIR
Exit status 0 on success, 1 on a failure, 77 (a skip) only where Chromium
cannot start.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


def fail(message):
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for_line(path, prefix, process, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                for line in f:
                    if line.startswith(prefix):
                        return line[len(prefix):].strip()
        if process.poll() is not None:
            break
        time.sleep(0.05)
    fail("the server printed no line starting with %r" % prefix)


def start_browser(download_dir, profile_dir):
    """The driver, or None with the reason when Chromium cannot start."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        return None, "python3-selenium is not installed (%s)" % e
    chromium = shutil.which("chromium") or "/usr/bin/chromium"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(chromium) or not os.path.exists(driver_path):
        return None, "chromium or chromedriver is not installed"
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1000,800",
                     "--user-data-dir=" + profile_dir):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {
        "download.default_directory": download_dir,
        "download.prompt_for_download": False,
    })
    try:
        driver = webdriver.Chrome(service=Service(driver_path), options=options)
    except Exception as e:  # any failure to start the browser
        return None, "Chromium cannot start here: %s" % str(e).splitlines()[0]
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": download_dir})
    driver.set_page_load_timeout(60)
    return driver, None


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="twweb-")
    server = None
    driver = None
    try:
        tw = os.path.join(bin_dir, "TWServer")
        repo = os.path.join(work, "repo")
        subprocess.run([tw, "init", "--data", repo], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([tw, "user", "add", "--data", repo, "alice"], input=b"secret\n",
                       check=True, stdout=subprocess.DEVNULL)
        out_path = os.path.join(work, "serve.out")
        with open(out_path, "w") as out, open(os.path.join(work, "serve.log"), "w") as log:
            server = subprocess.Popen([tw, "serve", "--data", repo, "--port", "0",
                                       "--http", "0"], stdout=out, stderr=log)
        port = wait_for_line(out_path, "listening on ", server).rsplit(":", 1)[1]
        url = wait_for_line(out_path, "web view on ", server)

        content = bytes((i * 31 + i // 256) & 0xFF for i in range(200000))
        first = os.path.join(work, "first.png")
        with open(first, "wb") as f:
            f.write(content)
        subprocess.run([os.path.join(bin_dir, "servers_web_seed_helper"), port, "alice",
                        "secret", first], check=True)

        downloads = os.path.join(work, "downloads")
        os.makedirs(downloads)
        driver, problem = start_browser(downloads, os.path.join(work, "profile"))
        if driver is None:
            print("SKIPPED: " + problem)
            return SKIP
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support import expected_conditions
        from selenium.webdriver.support.ui import WebDriverWait

        def shot(name):
            driver.save_screenshot(os.path.join(shots, "web-%s.png" % name))

        def follow(element):
            # A click returns before the next page has loaded when the server
            # takes its time (a logon after a wrong password is slowed on
            # purpose): wait until the page it came from is gone.
            page = driver.find_element(By.TAG_NAME, "html")
            element.click()
            WebDriverWait(driver, 60).until(expected_conditions.staleness_of(page))

        driver.get(url + "tree/")
        if "/logon" not in driver.current_url:
            fail("no logon page first: " + driver.current_url)
        shot("logon")
        driver.find_element(By.ID, "user").send_keys("alice")
        driver.find_element(By.ID, "password").send_keys("wrong")
        follow(driver.find_element(By.ID, "logon"))
        if "Wrong user name or password." not in driver.page_source:
            fail("a wrong password was not refused")
        driver.find_element(By.ID, "user").clear()
        driver.find_element(By.ID, "user").send_keys("alice")
        driver.find_element(By.ID, "password").send_keys("secret")
        follow(driver.find_element(By.ID, "logon"))
        if not driver.current_url.endswith("/tree/"):
            fail("the logon did not lead to the tree: " + driver.current_url)
        shot("tree")

        follow(driver.find_element(By.LINK_TEXT, "Art"))
        rows = driver.find_element(By.ID, "documents").text
        for expected in ("hero sketch.png", "notes & ideas.txt", "alice (exclusive)"):
            if expected not in rows:
                fail("the Production's table lacks %r: %s" % (expected, rows))
        shot("production")

        follow(driver.find_element(By.LINK_TEXT, "hero sketch.png"))
        history = driver.find_element(By.ID, "history").text
        for expected in ("First sketch of the hero", 'Colours <fixed> & "shaded"'):
            if expected not in history:
                fail("the history lacks %r: %s" % (expected, history))
        # The script shows dates in the viewer's zone: no UTC text is left.
        if "UTC" in history:
            fail("the dates were not shown in the local time zone: " + history)
        shot("history")

        driver.find_element(By.CSS_SELECTOR, "a[href$='?v=1']").click()
        target = os.path.join(downloads, "hero sketch.png")
        deadline = time.monotonic() + 60
        while not os.path.exists(target) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not os.path.exists(target):
            fail("the download did not arrive: %s" % os.listdir(downloads))
        with open(target, "rb") as f:
            if f.read() != content:
                fail("the downloaded version differs from the checked-in file")
        shot("download")

        follow(driver.find_element(By.LINK_TEXT, "Locks"))
        if "hero sketch.png" not in driver.find_element(By.ID, "all-locks").text:
            fail("the locks page lacks the held lock")
        shot("locks")

        # Readable on a phone: at a phone's width the pages need no
        # sideways scrolling (wide tables scroll inside their own box).
        driver.set_window_size(390, 844)
        for page in ("tree/Art/", "doc/Art/hero%20sketch.png", "locks"):
            driver.get(url + page)
            wide = driver.execute_script(
                "return [document.documentElement.scrollWidth,"
                " document.documentElement.clientWidth];")
            if wide[0] > wide[1]:
                fail("%s is wider than a phone's screen: %s" % (page, wide))
        shot("phone")

        follow(driver.find_element(By.ID, "logout"))
        driver.get(url + "tree/")
        if "/logon" not in driver.current_url:
            fail("a page was shown after the logout")
        print("web view driven through logon, tree, history, download and locks")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        if server is not None:
            server.send_signal(signal.SIGTERM)
            try:
                status = server.wait(60)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
                status = "hung"
            if status != 0:
                print("the server ended with %s" % status, file=sys.stderr)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
