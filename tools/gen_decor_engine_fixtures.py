#!/usr/bin/env python3
"""Reference values of the decor engine, transcribed operation by operation in
CPython (IEEE doubles, libm exp/pow as CPython calls them).

Writes tests/data/decor_engine_fixtures.txt, one record per line, tab-separated,
doubles as float.hex():

  penalty  <formula> <alpha> <gamma> <threshold> <floor> <eps> <scores;...> <r> <penalty|ERR>
  pct      <values;...> <q> <result|NONE>
  es       <n> <score_type> <ranks;...> <hits;...> <weights;...> <es> <peak>
  seed     <group|tail> <size_or_index> <seed> <seed32>
  tail     <n> <score_type> <sample_size> <seed32> <es> <target> <ranks;...> <weights;...> <tail|NONE>

The tail records come from a literal port of the multilevel splitting estimate
on the standard MT19937 and combination() of tools/gen_combination_fixtures.py.

The enrichment scores are also checked here against a brute-force walk over
every ranked position (to 1e-12), so the transcription itself is sound.
"""
import math
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refcommon import es_walk  # noqa: E402

FORMULAS = ["raw-rational", "scaled-rational", "q75-scaled-rational", "exp-scaled",
            "odds-rational", "threshold-rational", "quantile-rational",
            "floor-scaled-rational", "power-retention"]
M64 = (1 << 64) - 1


def percentile(v, q):
    n = len(v)
    if n == 0:
        return None
    if n == 1:
        return v[0]
    q = 0.0 if q < 0 else (1.0 if q > 1 else q)
    pos = q * (n - 1)
    lo, hi = math.floor(pos), math.ceil(pos)
    if lo == hi:
        return v[lo]
    w = pos - lo
    return (1.0 - w) * v[lo] + w * v[hi]


def penalty(f, a, g, t, fl, e, scores, r):
    med = percentile(scores, 0.5)
    q75 = percentile(scores, 0.75)
    if not math.isfinite(r):
        return None
    if f == 0:
        p = 1.0 / (r * a + 1.0)
    elif f == 1:
        if med is None: return None
        p = 1.0 / (a * (r / (med + e)) + 1.0)
    elif f == 2:
        if q75 is None: return None
        p = 1.0 / (a * (r / (q75 + e)) + 1.0)
    elif f == 3:
        if med is None: return None
        p = math.exp(-(a * (r / (med + e))))
    elif f == 4:
        c = min(max(r, 0.0), 1.0 - e)
        p = 1.0 / ((c / (e + (1.0 - c))) * a + 1.0)
    elif f == 5:
        p = 1.0 / (a * max(r - t, 0.0) + 1.0)
    elif f == 6:
        n = len(scores)
        if n == 0: return None
        if n == 1:
            u = 1.0
        else:
            lt = sum(1 for x in scores if x < r)
            le = sum(1 for x in scores if x <= r)
            u = min(1.0, float(lt + max(le - 1, 0)) * 0.5 / float(n - 1))
        p = 1.0 / (u * a + 1.0)
    elif f == 7:
        if med is None: return None
        p = fl + (1.0 - fl) * (1.0 / (a * (r / (med + e)) + 1.0))
    else:
        base = 1.0 - min(max(r, 0.0), 1.0)
        p = 1.0 if g == 0.0 else math.pow(base, g)  # C pow(x, 0) = 1 as well
    if not (math.isfinite(p) and p >= 0.0):
        return None
    return p


def es_brute(ranks, hits, w, n, st):
    """Walks every ranked position: up by the hit's share, down by 1/(n-k)."""
    k = len(hits)
    hw = dict(zip(hits, w))
    nr = sum(abs(ranks[h]) * hw[h] for h in hits)
    run, mx, mn = 0.0, -math.inf, math.inf
    for pos in range(n):
        if pos in hw:
            run += (abs(ranks[pos]) * hw[pos] / nr) if nr != 0 else 1.0 / k
            mx = max(mx, run)
        else:
            run -= 1.0 / (n - k)
            mn = min(mn, run)
    mx = max(mx, 0.0)
    mn = min(mn, 0.0)
    return {0: mx if mx > -mn else mn, 1: mx, 2: mn}[st]


def mix(z):
    z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M64
    z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M64
    return z ^ (z >> 31)


def seed32(kind, x, seed):
    c = 0x9e3779b97f4a7c15 if kind == "group" else 0x9e3779b97f59be58
    z = mix(((x + c) & M64) ^ seed)
    s = (z >> 32) ^ (z & 0xFFFFFFFF)
    if kind == "group":
        return 1 if s == 0 else s
    return 1 if s <= 1 else s


