"""abchr-analyse run as a user runs it, as rows of cases: a test folder whose
key.csv and folder.json are written in the form abchr-prepare gives them,
result files of every front end written by a seeded simulation of listeners
with known true differences, and the refusals. The plots are parsed as XML
and rendered in headless Chromium, which takes a screenshot of each.

    check_program.py ABCHR_ANALYSE SCREENSHOT_FOLDER"""
import csv
import io
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

program, shots = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="abchr-analyse-")
failures = []

SONGS = ["ballad", "rock & roll"]
# The true difference grades: codec -> mean below the hidden reference.
CODECS = {"S1": ("opus", 96000, -0.3), "S2": ("mp3", 128000, -1.0), "S3": ("aac", 64000, -1.9)}
FOLDER_ID = "0123456789abcdef0123456789abcdef"


def make_test(path, mushra=False):
    os.makedirs(path)
    rows = [["song", "name", "file", "input", "codec", "bitrate", "sha256", "webmushra_page", "webmushra_mushra_page",
             "beaqlejs_test_id"]]
    for song in SONGS:
        ident = song.replace(" ", "_").replace("&", "_")
        mushra_page = ident + "_mushra" if mushra else ""
        rows.append([song, "reference", f"stimuli/{song}/reference.wav", song + ".flac", "", "", "a" * 64, "",
                     mushra_page, ident])
        for name, (codec, rate, _) in CODECS.items():
            rows.append([song, name, f"stimuli/{song}/{name}.wav", f"{song}.{codec}", codec, str(rate),
                         name[1] * 64, f"{ident}_{name}", mushra_page, ident])
        if mushra:
            rows.append([song, "S4", f"stimuli/{song}/S4.wav", "", "anchor-7kHz", "", "4" * 64, "", mushra_page, ident])
    out = io.StringIO()
    csv.writer(out, lineterminator="\r\n").writerows(rows)
    with open(os.path.join(path, "key.csv"), "w", newline="") as f:
        f.write(out.getvalue())
    with open(os.path.join(path, "folder.json"), "w") as f:
        json.dump({"id": FOLDER_ID}, f)


def clamp(v, low, high):
    return max(low, min(high, round(v, 1)))


def simulate(listeners, seed):
    """Grades per listener, song and stimulus: (reference grade, condition grade) on 1-5."""
    rnd = random.Random(seed)
    grades = {}
    for n in range(listeners):
        for song in SONGS:
            for name, (_, _, truth) in CODECS.items():
                ref = clamp(5 - abs(rnd.gauss(0, 0.15)), 1, 5)
                grades[(f"listener{n}", song, name)] = (ref, clamp(ref + truth + rnd.gauss(0, 0.4), 1, 5))
    return grades


def php_field(v):
    v = str(v)
    if any(c in v for c in ',"\\\n\r\t '):
        # fputcsv doubles a quote unless a backslash stands before it.
        out, prev = "", ""
        for c in v:
            out += '""' if c == '"' and prev != "\\" else c
            prev = c
        return '"' + out + '"'
    return v


def php_row(fields):
    return ",".join(php_field(f) for f in fields) + "\n"


def bs1116_csv(grades, header=True, question="listener"):
    text = php_row(["session_test_id", question, "trial_id", "rating_reference", "rating_non_reference",
                    "rating_reference_score", "rating_non_reference_score", "rating_time", "choice_comment"]) if header else ""
    for (who, song, name), (ref, cond) in grades.items():
        ident = song.replace(" ", "_").replace("&", "_")
        text += php_row(["test", who, f"{ident}_{name}", "reference", name, ref, cond, 12000, ""])
    return text


def mushra_csv(grades):
    text = php_row(["session_test_id", "listener", "session_uuid", "trial_id", "rating_stimulus", "rating_score",
                    "rating_time", "rating_comment"])
    done = set()
    for (who, song, name), (ref, cond) in grades.items():
        ident = song.replace(" ", "_").replace("&", "_")
        if (who, song) not in done:
            done.add((who, song))
            text += php_row(["test", who, "u-" + who, ident + "_mushra", "reference", 100, 9000, ""])
            text += php_row(["test", who, "u-" + who, ident + "_mushra", "S4", 40, 9000, ""])
        text += php_row(["test", who, "u-" + who, ident + "_mushra", name, round(cond * 20), 9000, ""])
    return text


def beaqlejs_txt(grades, who, user_record=True):
    sets = []
    for song in SONGS:
        ident = song.replace(" ", "_").replace("&", "_")
        rating = {"Reference": 100}
        for name in CODECS:
            rating[name] = round(grades[(who, song, name)][1] * 20)
        rating["S4"] = 40
        sets.append({"TestID": ident, "Runtime": 30000, "rating": rating, "filename": {}})
    if user_record:
        sets.append({"UserName": who, "UserEmail": "", "UserComment": "fine"})
    return json.dumps(sets)


