#!/usr/bin/env python3
"""tarlek-mon plot in a real browser: the C demo (examples/demo_c.c), built
with SDCC and merged by tarlek, runs freely in the s51 simulator; tarlek-mon
plot serves its page on 127.0.0.1, and headless Chromium, driven through
chromium-driver, opens it. The chart's canvas gets drawn in the lines'
colours, the values table follows the program, pause holds chart and table
still while samples go on coming and resume lets them move again, the window
length sets the time axis, the CSV holds what the program holds, and Ctrl-C
ends tarlek-mon at once with status 0, telling the page so.

--screenshot FILE keeps a screenshot of the page (the README's doc/plot.png
is made so); without it the screenshot goes to the temporary directory and
is only checked for being a PNG.

Every file lives in a private temporary directory; the browser's profile
and home too. Exit status 0 when every check passes, 77 (skipped) when
Chromium, its driver or Python's selenium is missing."""

import argparse
import csv
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.dont_write_bytecode = True  # nothing is written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_support import check, merge_file, read_file, report, run, session, tool_args  # noqa: E402

SKIP = 77
ARGS = None
# Variables of the demo and the line colour the page gives the first.
NAMES = ("ticks", "loops", "marker", "last.count", "last.level", "scaled")
FIRST_COLOUR = (0x1F, 0x77, 0xB4)


def wait_for(what, timeout=30.0, step=0.1):
    """what() until it is true or timeout seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = what()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def build_demo(work):
    """The C demo for page 80h with its debug records (demo_c.cdb), packed
    and merged: its directory."""
    where = os.path.join(work, "demo")
    os.makedirs(where)
    shutil.copy(os.path.join(ARGS.examples, "demo_c.c"), where)
    result = run([ARGS.sdcc, "-mmcs51", "-DTARLEK_PAGE=0x80", "--code-loc", "0x0030",
                  "--code-size", "0x8000", "--iram-size", "128", "--stack-size", "38",
                  "--debug", "-I" + ARGS.hooks, "demo_c.c"], where, combined=True)
    assert result.returncode == 0, result.stdout
    with open(os.path.join(where, "demo_c.hex"), "wb") as out:
        subprocess.run([ARGS.packihx, "demo_c.ihx"], cwd=where, stdout=out,
                       stderr=subprocess.DEVNULL, check=True, timeout=60)
    status, text = merge_file(where, "demo_c.hex", read_file(ARGS.resident, "rb"))
    assert status == 0, text
    return where


def start_browser(work):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    home = os.path.join(work, "home")
    os.makedirs(home)
    options = webdriver.ChromeOptions()
    options.binary_location = ARGS.chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-first-run", "--window-size=1280,760",
                 "--user-data-dir=" + os.path.join(work, "profile")):
        options.add_argument(flag)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home)
    service = Service(ARGS.chromedriver, env=env, log_path=os.path.join(work, "driver.log"))
    return webdriver.Chrome(service=service, options=options)


def table(driver):
    """The values table: name -> value text."""
    return driver.execute_script(
        "const t = {}; for (const r of document.querySelectorAll('#values tbody tr'))"
        " t[r.dataset.name] = r.querySelector('td.value').textContent; return t;")


def received(driver):
    found = re.match(r"(\d+) samples", driver.find_element("id", "status").text)
    return int(found.group(1)) if found else 0


def canvas_pixels(driver):
    """Of the chart's canvas: (pixels drawn at all, pixels in the first
    line's colour)."""
    return driver.execute_script("""
        const c = document.getElementById('chart');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let drawn = 0, line = 0;
        for (let i = 0; i < d.length; i += 4) {
          if (d[i + 3] === 0) continue;
          drawn++;
          if (Math.abs(d[i] - arguments[0]) < 24 && Math.abs(d[i + 1] - arguments[1]) < 24 &&
              Math.abs(d[i + 2] - arguments[2]) < 24) line++;
        }
        return [drawn, line];""", *FIRST_COLOUR)


def canvas_image(driver):
    return driver.execute_script("return document.getElementById('chart').toDataURL();")


