#!/usr/bin/env python3
"""bio-stream's page and bio-tune's report in headless Chromium, as a user meets them.

bio-host runs the demo scenario (touches of 30, 3 and 1 frames) streaming raw frames to
`bio-stream --http`; the page must show the latest frame, plot every score, and mark the touches
the detector's rules give at the var_min, img_num and min_img_num typed or dragged. A second run
loses its browser half-way: bio-stream's counts and files must not notice. A page opened after the
stream stopped must say so and draw the histogram of what it missed. bio-tune over the
recording must suggest a var_min between the glass and finger scores, and its report must open
without console errors. A last run stops bio-stream for two seconds: the page must count the frames lost
as its summary does and draw them as breaks. Exit 77 (skipped) only when Chromium, its driver or selenium is absent.
"""
import argparse, atexit, csv, os, re, shutil, signal, subprocess, sys, tempfile, time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions import interaction
    from selenium.webdriver.common.actions.action_builder import ActionBuilder
    from selenium.webdriver.common.actions.pointer_input import PointerInput
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIP: python3-selenium is not installed (scripts/setup-deps)")
    sys.exit(77)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("SKIP: chromium or chromium-driver is not installed (scripts/setup-deps)")
    sys.exit(77)

args = argparse.ArgumentParser()
for name in ("--source-dir", "--out", "--bio-host", "--bio-stream", "--bio-tune"):
    args.add_argument(name, required=True)