def page_json(grades, who, stimuli=None, folder_id=FOLDER_ID, abx=None):
    trials = []
    for (w, song, name), (ref, cond) in grades.items():
        if w != who:
            continue
        trials.append({"kind": "abchr", "song": song, "stimulus": name, "reference_side": "C",
                       "grades": {"B": cond, "C": ref}, "moved": {"B": True, "C": True}, "seconds": 20, "plays": 2,
                       "switches": 4})
    for n, (correct, planned) in enumerate(abx or []):
        trials.append({"kind": "abx", "song": SONGS[0], "stimulus": "S1", "trial": n + 1, "planned": planned,
                       "x_is": "A", "answer": "A" if correct else "B", "correct": correct, "seconds": 5})
    if stimuli is None:
        stimuli = {f"{s}/{n}": n[1] * 64 for s in SONGS for n in CODECS}
    return json.dumps({"format": "abchr-listen-results", "version": 1, "folder_id": folder_id, "stimuli": stimuli,
                       "session_id": "5e55", "nickname": who, "user_agent": "test", "sample_rate": 44100,
                       "context_rate": 44100, "started": "", "finished": "", "trials": trials}, indent=1)


def run(name, files, args=(), status=0, message=None, mushra=False):
    case = os.path.join(work, name.replace(" ", "_"))
    test = os.path.join(case, "TEST")
    make_test(test, mushra)
    paths = []
    for file_name, content in files.items():
        path = os.path.join(case, file_name)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        paths.append(path)
    p = subprocess.run([program, "-q", *args, test, *paths], capture_output=True, text=True)
    if p.returncode != status or (message and message not in p.stderr) or (status == 2 and p.stderr.count("\n") != 1):
        failures.append(f"{name}: status {p.returncode} (want {status}), stderr {p.stderr!r} (want {message!r})")
    results = os.path.join(test, "results")
    if status != 0 and os.path.exists(results):
        failures.append(f"{name}: a refused run left {os.listdir(results)}")
    if status == 0 and p.returncode == 0:
        with open(os.path.join(results, "report.json")) as f:
            return json.load(f), results
    return None, results


grades = simulate(12, 1)
few = {k: v for k, v in grades.items() if k[0] in ("listener0", "listener1")}
one_trial = {("listener0", SONGS[0], "S1"): (5.0, 4.0)}

