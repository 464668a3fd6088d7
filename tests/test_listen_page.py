"""The listening page in headless Chromium, on a test folder that abchr-prepare
makes from synthesised music: whole sessions by keyboard and by mouse, resume
after a reload, the audio engine rendered offline sample by sample, blindness,
and the page's refusals. Served from a server on 127.0.0.1 and opened as file://.

A downloaded result file goes on to abchr-analyse, when given, which must
unblind each grade to the codec that the key names.

usage: test_listen_page.py ABCHR_PREPARE LISTEN_PAGE_SOURCES [ABCHR_ANALYSE]
Exits 77 (skipped) without Chromium, its driver, Selenium or ffmpeg."""
import base64
import csv
import hashlib
import http.server
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

SKIP = 77
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    print("skipped: no python3-selenium")
    sys.exit(SKIP)

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
for need in ("chromium", CHROMEDRIVER, "ffmpeg"):
    if not shutil.which(need):
        print("skipped: no " + need)
        sys.exit(SKIP)

PREPARE, SOURCES = sys.argv[1], sys.argv[2]
ANALYSE = sys.argv[3] if len(sys.argv) > 3 and not sys.argv[3].startswith("-") else None
del sys.argv[1:4 if ANALYSE else 3]
RATE = 44100


def write_wav(path, channels, rate=RATE):
    """channels: lists of ints, one list per channel."""
    with wave.open(path, "wb") as w:
        w.setnchannels(len(channels))
        w.setsampwidth(2)
        w.setframerate(rate)
        frames = bytearray()
        for frame in zip(*channels):
            frames += struct.pack("<%dh" % len(frame), *frame)
        w.writeframes(bytes(frames))


def music(seconds, seed):
    """Stereo tones with a moving envelope and filtered noise: something that
    the aligner can lock onto."""
    rng = random.Random(seed)
    left, right = [], []
    a = b = 0.0
    for i in range(int(seconds * RATE)):
        t = i / RATE
        env = 0.5 + 0.5 * math.sin(2 * math.pi * 0.7 * t + seed)
        a = 0.97 * a + rng.gauss(0, 0.08)
        b = 0.97 * b + rng.gauss(0, 0.08)
        left.append(int(20000 * max(-1, min(1, 0.3 * env * math.sin(2 * math.pi * (300 + 50 * seed) * t) + 0.3 * a))))
        right.append(int(20000 * max(-1, min(1, 0.3 * env * math.sin(2 * math.pi * 660 * t) + 0.3 * b))))
    return [left, right]


def make_folder(where, options, songs=("alpha", "beta")):
    """Songs of 3 s, each with an MP3 and a Vorbis encoding."""
    test = os.path.join(where, "test")
    for n, song in enumerate(songs):
        original = os.path.join(where, song + ".wav")
        write_wav(original, music(3, n + 1))
        encoded = []
        for codec, ext in (("libmp3lame", "mp3"), ("libvorbis", "ogg")):
            out = os.path.join(where, song + "." + ext)
            subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", original, "-c:a", codec, out], check=True)
            encoded.append(out)
        subprocess.run([PREPARE, "-q", "-o", test] + options + [original] + encoded, check=True)
    return test


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def serve(root):
    """A static server of `root` that takes POSTs at /ok (200) and /fail (500)."""
    posts = []

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def log_message(self, *args):
            pass

        def end_headers(self):
            # Each row spoils its own copy under the same URL.
            self.send_header("Cache-Control", "no-store")
            super().end_headers()

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            posts.append((self.path, body))
            self.send_response(200 if self.path == "/ok" else 500)
            self.send_header("Access-Control-Allow-Origin", "*")
            self.send_header("Content-Length", "0")
            self.end_headers()

    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, posts


def browser(downloads):
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--autoplay-policy=no-user-gesture-required",
                "--window-size=900,1000", "--allow-file-access-from-files"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return driver


class ListenPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="listen-page-")
        cls.http, cls.posts = serve(cls.tmp)
        cls.base = "http://127.0.0.1:%d" % cls.http.server_address[1]
        cls.test = make_folder(cls.tmp, ["--results-url", cls.base + "/ok"])
        cls.public = os.path.join(cls.test, "public")
        cls.downloads = os.path.join(cls.tmp, "downloads")
        os.mkdir(cls.downloads)
        cls.driver = browser(cls.downloads)
        with open(os.path.join(cls.test, "key.csv"), newline="", encoding="utf-8") as f:
            cls.key = list(csv.DictReader(f))

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.http.shutdown()
        shutil.rmtree(cls.tmp)

    # --- helpers ---
    def served(self, path, test=None):
        """A served file, by its path in key.csv."""
        return os.path.join(test or self.test, "public", path)

    def listen_url(self, how, folder=None):
        folder = folder or os.path.join(self.public, "listen")
        if how == "file":
            return "file://" + os.path.join(folder, "index.html")
        return self.base + "/" + os.path.relpath(folder, self.tmp) + "/index.html"

    def open_page(self, url, fresh=True):
        d = self.driver
        if fresh:
            # Forgets saved sessions on a page of the same origin that does not
            # itself read them.
            blank = os.path.join(self.tmp, "blank.html")
            with open(blank, "w") as f:
                f.write("<!DOCTYPE html><title>blank</title>")
            d.get("file://" + blank if url.startswith("file:") else self.base + "/blank.html")
            d.execute_script("localStorage.clear()")
        d.get(url)
        self.wait_page(("start", "refusal", "end"))

    def wait_page(self, pages, seconds=20):
        end = time.time() + seconds
        while time.time() < end:
            page = self.driver.execute_script("return document.body.getAttribute('data-page')")
            if page in pages:
                return page
            time.sleep(0.05)
        self.fail("page never became one of %s" % (pages,))

    def text(self, id_):
        return self.driver.find_element(By.ID, id_).text

    def served_sums(self, key=None, test=None):
        """Song, served name -> the sum of its first 2000 left samples, to tell
        from the engine's buffers which stimulus plays on each side."""
        sums = {}
        for row in key or self.key:
            with wave.open(self.served(row["file"], test)) as w:
                left = struct.unpack("<4000h", w.readframes(2000))[0::2]
            sums[(row["song"], row["name"])] = sum(left)
        return sums

    def sides_heard(self, sums):
        """What the engine plays on A, B and C now, by name."""
        heard = self.driver.execute_script("""
            var e = abchrListen.screen.engine;
            return e.slots.map(function (b) {
              var d = e.buffers[b].getChannelData(0), s = 0;
              for (var i = 0; i < 2000; i++) s += Math.round(d[i] * 32768);
              return s;
            });""")
        song = self.text("trial-song")
        names = {v: name for (s, name), v in sums.items() if s == song}
        return song, [names[v] for v in heard]

    def set_grade_by_mouse(self, side, grade):
        slider = self.driver.find_element(By.ID, "grade-" + side)
        height = slider.size["height"]
        thumb = 16
        y = thumb / 2 + (5 - grade) / 4 * (height - thumb) - height / 2
        ActionChains(self.driver).move_to_element_with_offset(slider, 0, round(y)).click().perform()

    def downloaded(self):
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))
        self.driver.find_element(By.ID, "download").click()
        end = time.time() + 10
        while time.time() < end:
            done = [n for n in os.listdir(self.downloads) if n.endswith(".json")]
            if done:
                # Chromium can show the file under its final name a moment
                # before its bytes are all there.
                with open(os.path.join(self.downloads, done[0]), encoding="utf-8") as f:
                    text = f.read()
                try:
                    return json.loads(text)
                except json.JSONDecodeError:
                    pass
            time.sleep(0.1)
        self.fail("no file downloaded")

    def run_session(self, by, grades_of, stop_after=None):
        """Grades every trial; returns what each trial should record."""
        d = self.driver
        body = d.find_element(By.TAG_NAME, "body")
        sums = self.served_sums()
        expected = []
        while self.wait_page(("trial", "end")) == "trial":
            n = len(expected)
            if stop_after is not None and n == stop_after:
                return expected
            song, heard = self.sides_heard(sums)
            self.assertEqual(heard[0], "reference")
            reference_side = "B" if heard[1] == "reference" else "C"
            grade_b, grade_c = grades_of(n)
            if by == "keyboard":
                body.send_keys(" ", "b", "c", "a", "b")
                body.send_keys(*([Keys.ARROW_DOWN] * round((5 - grade_b) * 10)))
                body.send_keys("c")
                body.send_keys(*([Keys.ARROW_DOWN] * round((5 - grade_c) * 10)))
                switches = 5
            else:
                for button in ("play", "side-B", "side-C", "side-A"):
                    d.find_element(By.ID, button).click()
                self.set_grade_by_mouse("B", grade_b)
                self.set_grade_by_mouse("C", grade_c)
                switches = 3
            self.assertEqual(self.text("value-B"), "%.1f" % grade_b)
            self.assertEqual(self.text("value-C"), "%.1f" % grade_c)
            expected.append({"song": song, "stimulus": heard[1] if reference_side == "C" else heard[2],
                             "reference_side": reference_side, "grades": {"B": grade_b, "C": grade_c},
                             "moved": {"B": grade_b != 5, "C": grade_c != 5}, "plays": 1, "switches": switches})
            if by == "keyboard":
                body.send_keys(Keys.ENTER)
            else:
                d.find_element(By.ID, "next").click()
            self.wait_page(("trial", "end"))
        return expected

    def check_results(self, results, expected, nickname):
        hashes = {}
        for row in self.key:
            with open(self.served(row["file"]), "rb") as f:
                hashes[row["song"] + "/" + row["name"]] = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(results["format"], "abchr-listen-results")
        self.assertEqual(results["version"], 1)
        self.assertEqual(results["stimuli"], hashes)
        self.assertEqual(results["nickname"], nickname)
        self.assertEqual((results["sample_rate"], results["context_rate"]), (RATE, RATE))
        got = [{k: t[k] for k in expected[0]} for t in results["trials"]]
        self.assertEqual(got, expected)
        for t in results["trials"]:
            self.assertEqual(t["kind"], "abchr")
            self.assertGreater(t["seconds"], 0)
        self.assertEqual(sorted((t["song"], t["stimulus"]) for t in results["trials"]),
                         sorted((r["song"], r["name"]) for r in self.key if r["name"] != "reference"))

    def check_unblinded(self, results, expected):
        """abchr-analyse on the downloaded file: each trial's grades under the
        key's codec of the stimulus heard, the hidden reference's beside them."""
        if ANALYSE is None:
            return
        path = os.path.join(self.tmp, "results.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(results, f)
        out = os.path.join(self.tmp, "analysed")
        subprocess.run([ANALYSE, "-q", "--resamples", "100", "-o", out, self.test, path], check=True)
        with open(os.path.join(out, "ratings.csv"), newline="", encoding="utf-8") as f:
            got = sorted((r["song"], r["codec"].split(" ")[0], float(r["grade"]), float(r["reference_grade"]))
                         for r in csv.DictReader(f))
        codec = {(r["song"], r["name"]): r["codec"] for r in self.key}
        want = [(t["song"], codec[(t["song"], t["stimulus"])], t["grades"]["C" if t["reference_side"] == "B" else "B"],
                 t["grades"][t["reference_side"]]) for t in expected]
        self.assertEqual(got, sorted(want))

    # --- rows ---
    def test_whole_session(self):
        rows = [("keyboard", "file", lambda n: (round(4.9 - 0.7 * n, 1), 5.0)),
                ("mouse", "http", lambda n: (5.0, round(1.0 + 0.9 * n, 1)))]
        for by, how, grades_of in rows:
            with self.subTest(by=by, how=how):
                del self.posts[:]
                self.open_page(self.listen_url(how))
                self.driver.find_element(By.ID, "nickname").send_keys("tester " + by)
                self.driver.find_element(By.ID, "begin").click()
                expected = self.run_session(by, grades_of)
                self.wait_page(("end",))
                results = self.downloaded()
                self.check_results(results, expected, "tester " + by)
                self.check_unblinded(results, expected)
                end = time.time() + 5
                while "sent" not in self.text("send-status") and time.time() < end:
                    time.sleep(0.05)
                self.assertIn("have been sent", self.text("send-status"))
                self.assertEqual([json.loads(body) for path, body in self.posts], [results])

    def test_resume_after_reload(self):
        url = self.listen_url("http")
        self.open_page(url)
        self.driver.find_element(By.ID, "nickname").send_keys("again")
        self.driver.find_element(By.ID, "begin").click()
        grades = lambda n: (round(4.0 - 0.5 * n, 1), 4.5)
        first = self.run_session("keyboard", grades, stop_after=2)
        sums = self.served_sums()
        before = self.sides_heard(sums)
        self.open_page(url, fresh=False)
        self.assertIn("2 of 4", self.text("resume-note"))
        self.driver.find_element(By.ID, "begin").click()
        self.wait_page(("trial",))
        self.assertEqual(self.text("trial-count"), "Trial 3 of 4")
        self.assertEqual(self.sides_heard(sums), before)
        rest = self.run_session("keyboard", lambda n: grades(n + 2))
        self.check_results(self.downloaded(), first + rest, "again")

    def test_mushra_and_abx(self):
        """A folder with a MUSHRA page and two ABX trials per condition, S2
        made an anchor (graded on the MUSHRA page alone): the grades land on
        the versions heard, the answers are scored against what X played,
        and the score shows only after a set's last trial."""
        where = os.path.join(self.tmp, "extra")
        os.mkdir(where)
        test = make_folder(where, ["--page", "mushra", "--abx", "2"], songs=("gamma",))
        self.rewrite_test(os.path.join(test, "public", "listen"),
                          lambda t: t["songs"][0].update(stimuli=["S1"], mushra_only=["S2"]))
        self.open_page(self.listen_url("http", os.path.join(test, "public", "listen")))
        self.driver.find_element(By.ID, "begin").click()
        body = self.driver.find_element(By.TAG_NAME, "body")
        with open(os.path.join(test, "key.csv"), newline="", encoding="utf-8") as f:
            sums = self.served_sums(list(csv.DictReader(f)), test)
        self.wait_page(("trial",))
        body.send_keys(Keys.ENTER)
        time.sleep(0.3)
        song, on_page = self.sides_heard(sums)
        self.assertEqual(sorted(on_page[1:]), ["S1", "S2", "reference"])
        body.send_keys(" ")
        for k in (1, 2, 3):
            body.send_keys(str(k), *([Keys.ARROW_UP] * (10 * k + 3)))
        body.send_keys(Keys.ENTER)
        answers = []
        for n in range(2):
            self.assertEqual(self.wait_page(("trial",)), "trial")
            song, heard = self.sides_heard(sums)
            body.send_keys("x", Keys.ARROW_LEFT if n % 3 == 0 else Keys.ARROW_RIGHT, Keys.ENTER)
            answers.append((heard[1], "A" if heard[2] == "reference" else "B", "A" if n % 3 == 0 else "B"))
            if n % 2 == 1:
                self.assertEqual(self.wait_page(("abx-score",)), "abx-score")
                right = sum(x == a for _, x, a in answers[-2:])
                self.assertEqual(self.text("abx-score-text"), "You told X correctly in %d of 2 trials." % right)
                self.driver.find_element(By.ID, "abx-continue").click()
        self.wait_page(("end",))
        trials = self.downloaded()["trials"]
        self.assertEqual([(t["kind"], t.get("stimulus")) for t in trials[:2]], [("abchr", "S1"), ("mushra", None)])
        mushra = trials[1]
        self.assertEqual((mushra["kind"], mushra["grades"], mushra["switches"]),
                         ("mushra", {on_page[k]: 10 * k + 3 for k in (1, 2, 3)}, 3))
        self.assertEqual([(t["kind"], t["stimulus"], t["trial"], t["planned"], t["x_is"], t["answer"], t["correct"])
                          for t in trials[2:]],
                         [("abx", s, n % 2 + 1, 2, x, a, x == a) for n, (s, x, a) in enumerate(answers)])

    def test_other_rate_is_said_and_recorded(self):
        """A browser that opens its audio at 48 kHz whatever the page asks."""
        forced = """(function () {
            var Real = window.AudioContext;
            window.AudioContext = function () { return new Real({ sampleRate: 48000 }); };
        })();"""
        added = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": forced})
        try:
            self.open_page(self.listen_url("file"))
            end = time.time() + 10
            while not self.text("rate-note") and time.time() < end:
                time.sleep(0.05)
            self.assertIn("plays at 48000 Hz, not at the music's 44100 Hz", self.text("rate-note"))
            self.driver.find_element(By.ID, "begin").click()
            self.run_session("keyboard", lambda n: (5.0, 4.0))
            results = self.downloaded()
        finally:
            self.driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": added["identifier"]})
        self.assertEqual((results["sample_rate"], results["context_rate"]), (RATE, 48000))

    def test_failed_send_is_shown(self):
        listen = os.path.join(self.tmp, "failing", "listen")
        shutil.copytree(os.path.join(self.public, "listen"), listen)
        self.rewrite_test(listen, lambda t: t.update(results_url=self.base + "/fail"))
        self.open_page(self.listen_url("http", listen))
        self.driver.find_element(By.ID, "begin").click()
        self.run_session("keyboard", lambda n: (3.0, 5.0))
        end = time.time() + 5
        while "sent" not in self.text("send-status") and time.time() < end:
            time.sleep(0.05)
        self.assertIn("could not be sent (the server answered 500)", self.text("send-status"))
        self.assertTrue(self.driver.find_element(By.ID, "download").is_displayed())
        self.assertEqual(len(self.downloaded()["trials"]), 4)

    def rewrite_test(self, listen, change):
        path = os.path.join(listen, "data", "test.js")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        prefix = "abchrListen.registerTest("
        test = json.loads(text[len(prefix):text.rindex(")")])
        change(test)
        with open(path, "w", encoding="utf-8") as f:
            f.write(prefix + json.dumps(test) + ");\n")

    def song_data(self, listen, n):
        with open(os.path.join(listen, "data", "%d.js" % n), encoding="utf-8") as f:
            text = f.read()
        prefix = "abchrListen.registerSong(%d, " % n
        self.assertTrue(text.startswith(prefix) and text.endswith(");\n"))
        return json.loads(text[len(prefix):-3])

    def test_refusals(self):
        def shorter(listen):
            data = self.song_data(listen, 1)
            wav = os.path.join(self.tmp, "short.wav")
            write_wav(wav, music(1, 9))
            with open(wav, "rb") as f:
                raw = f.read()
            data["wav"]["S1"] = base64.b64encode(raw).decode()
            with open(os.path.join(listen, "data", "1.js"), "w", encoding="utf-8") as f:
                f.write("abchrListen.registerSong(1, " + json.dumps(data) + ");\n")
            self.rewrite_test(listen, lambda t: t["songs"][0]["sha256"].update(S1=hashlib.sha256(raw).hexdigest()))

        def garble(listen):
            path = os.path.join(listen, "data", "1.js")
            with open(path, "r+b") as f:
                f.seek(5000)
                f.write(b"AAAA")

        def truncate(listen):
            path = os.path.join(listen, "data", "1.js")
            os.truncate(path, os.path.getsize(path) // 2)

        no_audio = "delete window.AudioContext; delete window.webkitAudioContext;"
        rows = [("missing data", lambda l: os.remove(os.path.join(l, "data", "1.js")), None,
                 "missing: data/1.js"),
                ("missing test", lambda l: os.remove(os.path.join(l, "data", "test.js")), None,
                 "missing: data/test.js"),
                ("cut short", truncate, None, "damaged: data/1.js"),
                ("changed bytes", garble, None, "damaged: data/1.js"),
                ("lengths differ", shorter, None, "differ in length or sample rate"),
                ("no Web Audio", lambda l: None, no_audio, "no Web Audio")]
        for how in ("file", "http"):
            for name, spoil, script, message in rows:
                with self.subTest(name, how=how):
                    listen = os.path.join(self.tmp, "spoilt", "listen")
                    shutil.rmtree(os.path.dirname(listen), ignore_errors=True)
                    shutil.copytree(os.path.join(self.public, "listen"), listen)
                    spoil(listen)
                    added = None
                    if script:
                        added = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                                            {"source": script})
                    try:
                        self.open_page(self.listen_url(how, listen))
                        self.assertEqual(self.wait_page(("refusal",)), "refusal")
                        self.assertIn(message, self.text("refusal-text"))
                    finally:
                        if added:
                            self.driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument",
                                                        {"identifier": added["identifier"]})

    def test_blindness(self):
        listen = os.path.join(self.public, "listen")
        telling = set()
        for row in self.key:
            if row["codec"]:
                telling |= {row["codec"].lower(), os.path.basename(row["input"]).lower()}
        with open(os.path.join(self.test, "songs", "alpha.json"), encoding="utf-8") as f:
            telling |= {s["decoder"].lower() for s in json.load(f)["stimuli"]}
        self.assertTrue({"mp3", "vorbis"} <= telling, telling)
        for top, dirs, files in os.walk(listen):
            for name in files:
                path = os.path.join(top, name)
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                if name[0].isdigit():
                    data = self.song_data(listen, int(name[:-3]))
                    song = data["song"]
                    sizes = set()
                    for served, blob in data["wav"].items():
                        with open(self.served("stimuli/%s/%s.wav" % (song, served)), "rb") as f:
                            self.assertEqual(base64.b64decode(blob, validate=True), f.read())
                        sizes.add(len(blob))
                    self.assertEqual(len(sizes), 1, name)
                    text = json.dumps({k: v for k, v in data.items() if k != "wav"}) + " ".join(data["wav"])
                for word in telling:
                    self.assertNotIn(word, text.lower(), path)
        for name in os.listdir(SOURCES):
            if not name.startswith("."):
                with open(os.path.join(SOURCES, name), "rb") as a, open(os.path.join(listen, name), "rb") as b:
                    self.assertEqual(a.read(), b.read(), name)

    def test_audio_exact(self):
        """The engine on an OfflineAudioContext: three stimuli whose samples
        encode their own frame number and stimulus, switched, looped and
        restarted; then the same script on constant stimuli, whose output is
        the gains themselves."""
        self.open_page(self.listen_url("file"))
        script = """
            var done = arguments[arguments.length - 1];
            var constant = arguments[0];
            var rate = 48000, frames = 96000;
            var stimuli = [0, 1, 2].map(function (k) {
              var left = new Float32Array(frames), right = new Float32Array(frames);
              for (var f = 0; f < frames; f++) {
                if (constant) {
                  left[f] = k === 0 ? 0.5 : 0;
                  right[f] = k === 1 ? 0.5 : 0;
                } else {
                  left[f] = (f % 65536 - 32768) / 32768;
                  right[f] = (k * 4096 + Math.floor(f / 65536) - 16384) / 32768;
                }
              }
              return [left, right];
            });
            var context = new OfflineAudioContext(2, 2 * rate, rate);
            var engine = new abchrListen.Engine(context,
                {rate: rate, channels: 2, frames: frames, data: stimuli});
            engine.play(0.01);
            engine.select(1, 0.2);
            engine.select(constant ? 0 : 2, 0.35);
            engine.setLoop({start: 0.5 * rate, end: 1.1 * rate}, 0.6);
            engine.select(1, 0.9);
            engine.seek(0.7 * rate, 1.45);
            engine.pump(2);
            engine.stop(1.9);
            context.startRendering().then(function (out) {
              var pack = function (a) {
                var bytes = new Uint8Array(a.buffer), s = "";
                for (var i = 0; i < bytes.length; i++) s += String.fromCharCode(bytes[i]);
                return btoa(s);
              };
              done({left: pack(out.getChannelData(0)), right: pack(out.getChannelData(1)),
                    fades: engine.fades, loop: engine.loop});
            });"""
        rate, fade = 48000, 0.005

        def render(constant):
            got = self.driver.execute_async_script(script, constant)
            unpack = lambda s: struct.unpack("<%df" % (len(base64.b64decode(s)) // 4), base64.b64decode(s))
            return unpack(got["left"]), unpack(got["right"]), got["fades"], got["loop"]

        left, right, fades, loop = render(False)
        masked = set()
        for f in fades:
            masked.update(range(math.floor(f["start"] * rate) - 1, math.ceil(f["end"] * rate) + 1))
        switches = sorted((f["start"], f["target"]) for f in fades if f["kind"] == "in" and f["target"] != "master")
        last = None
        checked = 0
        for n in range(len(left)):
            t = n / rate
            if n in masked or t < 0.01 or t > 1.9:
                continue
            a, b = left[n] * 32768, right[n] * 32768
            self.assertTrue(a == int(a) and b == int(b), n)
            k, high = divmod(int(b) + 16384, 4096)
            frame = int(a) + 32768 + 65536 * high
            want = 0
            for start, target in switches:
                if start <= t:
                    want = target
            self.assertEqual(k, want, n)
            if last is not None:
                step = frame - last[1]
                gap = n - last[0]
                if step != gap:
                    # Only a wrap of the loop or the seek may move otherwise.
                    wrapped = loop["start"] + (last[1] + gap - loop["end"]) % (loop["end"] - loop["start"])
                    seek = frame == round(0.7 * rate) + n - math.ceil(1.455 * rate - 1e-6)
                    self.assertTrue(frame == wrapped or seek, (n, last, frame))
            last = (n, frame)
            checked += 1
        self.assertGreater(checked, 1.8 * rate)
        self.assertGreater(len([f for f in fades if f["target"] == "master"]), 4)

        left, right, fades, loop = render(True)
        for n in range(len(left)):
            self.assertLess(min(abs(left[n]), abs(right[n])), 1e-6, "two stimuli at once at frame %d" % n)
        for f in fades:
            self.assertAlmostEqual(f["end"] - f["start"], fade, places=9)
            for n in range(math.ceil(f["start"] * rate), math.floor(f["end"] * rate) + 1):
                x = min(1.0, max(0.0, (n / rate - f["start"]) / fade))
                want = 0.5 * (1 + math.cos(math.pi * x)) if f["kind"] == "out" else 0.5 * (1 - math.cos(math.pi * x))
                if f["target"] == "master":
                    got = (left[n] + right[n]) / 0.5
                else:
                    got = (left[n] if f["target"] == 0 else right[n]) / 0.5
                    # A stimulus's fade sounds only while the master is fully up.
                    if any(m["target"] == "master" and m["start"] - fade <= n / rate <= m["end"] + fade for m in fades):
                        continue
                self.assertAlmostEqual(got, want, delta=2e-3, msg=(f, n))


if __name__ == "__main__":
    unittest.main(verbosity=2)
