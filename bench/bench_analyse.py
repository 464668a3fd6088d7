"""abchr-analyse against SciPy in the same run, on a large public test: 100
listeners x 20 songs x 9 codecs, 10,000 bootstrap resamples. SciPy computes
the same statistics per song and over all songs: scipy.stats.bootstrap of
every codec's mean, friedmanchisquare, tukey_hsd and ttest_1samp. Prints both
times and abchr-analyse's as a share of SciPy's (the goal: at most 0.1).

    /usr/bin/python3 bench/bench_analyse.py ABCHR_ANALYSE [LISTENERS SONGS CODECS RESAMPLES]"""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import stats

program = sys.argv[1]
listeners, songs, codecs, resamples = (int(a) for a in (sys.argv[2:6] if len(sys.argv) > 2 else (100, 20, 9, 10000)))
work = tempfile.mkdtemp(prefix="abchr-bench-analyse-")
rng = np.random.default_rng(1)
test = os.path.join(work, "TEST")
os.makedirs(test)
rows = [["song", "name", "file", "input", "codec", "bitrate", "sha256", "webmushra_page", "webmushra_mushra_page",
         "beaqlejs_test_id"]]
for s in range(songs):
    rows.append([f"song{s}", "reference", "", "", "", "", "", "", "", f"song{s}"])
    for c in range(codecs):
        rows.append([f"song{s}", f"S{c + 1}", "", "", f"codec{c}", "", "", f"song{s}_S{c + 1}", "", f"song{s}"])
out = io.StringIO()
csv.writer(out, lineterminator="\r\n").writerows(rows)
open(os.path.join(test, "key.csv"), "w", newline="").write(out.getvalue())
json.dump({"id": "0" * 32}, open(os.path.join(test, "folder.json"), "w"))
grades = np.clip(np.round(5 - rng.uniform(0, 0.2, (listeners, songs, codecs)) * 0 - 0.2 * np.arange(codecs)
                          + rng.normal(0, 0.5, (listeners, songs, codecs)), 1), 1, 5)
lines = ["session_test_id,listener,trial_id,rating_reference,rating_non_reference,rating_reference_score,"
         "rating_non_reference_score,rating_time,choice_comment"]
for n in range(listeners):
    for s in range(songs):
        for c in range(codecs):
            lines.append(f"t,l{n},song{s}_S{c + 1},reference,S{c + 1},5,{grades[n, s, c]:.1f},1000,")
open(os.path.join(work, "bs1116.csv"), "w").write("\n".join(lines) + "\n")
diff = np.round(grades, 1) - 5

start = time.perf_counter()
subprocess.run([program, "-q", "--resamples", str(resamples), test, os.path.join(work, "bs1116.csv")], check=True)
ours = time.perf_counter() - start

start = time.perf_counter()
parts = [diff.reshape(listeners * songs, codecs)] + [diff[:, s, :] for s in range(songs)]
for table in parts:
    for c in range(codecs):
        stats.bootstrap((table[:, c],), np.mean, n_resamples=resamples, method="percentile", random_state=1)
        stats.ttest_1samp(table[:, c], 0)
    stats.friedmanchisquare(*table.T)
    stats.tukey_hsd(*table.T)
scipy_time = time.perf_counter() - start
shutil.rmtree(work)
print(f"abchr-analyse {ours:.2f} s, SciPy {scipy_time:.2f} s, ratio {ours / scipy_time:.3f} "
      f"({listeners} listeners x {songs} songs x {codecs} codecs, {resamples} resamples)")