opt = args.parse_args()
shutil.rmtree(opt.out, ignore_errors=True)
os.makedirs(opt.out)
out = lambda name: os.path.join(opt.out, name)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def start_stream(*extra):
    log = open(out("bio-stream.log"), "w")
    proc = subprocess.Popen([opt.bio_stream, "--bind", "127.0.0.1", "--port", "0", "--http", "0", "--quiet", "--bsize", "16", "--step", "4",
                             "--csv", out("scores.csv"), "--record", out("demo.biorec"), *extra],
                            stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        text = open(out("bio-stream.log")).read()
        udp = re.search(r"^bio-stream: listening on 127\.0\.0\.1:(\d+)$", text, re.M)
        page = re.search(r"^bio-stream: page on (http://127\.0\.0\.1:\d+/)$", text, re.M)
        if udp and page:
            return proc, int(udp.group(1)), page.group(1)
        time.sleep(0.05)
    raise AssertionError("bio-stream did not start: " + open(out("bio-stream.log")).read())


def run_host(port, background=False):
    command = [opt.bio_host, "--config", os.path.join(opt.source_dir, "config/desktop.ini"),
               "--simulate", os.path.join(opt.source_dir, "config/scenarios/demo.txt"), "--seconds", "60",
               "--set", "net_debug_ip=127.0.0.1", "--set", f"net_debug_port={port}", "--set", "net_debug_raw=1"]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.stdin.write("wait frames 110\nquit\n")
    proc.stdin.close()
    return proc if background else host_frames(proc)


def host_frames(proc):
    text = proc.stdout.read()
    check(proc.wait(timeout=90) == 0, "bio-host failed: " + text)
    return int(re.search(r"frames seen (\d+)", text).group(1))


def tabled(at_least):
    """bio-stream's table once it holds at least the frames bio-host saw and has stopped growing (the
    module streams every frame it captures, which may be one more than bio-host counted)."""
    deadline = time.monotonic() + 30
    rows, settled = [], 0
    while time.monotonic() < deadline:
        with open(out("scores.csv")) as table:
            now = list(csv.DictReader(table))
        settled = settled + 1 if len(now) == len(rows) else 0
        rows = now
        if len(rows) >= at_least and settled >= 5:
            return rows
        time.sleep(0.1)
    raise AssertionError(f"bio-stream tabled {len(rows)} frames, bio-host saw {at_least}")


# Chromium's profiles, removed when the test ends however it ends.
PROFILES = tempfile.mkdtemp(prefix="bio-chromium-")
atexit.register(shutil.rmtree, PROFILES, ignore_errors=True)


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,800", "--user-data-dir=" + tempfile.mkdtemp(dir=PROFILES)):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)


def console_errors(driver):
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def touches_at(driver, var_min, img_num, min_img_num):
    """Types the values in and waits for the marks computed for them: (published, early, dropped)."""
    for field, value in (("var-min", var_min), ("img-num", img_num), ("min-img-num", min_img_num)):
        box = driver.find_element(By.ID, field)
        box.clear()
        box.send_keys(str(value))
    return marks_for(driver, f"{var_min}/{img_num}/{min_img_num}")


def marks_for(driver, rules):
    """Waits until the page shows the touches for `rules`; the counts under the plot, which must
    agree with the marks on it, read together (a later answer may replace them any time)."""
    snapshot = """const s = document.getElementById("touch-summary");
        const count = (k) => Number(document.getElementById("touches-" + k).textContent);
        return [s.dataset.rules, ["published", "early", "dropped"].map(count),
                bioView.timeline.plot.data.slice(2, 5).map(m => m.filter(v => v !== null).length)];"""
    shown = WebDriverWait(driver, 10).until(lambda d: (lambda r: r if r[0] == rules else None)(
        d.execute_script(snapshot)))
    check(shown[1] == shown[2], f"marks {shown[2]} differ from the counts {shown[1]} at {rules}")
    return tuple(shown[1])


stream, udp_port, page_url = start_stream()
driver = None
try:
    driver = browser()
    driver.get(page_url + "?var_min=300&img_num=5&min_img_num=2")
    WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "connection").text == "live")
    rows = tabled(run_host(udp_port))
    sent = len(rows)
    last = rows[-1]["frame"]
    WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "frame").get_attribute("data-number") == last)
    caption = driver.find_element(By.ID, "frame-caption").text
    check(re.fullmatch(rf"frame {last}, score {rows[-1]['score']}, quality 0", caption), f"latest caption: {caption}")
    # The frame scaled to fit beside the plot, both in sight at 1280 x 800; a click shows it at 1:1.
    sight = """return ['frame', 'timeline'].map(id => document.getElementById(id).getBoundingClientRect())
        .every(r => r.right <= innerWidth && r.bottom <= innerHeight)"""
    check(driver.execute_script(sight), "frame and plot in sight together")
    size = "const c = document.getElementById('frame'); return [c.width, c.clientWidth]"
    check(driver.execute_script(size)[1] < 640, "raw frame scaled to fit")
    driver.find_element(By.ID, "frame").click()
    check(driver.execute_script(size) == [640, 640], f"raw frame at 1:1: {driver.execute_script(size)}")
    driver.find_element(By.ID, "frame").click()
    check(driver.find_element(By.ID, "count-frames").text == str(sent), "frames counter")
    plotted = driver.execute_script("return bioView.timeline.plot.data[1]")
    check(plotted == [int(r["score"]) for r in rows], "the plot holds every score of the scenario")
    truth = driver.execute_script("return bioView.timeline.truth")
    check(truth.count(2) == 34 and truth.count(1) == len(rows) - 34, f"truth marks: the demo's 34 finger frames")

    # The demo's touches of 30, 3 and 1 frames (glass scores 1, finger about 7160).
    check(marks_for(driver, "300/5/2") == (1, 1, 1), "300/5/2: published, early, dropped")
    # A click on the published mark shows the best of the touch's first 5 frames (the first of them).
    scores = [int(r["score"]) for r in rows]
    first = next(i for i in range(len(scores)) if all(s >= 300 for s in scores[i:i + 30]))
    best = max(range(first, first + 5), key=lambda i: (scores[i], -i))
    over = driver.find_element(By.CSS_SELECTOR, "#timeline .u-over")
    x, y = driver.execute_script("""const p = bioView.timeline.plot, i = p.data[2].findIndex(v => v !== null);
        return [p.valToPos(p.data[0][i], 'x'), p.valToPos(p.data[2][i], 'y')]""")
    ActionChains(driver).move_to_element_with_offset(over, int(x - over.size["width"] / 2),
                                                     int(y - over.size["height"] / 2)).click().perform()
    WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "frame").get_attribute("data-number")
                                    == rows[best]["frame"])
    caption = driver.find_element(By.ID, "frame-caption").text
    quality = re.search(r"the best of a touch \(published\), quality (\d+)$", caption)
    check(quality and int(quality.group(1)) >= 30, f"picked caption: {caption}")  # a finger's ridges, not glass
    keys = driver.find_element(By.ID, "suggestion-keys").text.split("\n")
    check(keys[:2] == ["bsize=16", "step=4"] and keys[2].startswith("var_min="), f"keys to copy: {keys}")
    page_var_min = int(keys[2].split("=")[1])
    # Frames the counts say were lost are breaks in the line.
    missing = int(driver.find_element(By.ID, "count-missing").text)
    breaks = driver.execute_script("return bioView.timeline.plot.data[1].filter(v => v === null).length")
    check((breaks > 0) == (missing > 0), f"{missing} frames missing, {breaks} breaks in the line")
    check(touches_at(driver, 8000, 5, 2) == (0, 0, 0), "above every finger score: no touch")
    check(touches_at(driver, 1, 5, 2) == (1, 0, 0), "at the glass score: one touch that never ends")
    check(touches_at(driver, 300, 2, 1) == (2, 1, 0), "img_num 2: the 3-frame touch in time, the tap early")
    check(touches_at(driver, 300, 5, 2) == (1, 1, 1), "back to 300/5/2")
    # Drag the dashed line with a finger from 300 to the top of the plot: above the finger scores.
    y = driver.execute_script("return bioView.timeline.plot.valToPos(300, 'y')")
    finger = ActionBuilder(driver, mouse=PointerInput(interaction.POINTER_TOUCH, "finger"))
    finger.pointer_action.move_to(over, 0, int(y - over.size["height"] / 2)).pointer_down() \
        .move_by(0, int(2 - y)).pointer_up()
    finger.perform()
    dragged = int(driver.find_element(By.ID, "var-min").get_attribute("value"))
    check(dragged > 7200, f"dragged var_min {dragged}")
    check(marks_for(driver, f"{dragged}/5/2") == (0, 0, 0), "dragged above the finger: no touch")
    touches_at(driver, 300, 5, 2)
    driver.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
    driver.set_window_size(1280, 1250)  # the histogram too, for docs/tuning.md
    driver.save_screenshot(out("view.png"))
    driver.find_element(By.ID, "frame-latest").click()
    check(console_errors(driver) == [], f"console errors on the page: {console_errors(driver)}")

    # A second pass whose browser goes away while frames flow.
    host = run_host(udp_port, background=True)
    WebDriverWait(driver, 20).until(lambda d: int(d.find_element(By.ID, "count-frames").text) > sent)
    driver.quit()
    driver = None
    sent = len(tabled(sent + host_frames(host)))
    # A page opened once the stream has stopped: the state, and the histogram of every score.
    driver = browser()
    driver.get(page_url)
    WebDriverWait(driver, 15).until(lambda d: d.find_element(By.ID, "stream-state").text.startswith(
        "stream stopped: last frame at "))
    binned = "return bioView.histogram.plot.data[1].reduce((a, v) => a + (v ?? 0), 0)"
    WebDriverWait(driver, 10).until(lambda d: d.execute_script(binned) == sent)
    driver.save_screenshot(out("view-stopped.png"))
