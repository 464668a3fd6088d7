"""The listening page's figures in headless Chromium, on a 10-s song of
seven stimuli (the reference and six encodings by ffmpeg) that abchr-prepare
puts in a test folder: the page's weight without data, the time from opening
the page to its first song ready to play (against a bare page that loads the
same data script and does nothing with it, timed in the same run), the time
from "Begin" to a playable trial, the JS heap while playing, and whether any
control moves between playing and stopped.

    python3 bench/listen_page_figures.py ABCHR_PREPARE [SHOTS_FOLDER]

With SHOTS_FOLDER, screenshots of the start page, a trial and the end page
are saved there."""
import gzip
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import wave

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

PREPARE = sys.argv[1]
SHOTS = sys.argv[2] if len(sys.argv) > 2 else None
work = tempfile.mkdtemp(prefix="listen-figures-")
rate = 44100
rng = random.Random(3)
frames = bytearray(); a = b = 0.0
for i in range(10 * rate):
    t = i / rate
    env = 0.5 + 0.5 * math.sin(2 * math.pi * 0.7 * t)
    a = 0.97 * a + rng.gauss(0, 0.08); b = 0.97 * b + rng.gauss(0, 0.08)
    l = 0.3 * env * math.sin(2 * math.pi * 440 * t + 3 * math.sin(2 * math.pi * 1.3 * t)) + 0.3 * a
    r = 0.3 * env * math.sin(2 * math.pi * 660 * t) + 0.3 * b
    frames += struct.pack("<hh", int(20000 * max(-1, min(1, l))), int(20000 * max(-1, min(1, r))))
orig = os.path.join(work, "castanets.wav")
with wave.open(orig, "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
enc = []
for codec, ext, extra in [("libmp3lame", "mp3", ["-b:a", "96k"]), ("libmp3lame", "m.mp3", ["-b:a", "192k"]),
                          ("libvorbis", "ogg", ["-q:a", "2"]), ("libvorbis", "h.ogg", ["-q:a", "6"]),
                          ("libopus", "opus", ["-b:a", "64k"]), ("aac", "m4a", ["-b:a", "128k"])]:
    out = os.path.join(work, "castanets." + ext)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", orig, "-c:a", codec] + extra + [out], check=True)
    enc.append(out)
test = os.path.join(work, "test")
subprocess.run([PREPARE, "-q", "-o", test, orig] + enc, check=True)
listen = os.path.join(test, "public", "listen")
page = sum(os.path.getsize(os.path.join(listen, n)) for n in os.listdir(listen) if os.path.isfile(os.path.join(listen, n)))
gz = sum(len(gzip.compress(open(os.path.join(listen, n), "rb").read())) for n in os.listdir(listen) if os.path.isfile(os.path.join(listen, n)))
data = os.path.getsize(os.path.join(listen, "data", "1.js"))
print("page weight: %d bytes (%d gzipped); song data file %d bytes" % (page, gz, data))

o = webdriver.ChromeOptions()
for x in ["--headless=new", "--no-sandbox", "--autoplay-policy=no-user-gesture-required", "--window-size=900,900",
          "--enable-precise-memory-info", "--js-flags=--expose-gc"]:
    o.add_argument(x)
d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)
url = "file://" + os.path.join(listen, "index.html")
def page_is(p):
    while d.execute_script("return document.body.getAttribute('data-page')") != p: time.sleep(0.005)
try:
    ready, begin, base = [], [], []
    for run in range(5):
        # Baseline: the same data script loaded by a bare page that does nothing with it.
        bare = os.path.join(listen, "bare.html")
        open(bare, "w").write("<!DOCTYPE html><script>var abchrListen={registerSong:function(){window.got=performance.now();}};</script><script src='data/1.js'></script>")
        d.get("file://" + bare)
        base.append(d.execute_script("return window.got"))
        d.get(url); d.execute_script("localStorage.clear()"); d.get(url)
        while not d.execute_script("return !!(abchrListen.screen && abchrListen.screen.engine)"): time.sleep(0.002)
        ready.append(d.execute_script("return performance.now()"))
        t = d.execute_script("var t = performance.now(); document.getElementById('begin').click(); return t")
        page_is("trial")
        while not d.execute_script("return !!abchrListen.screen.trial"): time.sleep(0.002)
        begin.append(d.execute_script("return performance.now()") - t)
    med = lambda v: sorted(v)[len(v) // 2]
    print("opening to song ready: median %.0f ms over 5 (bare load of the same data script: %.0f ms; ratio %.2f)" % (med(ready), med(base), med(ready) / med(base)))
    print("begin click to playable trial: median %.0f ms" % med(begin))
    body = d.find_element(By.TAG_NAME, "body")
    body.send_keys(" ")
    time.sleep(0.6)
    body.send_keys("b")
    time.sleep(0.3)
    d.execute_script("abchrListen.screen.setGrade('B', 3.4); abchrListen.screen.setGrade('C', 4.7);")
    body.send_keys("l")
    time.sleep(1.0)
    d.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
    heap = d.execute_script("return performance.memory.usedJSHeapSize")
    d.execute_cdp_cmd("Performance.enable", {})
    m = {x["name"]: x["value"] for x in d.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
    print("JS heap while playing: %.1f MB used (performance.memory, after GC); CDP JSHeapUsedSize %.1f MB" % (heap / 1e6, m.get("JSHeapUsedSize", 0) / 1e6))
    print("samples of the song as float: %.1f MB (held by the audio buffers, outside the JS heap)" % (7 * 10 * rate * 2 * 4 / 1e6))
    # Layout stability: the boxes of the controls while playing vs stopped.
    boxes = lambda: d.execute_script("return ['side-A','side-B','side-C','play','timeline','clock','loop','next','grade-B','grade-C'].map(function(i){var r=document.getElementById(i).getBoundingClientRect();return [i,r.x,r.y,r.width,r.height];})")
    playing = boxes()
    SHOTS and d.save_screenshot(os.path.join(SHOTS, "trial.png"))
    body.send_keys(" "); time.sleep(0.2)
    print("layout identical playing/stopped:", playing == boxes())
    d.execute_script("abchrListen.screen.state.trials = abchrListen.screen.state.plan.slice(0, -1).map(function(p){return {};}); abchrListen.screen.finishTrial();")
    page_is("end")
    SHOTS and d.save_screenshot(os.path.join(SHOTS, "end.png"))
    d.get(url); d.execute_script("localStorage.clear()"); d.get(url); page_is("start")
    SHOTS and d.save_screenshot(os.path.join(SHOTS, "start.png"))
finally:
    d.quit()
    shutil.rmtree(work)
