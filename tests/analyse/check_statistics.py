"""abchr-analyse's statistics against independent answers: SciPy computing the
same statistic on the same data in this run (to 1e-9 relative), printed
tables of the studentized range, and NIST Dataplot's worked Friedman example
(Conover's lawn-grass data).

    check_statistics.py STATISTICS_PROBE
Exits 77 (skipped) where SciPy is not installed."""
import itertools
import json
import subprocess
import sys

try:
    import numpy as np
    from scipy import stats
except ImportError:
    print("skipped: SciPy is not installed (Debian: python3-scipy)")
    sys.exit(77)

RELATIVE = 1e-9
rng = np.random.default_rng(20261209)


def normal(n, mean=0.0, sd=1.0):
    return [float(v) for v in rng.normal(mean, sd, n)]


def table(blocks, means, sd=0.6, step=None):
    rows = rng.normal(0, 1, (blocks, 1)) * 0.3 + np.array(means) + rng.normal(0, sd, (blocks, len(means)))
    if step:
        rows = np.round(rows / step) * step
    return rows.tolist()


def anova_answer(t):
    x = np.array(t)
    b, k = x.shape
    grand = x.mean()
    cm, bm = x.mean(axis=0), x.mean(axis=1)
    ss_error = ((x - bm[:, None] - cm[None, :] + grand) ** 2).sum()
    df_error = (b - 1) * (k - 1)
    mse = ss_error / df_error
    f = (b * ((cm - grand) ** 2).sum() / (k - 1)) / mse
    lsd, tukey = [], []
    for i, j in itertools.combinations(range(k), 2):
        d = cm[i] - cm[j]
        lsd.append([i, j, d, 2 * stats.t.sf(abs(d) / np.sqrt(2 * mse / b), df_error)])
        tukey.append([i, j, d, stats.studentized_range.sf(abs(d) / np.sqrt(mse / b), k, df_error)])
    return {"f": f, "p": stats.f.sf(f, k - 1, df_error),
            "lsd": stats.t.ppf(0.975, df_error) * np.sqrt(2 * mse / b),
            "hsd": stats.studentized_range.ppf(0.95, k, df_error) * np.sqrt(mse / b),
            "lsd_pairs": lsd, "tukey_pairs": tukey}


def friedman_answer(t):
    x = np.array(t)
    b, k = x.shape
    chi2, p = stats.friedmanchisquare(*x.T)
    ranks = np.apply_along_axis(stats.rankdata, 1, x)
    sums = ranks.sum(axis=0)
    a1 = (ranks ** 2).sum()
    df_error = (b - 1) * (k - 1)
    t2 = (b - 1) * chi2 / (b * (k - 1) - chi2)
    spread = np.sqrt(2 * (b * a1 - (sums ** 2).sum()) / df_error)
    pairs = [[i, j, sums[i] - sums[j], 2 * stats.t.sf(abs(sums[i] - sums[j]) / spread, df_error)]
             for i, j in itertools.combinations(range(k), 2)]
    return {"chi2": chi2, "p": p, "f": t2, "p_f": stats.f.sf(t2, k - 1, df_error),
            "rank_sums": sums.tolist(), "pairs": pairs}


def t_answer(v):
    low, high = stats.t.interval(0.95, len(v) - 1, loc=np.mean(v), scale=stats.sem(v))
    return {"mean": np.mean(v), "low": low, "high": high}


def ttest_answer(v):
    r = stats.ttest_1samp(v, 0, alternative="less")
    return {"t": r.statistic, "p": r.pvalue}


def quartile_answer(v):
    q1, med, q3 = np.percentile(v, [25, 50, 75])
    return {"q1": q1, "median": med, "q3": q3}


cases = []  # (name, case for the probe, answer, relative tolerance)


def add(name, case, answer, tolerance=RELATIVE):
    cases.append((name, case, answer, tolerance))


# SciPy integrates the studentized range to an absolute error near 1e-11: in
# the far tail its p-values are that floor, not digits (it gives 3.6e-14 or 0
# where the tail is 1e-20).
SCIPY_TUKEY_FLOOR = 1e-11


for n in (2, 3, 10, 57):
    v = normal(n, -1.2, 0.8)
    add(f"t interval n={n}", {"kind": "t_interval", "values": v}, t_answer(v))
    add(f"t-test below zero n={n}", {"kind": "t_test", "values": v}, ttest_answer(v))
    add(f"quartiles n={n}", {"kind": "quartiles", "values": v}, quartile_answer(v))
for blocks, means, step in ((8, [-0.2, -1.0, -1.6], None), (25, [0, -0.3, -0.5, -1.2, -2.0], 0.1),
                            (100, [-0.1 * i for i in range(9)], 0.1)):
    t = table(blocks, means, step=step)
    add(f"anova {blocks}x{len(means)}", {"kind": "anova", "table": t}, anova_answer(t))
    add(f"friedman {blocks}x{len(means)}", {"kind": "friedman", "table": t}, friedman_answer(t))
