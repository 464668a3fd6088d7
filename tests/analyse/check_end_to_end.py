"""From synthesised music to the known ranking: abchr-prepare makes a test
folder (with MUSHRA pages) from two songs encoded by ffmpeg, named as a
spreadsheet formula would be, a seeded
simulation of listeners with known true differences plus noise grades it in
every front end's result format, written from the folder's own key.csv, and
abchr-analyse finds the ranking: once on the 1-5 scale (webMUSHRA's
bs1116.csv and the listening page's JSON), once on 0-100 (webMUSHRA's
mushra.csv and beaqlejs's downloads).

    check_end_to_end.py ABCHR_PREPARE ABCHR_ANALYSE
Exits 77 (skipped) without ffmpeg."""
import csv
import hashlib
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import wave

prepare, analyse = sys.argv[1], sys.argv[2]
if not shutil.which("ffmpeg"):
    print("skipped: no ffmpeg")
    sys.exit(77)
# The encoders, and the true difference grade that the simulation gives each.
CODECS = {"ogg": (["-c:a", "libvorbis", "-q:a", "6"], -0.2), "mp3": (["-c:a", "libmp3lame", "-b:a", "128k"], -0.9),
          "m4a": (["-c:a", "aac", "-b:a", "48k"], -1.8)}
LISTENERS = 6
work = tempfile.mkdtemp(prefix="abchr-end-to-end-")
failures = []