# Parsing: one row per case: name, files, options, exit status, the message's
# telling words, and the number of grades read.
PARSING = [
    ("bs1116 csv", {"bs1116.csv": bs1116_csv(few)}, (), 0, None, 12),
    ("bs1116 CR LF and BOM", {"bs1116.csv": "\ufeff" + bs1116_csv(few).replace("\n", "\r\n")}, (), 0, None, 12),
    ("appended session without header", {"bs1116.csv": bs1116_csv(one_trial) + bs1116_csv(
        {("listener1", SONGS[1], "S2"): (5.0, 3.0)}, header=False)}, (), 0, None, 2),
    ("PHP backslash escape in a name", {"bs1116.csv": bs1116_csv({('say \\"hi\\", ok', SONGS[0], "S1"): (5.0, 4.0)})},
     (), 0, None, 1),
    ("quoted comma in a name", {"bs1116.csv": bs1116_csv({("Doe, Jane", SONGS[0], "S1"): (5.0, 4.0)})}, (), 0, None, 1),
    ("shifted columns", {"bs1116.csv": bs1116_csv(one_trial) + "test,extra,listener2,ballad_S1,reference,S1,5,4,1,\n"},
     (), 2, "bs1116.csv:3: 10 fields where the header has 9", 0),
    ("a new header where the questions changed", {"bs1116.csv": bs1116_csv(one_trial) + bs1116_csv(
        {("listener1", SONGS[0], "S2"): (5.0, 3.0)}, question="name")}, (), 0, None, 2),
    ("duplicate row refused", {"bs1116.csv": bs1116_csv(one_trial) + bs1116_csv(one_trial, header=False)}, (), 2,
     "bs1116.csv:3: the listener 'listener0' graded ballad/S1 before, at", 0),
    ("duplicate row, --duplicates last", {"bs1116.csv": bs1116_csv(one_trial) + bs1116_csv(
        {("listener0", SONGS[0], "S1"): (5.0, 2.0)}, header=False)}, ("--duplicates", "last"), 0, None, 1),
    ("unknown page", {"bs1116.csv": bs1116_csv(one_trial).replace("ballad_S1", "other_S1")}, (), 2,
     "bs1116.csv:2: the page other_S1 is no ABC/HR page", 0),
    ("mushra csv", {"mushra.csv": mushra_csv(few)}, (), 0, None, 16),
    ("beaqlejs with the user record", {"2026-01-01_x.txt": beaqlejs_txt(grades, "listener3")}, (), 0, None, 8),
    ("beaqlejs without the user record", {"2026-01-01_pat.txt": beaqlejs_txt(grades, "listener3", False)}, (), 0,
     None, 8),
    ("beaqlejs unknown test set", {"b.txt": beaqlejs_txt(grades, "listener3").replace('"ballad"', '"gone"')}, (), 2,
     "b.txt:1: the test set gone is no song", 0),
    ("page json", {"p.json": page_json(grades, "listener4")}, (), 0, None, 6),
    ("page json of another folder", {"p.json": page_json(grades, "listener4", folder_id="f" * 32)}, (), 2,
     "p.json:1: comes from the test folder", 0),
    ("page json with a changed stimulus", {"p.json": page_json(grades, "listener4", stimuli={"ballad/S1": "0" * 64})},
     (), 2, "SHA-256 differs", 0),
    ("page json naming a stimulus the folder lacks", {"p.json": page_json(grades, "listener4", stimuli={"ballad/S9": "0"})},
     (), 2, "names the stimulus ballad/S9", 0),
    ("no known format", {"notes.txt": "hello\n"}, (), 2, "notes.txt:1: in no known result format", 0),
    ("1-5 and 0-100 mixed", {"bs1116.csv": bs1116_csv(few), "mushra.csv": mushra_csv(few)}, (), 2,
     "scale; analyse ABC/HR and MUSHRA results in separate runs", 0),
    ("a grade outside the scale", {"bs1116.csv": bs1116_csv({("a", SONGS[0], "S1"): (5.0, 7.0)})}, (), 2,
     "bs1116.csv:2: grade 7.0 outside the scale", 0),
    ("unknown screening rule", {"bs1116.csv": bs1116_csv(one_trial)}, ("--screen", "loud"), 1, "--screen takes", 0),
]
for name, files, args, status, message, count in PARSING:
    report, _ = run(name, files, args, status, message, mushra=name.startswith(("mushra", "beaqlejs", "1-5")))
    if report is not None and report["grades_analysed"] != count:
        failures.append(f"{name}: {report['grades_analysed']} grades, want {count}")

# One listener, one trial: every statistic that needs more is a warning and null.
report, _ = run("one grade", {"bs1116.csv": bs1116_csv(one_trial)})
if report and (report["overall"]["anova"] is not None or report["overall"]["codecs"][0]["ci95_t"] is not None
               or not report["overall"]["warnings"]):
    failures.append("one grade: a statistic that cannot be computed was given, or no warning")

# End to end: every front end's files at once (ABC/HR pages of webMUSHRA and
# the page), the known ranking found, ABX with and without a fixed count.
files = {"bs1116.csv": bs1116_csv({k: v for k, v in grades.items() if int(k[0][8:]) < 8})}
for n in range(8, 12):
    files[f"listener{n}.json"] = page_json(grades, f"listener{n}",
                                           abx=[(True, 8)] * 7 + [(False, 8)] if n == 8 else
                                           [(True, None)] * 5 if n == 9 else None)