for q, k, df in ((0.5, 2, 5), (3.877, 3, 10), (2.0, 9, 16000), (4.5, 9, 792), (1.0, 2, 2), (8.0, 5, 3),
                 (6.0, 20, 60), (3.0, 4, 20)):
    add(f"studentized range sf q={q} k={k} df={df}", {"kind": "ptukey", "q": q, "k": k, "df": df},
        {"sf": stats.studentized_range.sf(q, k, df)})
# The shipped rule against the literal one that it replaced (narrow pieces,
# long double), over the tail's whole range: 12 digits or more.
grid = [{"kind": "ptukey_literal", "q": q, "k": k, "df": df} for q in (0.7, 2, 4.4, 7, 14) for k in (2, 9, 20)
        for df in (1, 3, 7, 40, 792, 15992)]
literal = json.loads(subprocess.run([sys.argv[1]], input=json.dumps(grid), capture_output=True, text=True,
                                    check=True).stdout)
for case, want in zip(grid, literal):
    add(f"studentized range sf q={case['q']} k={case['k']} df={case['df']} against the literal rule",
        {**case, "kind": "ptukey"}, want, 1e-12)
for p, k, df in ((0.95, 3, 10), (0.95, 9, 99), (0.99, 5, 20)):
    add(f"studentized range quantile p={p} k={k} df={df}", {"kind": "qtukey", "p": p, "k": k, "df": df},
        {"q": stats.studentized_range.ppf(p, k, df)})
for n, k in ((16, 12), (16, 16), (10, 5), (100, 60), (20, 0)):
    add(f"binomial tail {k} of {n}", {"kind": "binomial", "n": n, "k": k}, {"p": stats.binom.sf(k - 1, n, 0.5)})

# Printed tables of the upper 5% and 1% points of the studentized range
# (three decimals, as tables print them).
for p, k, df, printed in ((0.95, 2, 10, 3.151), (0.95, 3, 10, 3.877), (0.95, 4, 20, 3.958),
                          (0.95, 5, 20, 4.232), (0.95, 10, 30, 4.824), (0.99, 3, 10, 5.270),
                          (0.99, 2, 5, 5.702)):
    add(f"printed table q({p}; {k}, {df})", {"kind": "qtukey", "p": p, "k": k, "df": df}, {"q": printed}, 0.5e-3 / printed)

# NIST Dataplot's Friedman example: 12 homeowners rank 4 grasses (Conover,
# Practical Nonparametric Statistics, 3rd ed., p. 372): T1 = 8.097, T2 = 3.19,
# rank sums 38, 23.5, 24.5, 34.
lawn = [[4, 3, 2, 1], [4, 2, 3, 1], [3, 1.5, 1.5, 4], [3, 1, 2, 4], [4, 2, 1, 3], [2, 2, 2, 4], [1, 3, 2, 4],
        [2, 4, 1, 3], [3.5, 1, 2, 3.5], [4, 1, 3, 2], [4, 2, 3, 1], [3.5, 1, 2, 3.5]]
add("NIST Friedman T1", {"kind": "friedman", "table": lawn}, {"chi2": 8.097, "rank_sums": [38, 23.5, 24.5, 34]},
    0.0005 / 8.097)
add("NIST Friedman T2", {"kind": "friedman", "table": lawn}, {"f": 3.19}, 0.005 / 3.19)
add("Holm's adjustment", {"kind": "holm", "p": [0.01, 0.04, 0.03, 0.005]}, {"p": [0.03, 0.06, 0.06, 0.02]})

probe = subprocess.run([sys.argv[1]], input=json.dumps([c for _, c, _, _ in cases]), capture_output=True,
                       text=True, check=True)
results = json.loads(probe.stdout)


def compare(got, want, tolerance, floor=1e-15):
    if isinstance(want, (list, tuple)):
        return len(got) == len(want) and all(compare(g, w, tolerance, floor) for g, w in zip(got, want))
    return abs(got - want) <= tolerance * abs(want) + floor


failed = 0
for (name, _, answer, tolerance), result in zip(cases, results):
    for key, want in answer.items():
        floor = SCIPY_TUKEY_FLOOR if key == "tukey_pairs" else 1e-15
        if not compare(result[key], want, tolerance, floor):
            failed += 1
            print(f"FAIL {name}: {key} = {result[key]}, independent answer {want}")

# The bootstrap, checked by its distribution: on normal data and many
# resamples its percentile interval approaches the t interval.
v = normal(400, -1.0, 1.0)
boot = json.loads(subprocess.run([sys.argv[1]], input=json.dumps(
    [{"kind": "bootstrap", "table": [[x] for x in v], "resamples": 40000, "seed": 7}]),
    capture_output=True, text=True, check=True).stdout)[0]
t = t_answer(v)
half = (t["high"] - t["low"]) / 2
for key, got in (("low", boot["low"][0]), ("high", boot["high"][0])):
    if abs(got - t[key]) > 0.04 * half:
        failed += 1
        print(f"FAIL bootstrap {key} {got} against the t interval's {t[key]}")
print(f"{len(cases)} cases against SciPy and published answers, the bootstrap against the t interval: "
      f"{failed} failed")
sys.exit(1 if failed else 0)