finally:
    if driver:
        driver.quit()
    stream.send_signal(signal.SIGINT)
    stream.wait(timeout=30)

summary = open(out("bio-stream.log")).read().splitlines()[-1]
check(re.match(rf"bio-stream: {sent} frames, 0 cut short, \d+ bytes, truth for {sent} frames$", summary),
      f"summary: {summary}")
check(os.path.getsize(out("demo.biorec")) == 16 + sent * (36 + 614400), "every frame recorded")

tune = subprocess.run([opt.bio_tune, out("demo.biorec"), "-o", out("report.html")],
                      capture_output=True, text=True, timeout=120)
print(tune.stdout, end="")
check(tune.returncode == 0, "bio-tune failed: " + tune.stderr)
# The recording carries the sensor's truth: the clusters are by truth, and only img_num 3, min_img_num 1
# of the replays tried detects all three touches (the 3-frame one in time, the tap early).
glass = int(re.search(r"empty glass by truth: scores -?\d+ to (-?\d+)", tune.stdout).group(1))
finger = int(re.search(r"finger by truth: +scores (-?\d+) to", tune.stdout).group(1))
var_min = int(re.search(r"suggested var_min (-?\d+)", tune.stdout).group(1))
check(glass < var_min < finger, f"var_min {var_min} between glass {glass} and finger {finger}")
check(glass < page_var_min < finger, f"the page's var_min {page_var_min} between glass and finger")
driver = browser()
try:
    driver.get("file://" + out("report.html"))
    WebDriverWait(driver, 10).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#pair-0 .uplot")) == 2)
    check("suggested var_min" in driver.find_element(By.CSS_SELECTOR, "#pair-0 pre").text, "report text")
    answer = driver.find_element(By.CSS_SELECTOR, "#verdict .answer").text
    check(answer == f"bsize=16 step=4 var_min={var_min} img_num=3 min_img_num=1", f"verdict: {answer}")
    drawn = driver.execute_script("""return [...document.querySelectorAll('#thumbnails canvas')].map(c =>
        c.getContext('2d').getImageData(0, 0, c.width, c.height).data.some(v => v !== 0))""")
    check(drawn == [True] * 6, f"three glass and three finger thumbnails drawn: {drawn}")
    driver.save_screenshot(out("report.png"))
    check(console_errors(driver) == [], f"console errors in the report: {console_errors(driver)}")
