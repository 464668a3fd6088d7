"""The MUSHRA anchors of one song in a test folder, measured by NumPy and
SciPy on the served files as Python's wave module reads them: each anchor
as long as the reference, at lag 0 against it, and at least 60 dB below it
in every band from its cut-off up.

Usage: check_anchors.py TEST SONG. Prints each anchor's figures; exits 1
naming the first that fails."""

import csv
import sys
import wave

import numpy as np
from scipy import signal

CUTOFFS = {"anchor-3.5kHz": 3500.0, "anchor-7kHz": 7000.0}
STOPBAND_DB = 60.0


def read(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2 and w.getnchannels() == 2
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, 2)
        return w.getframerate(), data.astype(np.float64)


def band_power(x, rate):
    # Welch's average with a Kaiser window of beta 20, whose leakage lies
    # near 150 dB down: what the estimate finds in the stopband is the file's.
    f, p = signal.welch(x, rate, window=("kaiser", 20), nperseg=8192, axis=0)
    return f, p.sum(axis=1)


def main(test, song):
    with open(f"{test}/key.csv", newline="") as key:
        rows = [r for r in csv.DictReader(key) if r["song"] == song]
    files = {r["codec"]: f"{test}/public/{r['file']}" for r in rows}
    rate, reference = read(files[""])
    f, ref_power = band_power(reference, rate)
    # The window's main lobe reaches 6.5 bins to either side of a bin.
    lobe = 6.5 * rate / 8192
    failed = []
    for codec, cutoff in CUTOFFS.items():
        if codec not in files:
            failed.append(f"{codec}: not in key.csv")
            continue
        _, anchor = read(files[codec])
        lags = signal.correlation_lags(len(anchor), len(reference))
        xcorr = signal.correlate(anchor[:, 0], reference[:, 0], method="fft")
        lag = int(lags[np.argmax(xcorr)])
        _, power = band_power(anchor, rate) if len(anchor) == len(reference) else (None, None)
        stop = f >= cutoff + lobe
        down = float(np.min(10 * np.log10(ref_power[stop] / power[stop]))) if power is not None else 0.0
        print(f"{codec}: {len(anchor)} frames (reference {len(reference)}), lag {lag}, "
              f"stopband from {cutoff + lobe:.0f} Hz at least {down:.1f} dB below the reference")
        if len(anchor) != len(reference) or lag != 0 or down < STOPBAND_DB:
            failed.append(codec)
    if failed:
        print("failed: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
