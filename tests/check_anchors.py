"""check_anchors.py TEST SONG: the song's MUSHRA anchors, read by Python's
wave module and measured by SciPy, are as long as the reference, at lag 0
against it, and at least 60 dB below it in every band from the cut-off up
(Welch's estimate, Kaiser window of beta 20, whose leakage lies near 150 dB
down). Prints the figures; exits 1 when an anchor fails."""

import csv
import sys
import wave

import numpy as np
from scipy import signal

CUTOFFS = {"anchor-3.5kHz": 3500.0, "anchor-7kHz": 7000.0}


def read(path):
    with wave.open(path, "rb") as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, w.getnchannels())
        return w.getframerate(), data.astype(np.float64)


def power(x, rate):
    f, p = signal.welch(x, rate, window=("kaiser", 20), nperseg=8192, axis=0)
    return f, p.sum(axis=1)


def main(test, song):
    with open(f"{test}/key.csv", newline="") as key:
        files = {r["codec"]: f"{test}/public/{r['file']}" for r in csv.DictReader(key) if r["song"] == song}
    rate, reference = read(files[""])
    f, ref_power = power(reference, rate)
    failed = 0
    for codec, cutoff in CUTOFFS.items():
        anchor = read(files[codec])[1]
        lag = signal.correlation_lags(len(anchor), len(reference))[
            np.argmax(signal.correlate(anchor[:, 0], reference[:, 0], method="fft"))]
        stop = f >= cutoff + 6.5 * rate / 8192  # beyond the window's main lobe
        down = np.min(10 * np.log10(ref_power[stop] / power(anchor, rate)[1][stop]))
        print(f"{codec}: {len(anchor)} frames (reference {len(reference)}), lag {lag}, {down:.1f} dB down")
        failed += len(anchor) != len(reference) or lag != 0 or down < 60
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