def tail(ranks, w, n, st, sample_size, s32, es, target):
    from gen_combination_fixtures import Mt19937, combination
    k = len(w)
    if k == 0 or k >= n or not math.isfinite(es) or es == 0.0:
        return 1.0
    mt = Mt19937(s32)
    sp = max(sample_size, 3)
    l_target = math.log(target) if target > 0 else -math.inf
    neg = es < 0
    t = abs(es)

    def score(g):
        e = es_walk(ranks, g, n, st, w)[0]
        return -e if neg else e

    pop = []
    for _ in range(sp):
        g = sorted(combination(0, n - 1, k, mt))
        pop.append((g, score(g)))
    levels, prev, lp, h = 0, -math.inf, 0.0, sp // 2
    goal = max(k // 2, 1)
    limit = 16 * goal * max(k, 8)
    while True:
        pop.sort(key=lambda x: x[1])  # stable
        med = pop[h][1]
        if not math.isfinite(med):
            return None
        if med >= t:
            c = sum(1 for _, x in pop if x >= t)
            if c == 0:
                return None
            hs = 0.0
            for i in range(c, sp + 1):
                hs += -1.0 / i
            return min(1.0, math.exp(lp + hs))
        levels += 1
        m = sum(1 for _, x in pop if x < med)
        if m == 0:
            while m < sp and pop[m][1] == pop[0][1]:
                m += 1
            if m == sp:
                return None
        level = pop[m - 1][1]
        if level <= prev:
            return None
        for i in range(sp - m + 1, sp + 1):
            lp += -1.0 / i
        if target > 0 and lp < l_target:
            return min(1.0, math.exp(lp))
        surv = pop[m:]
        new = []
        for _ in range(sp):
            g, sc = surv[mt.uniform_below(sp - m)]
            g = list(g)
            acc = att = 0
            while acc < goal and att < limit:
                att += 1
                slot = mt.uniform_below(k)
                j = mt.uniform_below(n)
                if j == g[slot]:
                    if sc >= level:
                        acc += 1
                    continue
                if j in g:
                    continue
                cand = sorted(g[:slot] + g[slot + 1:] + [j])
                cs = score(cand)
                if cs >= level:
                    g, sc = cand, cs
                    acc += 1
            new.append((g, sc))
        pop = new
        prev = level
        if levels >= 256:
            return None


def hx(x):
    return float(x).hex()


def main(out):
    rng = random.Random(20261207)
    lines = []
    score_sets = [[], [0.25], [0.0, 0.0625, 0.125, 0.5, 0.5, 0.75, 1.0],
                  sorted(rng.random() for _ in range(23))]
    rs = [0.0, -0.0, 0.03, 0.04, 0.05, 0.0625, 0.125, 0.3, 0.5, 0.75, 1.0, 1.5, -0.25, -2.0,
          1e-300, 0.9999999]
    params = [(60.0, 1.0, 0.04, 0.0, 1e-12), (2.3025850929940455, 0.0, 0.0, 0.3, 1e-12),
              (22.0, 2.5, 0.5, 0.9, 0.5), (0.0, 0.5, 0.0, 0.0, 1.0), (3.0, 1.0, 0.0, 0.0, 2.0)]
    for f in range(9):
        for (a, g, t, fl, e) in params:
            for scores in score_sets:
                for r in rs:
                    p = penalty(f, a, g, t, fl, e, scores, r)
                    lines.append("\t".join(["penalty", FORMULAS[f], hx(a), hx(g), hx(t), hx(fl),
                                            hx(e), ";".join(hx(x) for x in scores), hx(r),
                                            "ERR" if p is None else hx(p)]))
    for vals in [[], [7.0], [1.0, 2.0, 3.0, 4.0], sorted(rng.random() for _ in range(10))]:
        for q in [-1.0, 0.0, 0.1, 0.25, 0.5, 0.75, 0.9, 1.0, 2.0]:
            p = percentile(vals, q)
            lines.append("\t".join(["pct", ";".join(hx(x) for x in vals), hx(q),
                                    "NONE" if p is None else hx(p)]))
    for case in range(60):
        n = rng.choice([2, 3, 5, 20, 57, 200])
        k = rng.randint(1, n)
        ranks = [float(rng.choice([0, rng.randint(-1000, 1000), rng.randint(-10**6, 10**6)]))
                 for _ in range(n)]
        hits = sorted(rng.sample(range(n), k))
        kind = case % 4
        if kind == 0:
            w = [1.0] * k
        elif kind == 1:
            w = [0.0] * k
        else:
            w = [rng.choice([0.0, 1.0, rng.random(), 1.0 / (rng.random() * 60 + 1)]) for _ in range(k)]
        for st in range(3):
            es, peak = es_walk(ranks, hits, n, st, w)
            if k < n and not (st == 0 and es == 0.0):
                b = es_brute(ranks, hits, w, n, st)
                assert abs(b - es) <= 1e-12, (case, st, es, b)
            lines.append("\t".join(["es", str(n), str(st), ";".join(hx(x) for x in ranks),
                                    ";".join(map(str, hits)), ";".join(hx(x) for x in w),
                                    hx(es), str(peak)]))
    for seed in [0, 1, 42, 0xFFFFFFFFFFFFFFFF, 0x9e3779b97f4a7c15, 123456789012345]:
        for x in [0, 1, 2, 5, 15, 100, 2000]:
            for kind in ["group", "tail"]:
                lines.append("\t".join(["seed", kind, str(x), str(seed), str(seed32(kind, x, seed))]))
    for s32, n, k, st, sample, target, es_from in [
            (1, 30, 4, 0, 7, 0.0, "top"), (99991, 30, 4, 1, 11, 1e-4, "top"),
            (3469685688, 40, 6, 0, 9, 0.0, "bottom"), (7, 25, 3, 2, 5, 1e-3, "bottom"),
            (123, 30, 4, 0, 7, 0.0, "zero"), (5, 12, 11, 0, 5, 0.0, "top")]:
        ranks = [float(rng.randint(0, 10**6)) for _ in range(n)]
        ranks.sort(reverse=True)
        w = [rng.choice([1.0, 0.5, 1.0 / (rng.random() * 60 + 1)]) for _ in range(k)]
        if es_from == "top":
            es = es_walk(ranks, list(range(k)), n, st, w)[0] * 0.7
        elif es_from == "bottom":
            es = es_walk(ranks, list(range(n - k, n)), n, st, w)[0] * 0.45
        else:
            es = 0.0
        r = tail(ranks, w, n, st, sample, s32, es, target)
        lines.append("\t".join(["tail", str(n), str(st), str(sample), str(s32), hx(es), hx(target),
                                ";".join(hx(x) for x in ranks), ";".join(hx(x) for x in w),
                                "NONE" if r is None else hx(r)]))
    with open(out, "w") as fh:
        fh.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/decor_engine_fixtures.txt")