def make_folder():
    test = os.path.join(work, "TEST")
    # Names that key.csv guards against a spreadsheet's formulas.
    for n, song in enumerate(("=ballad", "'-rock")):
        rng = random.Random(n)
        original = os.path.join(work, song + ".wav")
        with wave.open(original, "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(44100)
            a, frames = 0.0, bytearray()
            for i in range(3 * 44100):
                a = 0.97 * a + rng.gauss(0, 0.05)
                tone = 0.3 * math.sin(2 * math.pi * (220 + 110 * n) * i / 44100) * (0.6 + 0.4 * math.sin(i / 9000))
                frames += struct.pack("<2h", int(20000 * (tone + a)), int(20000 * (0.5 * tone - a)))
            w.writeframes(bytes(frames))
        encoded = [os.path.join(work, f"{song}.{ext}") for ext in CODECS]
        for ext, out in zip(CODECS, encoded):
            subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", original, *CODECS[ext][0], out], check=True)
        subprocess.run([prepare, "-q", "-o", test, "--page", "mushra", original, *encoded], check=True)
    with open(os.path.join(test, "key.csv"), newline="", encoding="utf-8") as f:
        # The guard is one more leading "'"; a reader takes it off.
        return test, [{k: v[1:] if v.lstrip("'")[:1] in ("=", "+", "-", "@") and v[:1] == "'" else v
                       for k, v in row.items()} for row in csv.DictReader(f)]


def simulate(key, seed):
    """(listener, key row, reference grade, condition grade) on 1-5 for every condition."""
    rnd = random.Random(seed)
    for n in range(LISTENERS):
        for row in key:
            if row["name"] != "reference":
                ref = min(5.0, round(5 - abs(rnd.gauss(0, 0.1)), 1))
                truth = CODECS[row["input"].rsplit(".", 1)[1]][1]
                yield f"listener{n}", row, ref, max(1.0, min(5.0, round(ref + truth + rnd.gauss(0, 0.3), 1)))


def csv_text(rows):
    with open(os.path.join(work, "rows.csv"), "w", newline="") as f:
        csv.writer(f, lineterminator="\n").writerows(rows)
    with open(os.path.join(work, "rows.csv")) as f:
        return f.read()


def result_files(test, key, grades):
    """Half the listeners in each format of one scale: {scale: {file name: text}}."""
    first = lambda who: int(who[8:]) < LISTENERS // 2
    bs1116 = [["session_test_id", "listener", "trial_id", "rating_reference", "rating_non_reference",
               "rating_reference_score", "rating_non_reference_score", "rating_time", "choice_comment"]]
    mushra = [["session_test_id", "listener", "session_uuid", "trial_id", "rating_stimulus", "rating_score",
               "rating_time", "rating_comment"]]
    pages, beaqlejs, seen = {}, {}, set()
    folder_id = json.load(open(os.path.join(test, "folder.json")))["id"]
    sums = {}
    for row in key:
        with open(os.path.join(test, "public", row["file"]), "rb") as f:
            sums[row["song"] + "/" + row["name"]] = hashlib.sha256(f.read()).hexdigest()
    for who, row, ref, cond in grades:
        if first(who):
            bs1116.append(["test", who, row["webmushra_page"], "reference", row["name"], ref, cond, 9000, ""])
            if (who, row["song"]) not in seen:
                mushra.append(["test", who, "u-" + who, row["webmushra_mushra_page"], "reference", 100, 9000, ""])
            mushra.append(["test", who, "u-" + who, row["webmushra_mushra_page"], row["name"], round(cond * 20), 9000, ""])
        else:
            page = pages.setdefault(who, {"format": "abchr-listen-results", "version": 1, "folder_id": folder_id,
                                          "stimuli": sums, "session_id": who, "nickname": who, "trials": []})
            page["trials"].append({"kind": "abchr", "song": row["song"], "stimulus": row["name"],
                                   "reference_side": "B", "grades": {"B": ref, "C": cond},
                                   "moved": {"B": True, "C": True}, "seconds": 20})
            sets = beaqlejs.setdefault(who, {})
            test_set = sets.setdefault(row["song"], {"TestID": row["beaqlejs_test_id"], "Runtime": 30000,
                                                     "rating": {"Reference": 100}, "filename": {}})
            test_set["rating"][row["name"]] = round(cond * 20)
        seen.add((who, row["song"]))
    impairment = {"bs1116.csv": csv_text(bs1116), **{f"{w}.json": json.dumps(p) for w, p in pages.items()}}
    mushra_scale = {"mushra.csv": csv_text(mushra), **{
        f"2026-12-09_{w}.txt": json.dumps([*s.values(), {"UserName": w, "UserEmail": "", "UserComment": ""}])
        for w, s in beaqlejs.items()}}
    return {"1-5": impairment, "0-100": mushra_scale}


test, key = make_folder()
# The listeners grade the encodings; the MUSHRA anchors are left ungraded.
key = [row for row in key if not row["codec"].startswith("anchor-")]
grades = list(simulate(key, 7))
for scale, files in result_files(test, key, grades).items():
    folder = os.path.join(work, scale)
    os.makedirs(folder)
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", newline="") as f:
            f.write(text)
    out = os.path.join(work, "out-" + scale)
    p = subprocess.run([analyse, "-q", "--resamples", "1000", "-o", out, test, folder], capture_output=True, text=True)
    if p.returncode != 0:
        failures.append(f"{scale}: status {p.returncode}: {p.stderr}")
        continue
    with open(os.path.join(out, "report.json")) as f:
        report = json.load(f)
    if report["grades_analysed"] != len(grades):
        failures.append(f"{scale}: {report['grades_analysed']} grades analysed of {len(grades)}")
    means = {c["codec"]: c["mean"] for c in report["overall"]["codecs"]}
    truth = {row["codec"]: CODECS[row["input"].rsplit(".", 1)[1]][1] for row in key if row["name"] != "reference"}
    ranking = sorted(means, key=means.get, reverse=True)
    if len(ranking) != len(CODECS) or ranking != sorted(means, key=lambda label: -truth[label.split(" ")[0]]):
        failures.append(f"{scale}: ranking {ranking}, the truth {truth}")
shutil.rmtree(work)
for f in failures:
    print("FAIL", f)
print(f"end to end on both scales: {len(failures)} failed")
sys.exit(1 if failures else 0)