finally:
    driver.quit()

# Frames lost on the way: bio-stream stopped for two seconds with a receive buffer and a queue of
# about six raw frames. The page counts them as bio-stream's summary does and draws them as breaks.
stream, udp_port, page_url = start_stream("--receive-buffer", "4194304", "--queue-bytes", "4194304")
driver = browser()
try:
    driver.get(page_url)
    host = run_host(udp_port, background=True)
    WebDriverWait(driver, 30, 0.02).until(lambda d: int(d.find_element(By.ID, "count-frames").text) >= 10)
    stream.send_signal(signal.SIGSTOP)
    time.sleep(2)  # the time the stream is stopped for: nothing to await
    stream.send_signal(signal.SIGCONT)
    host_frames(host)
    WebDriverWait(driver, 20).until(lambda d: d.find_element(By.ID, "stream-state").text.startswith("stream stopped"))
    counted = {k: int(driver.find_element(By.ID, "count-" + k).text) for k in ("frames", "cut-short", "payload-lost", "missing")}
    breaks = driver.execute_script("return bioView.timeline.plot.data[1].filter(v => v === null).length")
    check(counted["missing"] + counted["payload-lost"] > 0 and breaks > 0, f"losses {counted}, {breaks} breaks")
    driver.execute_script("window.scrollTo(0, 0)")
    driver.set_window_size(1280, 1250)
    driver.save_screenshot(out("view-losses.png"))
finally:
    driver.quit()
    stream.send_signal(signal.SIGCONT)
    stream.send_signal(signal.SIGINT)
    stream.wait(timeout=30)
summary = open(out("bio-stream.log")).read().splitlines()[-1]
told = re.match(r"bio-stream: (\d+) frames, (\d+) cut short, \d+ bytes(?:, (\d+) payload lost)?(?:, (\d+) missing)?", summary)
# The page may not have counted a last frame that was still arriving when the stream stopped.
whole, short, lost, missing = [int(v or 0) for v in told.groups()] if told else [-1] * 4
check([whole, lost, missing] == [counted["frames"], counted["payload-lost"], counted["missing"]]
      and counted["cut-short"] <= short <= counted["cut-short"] + 1, f"page {counted}, summary: {summary}")
print(f"browser test passed; screenshots {out('view.png')}, {out('view-losses.png')} and {out('report.png')}")
