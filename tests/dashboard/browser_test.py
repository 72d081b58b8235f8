#!/usr/bin/env python3
"""The dashboard's page in a real headless Chromium, driven through chromedriver.

Starts `modemflash serve` on an empty private device tree, opens the page, then plugs in four
simulated modems (modemsim --modems 4): every tile must appear, show a phase of its update and
end "updated", all without a reload of the page. Saves screenshots at 1280x800 and at a
phone's size under --artifacts.

Exit status: 0 passed, 1 failed, 77 not run (no browser here; the reason is printed).
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


def not_run(reason):
    print("browser test: not run: " + reason)
    note = os.environ.get("MODEMFLASH_NOT_RUN_FILE")
    if note:
        with open(note, "a") as f:
            f.write("dashboard browser test: not run: %s\n" % reason)
    sys.exit(SKIP)


def wait_for(what, check, timeout):
    end = time.time() + timeout
    while time.time() < end:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


# Records every change of every tile's state and phase, as the page draws them.
RECORDER = """
window.mfSeen = {};
window.mfNoReload = true;
function note(tile) {
  var l = tile.dataset.location, s = tile.dataset.state + ':' + tile.dataset.phase;
  var seen = window.mfSeen[l] = window.mfSeen[l] || [];
  if (seen[seen.length - 1] !== s) seen.push(s);
}
new MutationObserver(function (changes) {
  changes.forEach(function (c) {
    var t = c.target.closest ? c.target.closest('.tile') : null;
    if (t) note(t);
    (c.addedNodes || []).forEach(function (n) { if (n.classList && n.classList.contains('tile')) note(n); });
  });
}).observe(document.getElementById('tiles'), {subtree: true, childList: true, attributes: true,
                                             attributeFilter: ['data-state', 'data-phase']});
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--scale", default="25")
    args = ap.parse_args()

    chromium = shutil.which("chromium") or "/usr/bin/chromium"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.access(chromium, os.X_OK) or not os.access(driver_path, os.X_OK):
        not_run("chromium or chromedriver is missing (bash scripts/install-deps.sh linux)")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        not_run("python3-selenium is missing (bash scripts/install-deps.sh linux)")

    root = tempfile.mkdtemp(prefix="mfbrowser.")
    serve = sim = browser = None
    env = dict(os.environ, MODEMFLASH_DEV_ROOT=root + "/dev", MODEMFLASH_SYSFS_ROOT=root + "/sys",
               XDG_STATE_HOME=root + "/state", MODEMFLASH_TIME_SCALE="1")
    env.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
    try:
        os.makedirs(root + "/dev")
        os.makedirs(root + "/sys")
        subprocess.run([args.cli, "sample", root + "/fw", "--small"], check=True,
                       stdout=subprocess.DEVNULL, env=env)
        out = open(root + "/serve.out", "w")
        serve = subprocess.Popen([args.cli, "serve", root + "/fw", "--listen", "127.0.0.1:0",
                                  "--time-scale", args.scale, "--history", root + "/h.sqlite3"],
                                 stdout=out, stderr=subprocess.STDOUT, env=env)

        def dashboard_url():
            for line in open(root + "/serve.out"):
                if line.startswith("dashboard: http://"):
                    return line.split(" ", 1)[1].strip()
            if serve.poll() is not None:
                raise AssertionError("serve ended: " + open(root + "/serve.out").read())
            return None

        url = wait_for("the dashboard's address", dashboard_url, 30)

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--window-size=1280,800",
                     "--user-data-dir=" + root + "/chrome"]:
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service(driver_path, log_output=subprocess.DEVNULL)
                                   if "log_output" in Service.__init__.__code__.co_varnames
                                   else Service(driver_path), options=options)
        browser.set_window_size(1280, 800)
        browser.get(url)
        wait_for("the page's event stream", lambda: browser.find_element(By.ID, "conn").text == "live",
                 30)
        browser.execute_script(RECORDER)

        sim = subprocess.Popen([args.sim, "--modems", "4", "--time-scale", args.scale,
                                "--republish-delay-ms", "100", "--ready-file", root + "/ready"],
                               stdout=subprocess.DEVNULL, stderr=open(root + "/sim.err", "w"), env=env)

        def updated_tiles():
            tiles = browser.find_elements(By.CSS_SELECTOR, ".tile")
            done = [t for t in tiles if t.get_attribute("data-state") == "updated"]
            return len(tiles) == 4 and len(done) == 4 and tiles
        tiles = wait_for("four updated tiles", updated_tiles, 120)

        assert browser.execute_script("return window.mfNoReload === true"), "the page was reloaded"
        seen = browser.execute_script("return window.mfSeen")
        locations = [t.get_attribute("data-location") for t in tiles]
        assert locations == ["1-1.1", "1-1.2", "1-1.3", "1-1.4"], locations
        for loc in locations:
            states = seen.get(loc, [])
            phases = [s for s in states if s.startswith("running:") and s != "running:finished"]
            assert phases, "%s was never seen in a phase: %s" % (loc, states)
            assert states[-1].startswith("updated:"), "%s: %s" % (loc, states)
            assert states.index(phases[0]) < len(states) - 1, "%s: %s" % (loc, states)
        for t in tiles:
            text = t.text
            assert "UPDATED" in text and "updated in" in text, text
            assert "file 7 of 7" in text and "serial SIM000" in text, text
        wait_for("the counters", lambda: browser.find_element(By.ID, "c-updated").text == "4", 30)
        wait_for("four recorded updates",
                 lambda: len(browser.find_elements(By.CSS_SELECTOR, "#history tr")) == 4, 30)

        os.makedirs(args.artifacts, exist_ok=True)
        shot = os.path.join(args.artifacts, "dashboard.png")
        browser.save_screenshot(shot)
        # A phone's screen: one column, nothing wider than the screen.
        browser.set_window_size(390, 844)
        time.sleep(0.3)
        width = browser.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
        assert width[0] <= width[1], "wider than a phone's screen: %s" % width
        browser.save_screenshot(os.path.join(args.artifacts, "dashboard-phone.png"))
        print("browser test: passed; the tiles went through %s; screenshots in %s" %
              (json.dumps(seen), args.artifacts))
        return 0
    except AssertionError as e:
        print("browser test: FAILED: %s" % e)
        if os.path.exists(root + "/serve.out"):
            print("--- serve output\n" + open(root + "/serve.out").read()[-3000:])
        return 1
    finally:
        if browser is not None:
            browser.quit()
        for p in (serve, sim):
            if p is not None and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