def test_page(driver, url):
    driver.get(url)
    check(wait_for(lambda: sorted(table(driver)) == sorted(NAMES)),
          "the table has a row per variable: %s" % table(driver))
    check(wait_for(lambda: all(table(driver).values())),
          "every row shows a value: %s" % table(driver))
    first = table(driver)
    moved = wait_for(lambda: table(driver)["ticks"] != first["ticks"])
    check(moved and table(driver)["marker"] == "90",
          "the table follows the program: ticks %s then %s, marker %s (5Ah)" %
          (first["ticks"], table(driver)["ticks"], table(driver)["marker"]))
    drawn, line = wait_for(lambda: canvas_pixels(driver)[1] > 50 and canvas_pixels(driver))
    check(drawn > 1000 and line > 50,
          "the chart's canvas is drawn: %d pixels, %d in the first line's colour" % (drawn, line))

    driver.find_element("id", "pause").click()
    check(driver.find_element("id", "pause").text == "Resume", "the pause button turns to Resume")
    # Let what was in flight at the click land before the still picture.
    time.sleep(0.3)
    held_table, held_image, count = table(driver), canvas_image(driver), received(driver)
    check(wait_for(lambda: received(driver) >= count + 10),
          "samples keep coming while paused: %d, then %d" % (count, received(driver)))
    check(table(driver) == held_table and canvas_image(driver) == held_image,
          "paused, the table and the chart stand still: %s" % table(driver))
    driver.find_element("id", "pause").click()
    check(wait_for(lambda: table(driver)["ticks"] != held_table["ticks"] and
                   canvas_image(driver) != held_image),
          "resumed, they move again: ticks %s then %s" %
          (held_table["ticks"], table(driver)["ticks"]))

    from selenium.webdriver.support.ui import Select
    Select(driver.find_element("id", "window")).select_by_value("10")
    span = wait_for(lambda: driver.execute_script(
        "const x = Chart.getChart('chart').scales.x; return x.max - x.min === 10 && x.max;"))
    check(bool(span), "a 10 s window sets the time axis to 10 s, up to %s s" % span)


def test_csv(url):
    with urllib.request.urlopen(url + "data.csv", timeout=10) as answer:
        disposition = answer.headers.get("Content-Disposition", "")
        rows = list(csv.reader(io.StringIO(answer.read().decode())))
    check(rows[0] == ["time"] + list(NAMES), "the CSV's header: %s" % rows[0])
    times = [float(row[0]) for row in rows[1:]]
    ticks = [int(row[1]) for row in rows[1:]]
    check(len(rows) > 20 and times == sorted(times) and len(set(ticks)) > 10 and
          all(row[3] == "90" for row in rows[1:]),
          "the CSV holds %d samples over %.1f s, times rising, ticks moving, marker 90" %
          (len(rows) - 1, times[-1] - times[0] if times else 0))
    check("attachment" in disposition, "the CSV comes as a download: %s" % disposition)


def test_foreign_host(url):
    """A page of another site, reached through a name that points at
    127.0.0.1, is refused."""
    request = urllib.request.Request(url + "data.csv", headers={"Host": "example.com"})
    try:
        urllib.request.urlopen(request, timeout=10)
        status = 200
    except urllib.error.HTTPError as error:
        status = error.code
    check(status == 403, "a request for another host name is refused: %d" % status)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--screenshot")
    ARGS = tool_args(parser, ("tarlek", "mon", "resident", "hooks", "examples", "sdcc", "packihx",
                              "s51"), ("chromium", "chromedriver"))
    ARGS.chromium = ARGS.chromium or shutil.which("chromium")
    ARGS.chromedriver = ARGS.chromedriver or shutil.which("chromedriver")
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("skip: Python's selenium (python3-selenium) is missing")
        return SKIP
    if not ARGS.chromium or not ARGS.chromedriver:
        print("skip: chromium or chromium-driver is missing")
        return SKIP

    work = tempfile.mkdtemp(prefix="tarlek-plot-")
    driver = None
    plot = None
    try:
        where = build_demo(work)
        with session(where, "demo_c.hex") as sim:
            plot = subprocess.Popen(
                [ARGS.mon, "--port", "fifo:%s,%s" % (sim.rx, sim.tx), "--slack", "5",
                 "-m", "demo_c.cdb", "plot"] + list(NAMES),
                cwd=where, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True, errors="replace")
            line = plot.stdout.readline()
            found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            if not check(found is not None, "tarlek-mon plot serves on 127.0.0.1: %r" % line):
                return report()
            url = found.group(0)
            driver = start_browser(work)
            test_page(driver, url)
            test_csv(url)
            test_foreign_host(url)

            shot = ARGS.screenshot or os.path.join(work, "plot.png")
            driver.save_screenshot(shot)
            check(read_file(shot, "rb").startswith(b"\x89PNG\r\n\x1a\n"),
                  "a screenshot of the page: %s" % shot)

            # Ctrl-C with the page's stream open.
            plot.send_signal(signal.SIGINT)
            try:
                status = plot.wait(timeout=15)
            except subprocess.TimeoutExpired:
                status = None
            err = plot.stderr.read()
            check(status == 0 and "plot: ended after" in err,
                  "Ctrl-C ends tarlek-mon plot with status 0: %s, %r" % (status, err.strip()))
            check(wait_for(lambda: "ended" in driver.find_element("id", "status").text, 10),
                  "the page says the plot ended: %r" % driver.find_element("id", "status").text)
    finally:
        if driver is not None:
            driver.quit()
        if plot is not None and plot.poll() is None:
            plot.kill()
            plot.wait()
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == "__main__":
    sys.exit(main())