report, results = run("all front ends", files, ("--seed", "5", "--resamples", "2000"))
if report:
    means = {c["codec"]: c["mean"] for c in report["overall"]["codecs"]}
    ranking = sorted(means, key=means.get, reverse=True)
    if ranking != ["opus 96k", "mp3 128k", "aac 64k"]:
        failures.append(f"all front ends: ranking {ranking} from means {means}")
    for c in report["overall"]["codecs"]:
        truth = {"opus 96k": -0.3, "mp3 128k": -1.0, "aac 64k": -1.9}[c["codec"]]
        if not c["ci95_t"][0] - 0.1 < truth < c["ci95_t"][1] + 0.1:
            failures.append(f"all front ends: {c['codec']} interval {c['ci95_t']} far from {truth}")
    abx = {a["listener"]: a for a in report["abx"]}
    if abs(abx["listener8"]["p_one_sided"] - 9 / 256) > 1e-12 or not abx["listener8"]["fixed_in_advance"] \
            or abx["listener9"]["fixed_in_advance"]:
        failures.append(f"all front ends: ABX {abx}")
    again, _ = run("all front ends again", files, ("--seed", "5", "--resamples", "2000"))
    if again and again["overall"]["bootstrap"] != report["overall"]["bootstrap"]:
        failures.append("the same seed gave another bootstrap")
    rows = list(csv.DictReader(open(os.path.join(results, "ratings.csv"), newline="")))
    if len(rows) != report["grades_analysed"] or not rows[0]["file"].endswith("bs1116.csv"):
        failures.append(f"ratings.csv: {len(rows)} rows")
    # The plots: well-formed XML, then drawn by Chromium.
    plots = sorted(f for f in os.listdir(results) if f.endswith(".svg"))
    if plots != ["boxes.svg", "means-ballad.svg", "means-rock___roll.svg", "means.svg"]:
        failures.append(f"plots {plots}")
    for plot in plots:
        ET.parse(os.path.join(results, plot))
    try:
        from selenium import webdriver
        options = webdriver.ChromeOptions()
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--window-size=1000,400"):
            options.add_argument(a)
        browser = webdriver.Chrome(options=options)
        os.makedirs(shots, exist_ok=True)
        for plot in ("means.svg", "boxes.svg", "means-rock___roll.svg"):
            browser.get("file://" + os.path.join(results, plot))
            size = browser.execute_script(
                "const r = document.documentElement.getBBox(); return [r.width, r.height];")
            if size[0] < 500 or size[1] < 150:
                failures.append(f"{plot}: drawn {size}")
            # No two texts overlap on screen.
            boxes = browser.execute_script(
                "return [...document.querySelectorAll('text')].map(t => {const b = t.getBBox();"
                " return [b.x, b.y, b.width, b.height, t.textContent];});")
            for i, a in enumerate(boxes):
                for b in boxes[i + 1:]:
                    if a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]:
                        failures.append(f"{plot}: '{a[4]}' overlaps '{b[4]}'")
            browser.save_screenshot(os.path.join(shots, plot.replace(".svg", ".png")))
        browser.quit()
    except ImportError:
        print("the plots were not drawn: python3-selenium is not installed")

# Screening at each rule's threshold and one step beyond: 20 trials each.
def listener_trials(who, low_count, diffs=None):
    out = {}
    for n in range(20):
        song, name = SONGS[n % 2], list(CODECS)[n % 3]
        key = (who, song, name)
        while key in out:
            key = (key[0] + "+", song, name)
        diff = diffs[n] if diffs else -1.0
        out[(who, f"{song}", name, n)] = (4.0, 4.5) if n < low_count else (5.0, 5.0 + diff)
    return out


def ref_low_csv(rows):
    text = php_row(["session_test_id", "listener", "trial_id", "rating_reference", "rating_non_reference",
                    "rating_reference_score", "rating_non_reference_score", "rating_time", "choice_comment"])
    for (who, song, name, n), (ref, cond) in rows.items():
        ident = song.replace(" ", "_").replace("&", "_")
        text += php_row(["test", f"{who}", f"{ident}_{name}", "reference", name, ref, cond, 1000, ""])
    return text


# Each listener grades the 6 pages; ref-low:P with P = 100 * 1/6 keeps one
# low trial in six and removes two.
def six(who, low):
    return {(who, s, n, 0): ((4.0, 4.5) if i < low else (5.0, 4.0)) for i, (s, n) in
            enumerate((s, n) for s in SONGS for n in CODECS)}


rows = {**six("at", 1), **six("beyond", 2), **six("clean", 0)}
report, _ = run("ref-low threshold", {"bs1116.csv": ref_low_csv(rows)}, ("--screen", f"ref-low:{100 / 6}"))
if report and [r["listener"] for r in report["screening"][0]["removed"]] != ["beyond"]:
    failures.append(f"ref-low: removed {report['screening'][0]['removed']}")
# t-test: differences -1, -1, -1, -1, -1, +x with x chosen so that p lands
# just below and just above 5% (one-sided, 5 degrees of freedom: p 0.042
# and 0.051).
def t_rows(who, last):
    return {(who, s, n, 0): (3.0, 3.0 + (last if i == 5 else d)) for i, ((s, n), d) in
            enumerate(zip(((s, n) for s in SONGS for n in CODECS), (-1, -1, -1, -1, -1, 0)))}


rows = {**t_rows("significant", 0.9), **t_rows("not", 1.0)}
report, _ = run("t-test threshold", {"bs1116.csv": ref_low_csv(rows)}, ("--screen", "t-test"))
if report and [r["listener"] for r in report["screening"][0]["removed"]] != ["not"]:
    failures.append(f"t-test: removed {report['screening'][0]['removed']}")

shutil.rmtree(work)
for f in failures:
    print("FAIL", f)
print(f"{len(PARSING)} parsing and refusal rows, the end-to-end run, the plots and the screening rows: "
      f"{len(failures)} failed")
sys.exit(1 if failures else 0)
