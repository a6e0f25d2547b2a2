#!/usr/bin/env python3
"""Writes tests/data/kernel_counts.txt for tests/cpp/engine/ruvex_kernels_test.cpp.

The sequential permutation kernel, transcribed literally from its rules: one
standard MT19937 seeded with the low 32 bits of the batch seed, one
combination(1, N, kmax) per permutation, pathway j of size k scored on the
first k drawn positions, counted permutation by permutation (the rule below).

The chunked permutation kernel, likewise:

  * chunk plan: min(8 * max(T, 1), nperm) chunks, the first nperm mod chunks
    of them one permutation longer;
  * chunk i, starting at permutation s, draws from a standard MT19937 seeded
    with the low 32 bits of SplitMix64((seed ^ 2i) ^ s);
  * each permutation draws one sample of kmax distinct positions 1..N: when
    kmax > N / 2 (integer division) a reverse partial Fisher-Yates shuffle of
    1..N (position p from kmax - 1 down to 0 swaps with p + uniform_below(N - p),
    the sample is the first kmax entries), otherwise uniform_below(N) draws with
    repeats rejected, in draw order;
  * pathway j of size k scores the set of the first k drawn positions;
  * counting: e <= es and e >= es count (both on equality), e <= 0 and e >= 0
    count and add e, NaN counts nowhere; the sums run in permutation order
    within a chunk from 0.0, and the chunk totals are added to a zero total in
    chunk order.

The enrichment score of a set is evaluated from its definition: for members in
list order (mirrored for the deviation from the bottom), slope * W - x with
slope = (N - k) / NR, W the cumulative weight and x the misses up to the
member; the largest value, the origin's 0 and the end of the list included,
divided by N - k. With integer weights every W and x is exact, so the score is
the same whatever order the weights are summed in.

The single-pathway path: the positions R's L'Ecuyer-CMRG stream draws with
sample.int (tests/data/single_path_samples.txt, from
tools/gen_single_path_fixtures.R), each set scored by refcommon.es_walk and
counted by the rule into running values the caller passes in.

MT19937, uniform_below and combination() come from gen_combination_fixtures.py,
the counting from refcommon.Tally.

Run from the repository root: python3 tools/gen_kernel_count_fixtures.py

Blocks, one per case:
  sequential <N> <seed> <nperm> <score type: std|pos|neg>
  chunked <N> <seed> <nperm> <T>                    (score type std)
  single <seed> <N> <k> <nperm> <score type>        (es: one value, the
                                                     first line the running
                                                     values passed in)
  ranks <N weights, ranked order>
  sizes <pathway sizes>
  es <observed scores, float.hex>
  then one line per pathway: le_es ge_es le_zero ge_zero le_sum ge_sum
  (the sums as float.hex)
"""

import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gen_combination_fixtures import M32, Mt19937, combination  # noqa: E402
from refcommon import NEG, POS, SCORE_TYPE_NAMES, STD, Tally, es_walk  # noqa: E402

M64 = (1 << 64) - 1


def splitmix64(x):
    z = (x + 0x9E3779B97F4A7C15) & M64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def weights_of(ranks, members):
    # max(|r|, w_eps), w_eps = min(1e-5, smallest non-zero |r| of the sample) / 1024.
    w_min = 1e-5
    for p in members:
        a = abs(ranks[p - 1])
        if a != 0.0 and a < w_min:
            w_min = a
    w_eps = w_min * 0.0009765625
    return [max(abs(ranks[p - 1]), w_eps) for p in members]


def deviation(n, members, weights, rev):
    """Largest deviation of the set from the top (or from the bottom), >= 0."""
    k = len(members)
    nr = 0.0
    for w in weights:  # NR in draw order
        nr += w
    nk = float(n - k)
    slope = nk / nr
    pts = sorted(((n + 1 - p) if rev else p, w) for p, w in zip(members, weights))
    best = 0.0
    cum = 0.0
    for r, (pos, w) in enumerate(pts):
        cum += w
        x = float(pos - 1 - r)
        best = max(best, slope * cum - x)
    best = max(best, slope * nr - nk)  # end of the list
    return best / nk


def prefix_scores(ranks, sample, st):
    """Signed score of each prefix {sample[0..i]}."""
    n = len(ranks)
    w_all = weights_of(ranks, sample)
    out = []
    for i in range(1, len(sample) + 1):
        members = sample[:i]
        weights = w_all[:i]
        a = deviation(n, members, weights, False)
        b = deviation(n, members, weights, True)
        if st == POS:
            out.append(a)
        elif st == NEG:
            out.append(-b)
        else:
            out.append(a if a > b else (-b if a < b else 0.0))
    return out


def chunk_plan(nperm, threads):
    chunks = min(8 * max(threads, 1), nperm)
    if chunks == 0:
        return []
    base, rem = divmod(nperm, chunks)
    plan, start = [], 0
    for i in range(chunks):
        count = base + (1 if i < rem else 0)
        plan.append((start, count))
        start += count
    return plan


def draw_sample(mt, n, kmax):
    if kmax > n // 2:
        pool = list(range(1, n + 1))
        for pos in range(kmax - 1, -1, -1):
            j = pos + mt.uniform_below(n - pos)
            pool[pos], pool[j] = pool[j], pool[pos]
        return pool[:kmax]
    seen, sample = set(), []
    while len(sample) < kmax:
        x = mt.uniform_below(n)
        if x not in seen:
            seen.add(x)
            sample.append(x + 1)
    return sample


def chunked_counts(ranks, sizes, es, nperm, seed, threads):
    n = len(ranks)
    kmax = max(sizes)
    m = len(sizes)
    total = [[0, 0, 0, 0, 0.0, 0.0] for _ in range(m)]
    for i, (start, count) in enumerate(chunk_plan(nperm, threads)):
        mt = Mt19937(splitmix64((seed ^ (2 * i)) ^ start) & M32)
        scores = []  # per permutation, the kmax prefix scores
        for _ in range(count):
            scores.append(prefix_scores(ranks, draw_sample(mt, n, kmax), STD))
        for j in range(m):
            t = Tally(es[j], [s[sizes[j] - 1] for s in scores])
            tot = total[j]
            tot[0] += t.le_es
            tot[1] += t.ge_es
            tot[2] += t.le_zero
            tot[3] += t.ge_zero
            tot[4] = tot[4] + t.le_sum
            tot[5] = tot[5] + t.ge_sum
    return total


def sequential_counts(ranks, sizes, es, nperm, seed, st):
    n = len(ranks)
    kmax = max(sizes)
    mt = Mt19937(seed & M32)
    scores = [prefix_scores(ranks, combination(1, n, kmax, mt), st) for _ in range(nperm)]
    out = []
    for j in range(len(sizes)):
        t = Tally(es[j], [s[sizes[j] - 1] for s in scores])
        out.append([t.le_es, t.ge_es, t.le_zero, t.ge_zero, t.le_sum, t.ge_sum])
    return out


def test_ranks(n, zero_tail=False):
    """Integer weights in ranked order with ties, with or without a tail of
    zeros (the last tenth)."""
    out = []
    for i in range(n):
        rest = n - i
        zero = zero_tail and rest <= n // 10
        out.append(0.0 if zero else float((rest * rest // 7) * 1000 + 17))
    return out


def read_single_cases():
    """(seed, N, k, nperm, samples) per case of single_path_samples.txt."""
    cases = []
    with open(os.path.join("tests", "data", "single_path_samples.txt")) as f:
        for line in f:
            t = line.split()
            if not t:
                continue
            if t[0] == "case":
                cases.append((int(t[1]), int(t[2]), int(t[3]), int(t[4]), []))
            else:
                cases[-1][4].append([int(x) for x in t])
    return cases


# Running values the single-pathway path adds into.
SINGLE_START = [3, 4, 5, 6, -0.1, 0.3]


def single_counts(ranks, samples, es, st):
    n = len(ranks)
    acc = list(SINGLE_START)
    for s in samples:
        e = es_walk(ranks, sorted(p - 1 for p in s), n, st)[0]
        if e <= es:
            acc[0] += 1
        if e >= es:
            acc[1] += 1
        if e <= 0.0:
            acc[2] += 1
            acc[4] += e
        if e >= 0.0:
            acc[3] += 1
            acc[5] += e
    return acc


def many_pathways(ranks, seed, st):
    """160 pathways in size groups large and small; the observed scores tie
    with the first permutation's scores of the sequential stream, 0 and NaN."""
    n = len(ranks)
    group_sizes = (1, 2, 5, 9, 17, 30, 31, 40)
    first = prefix_scores(ranks, combination(1, n, 40, Mt19937(seed & M32)), st)
    sizes, es = [], []
    for j in range(160):
        # The last ten form small groups, counted without sorting.
        k = 3 + (j - 150) % 4 if j >= 150 else group_sizes[7 if j % 8 == 7 else (j * 5) % 7]
        sizes.append(k)
        e = -0.6 + 1.2 * float((j * 37) % 101) / 100.0
        if j % 11 == 0:
            e = first[k - 1]
        if j % 23 == 0:
            e = 0.0
        if j == 50:
            e = math.nan
        es.append(e)
    return sizes, es


def block(lines, header, ranks, sizes, es, rows):
    lines.append(header)
    lines.append("ranks " + " ".join(repr(r) for r in ranks))
    lines.append("sizes " + " ".join(str(k) for k in sizes))
    lines.append("es " + " ".join(float.hex(e) for e in es))
    for row in rows:
        lines.append(" ".join(str(v) for v in row[:4]) + " " +
                     float.hex(row[4]) + " " + float.hex(row[5]))


def main():
    lines = ["# generated by tools/gen_kernel_count_fixtures.py"]
    # Sequential: more than one block of kept scores (4096 permutations) for std.
    seed, n = 4242, 300
    ranks = test_ranks(n)
    for st, nperm in ((STD, 4200), (NEG, 300)):
        sizes, es = many_pathways(ranks, seed, st)
        block(lines, f"sequential {n} {seed} {nperm} {SCORE_TYPE_NAMES[st]}", ranks, sizes, es,
              sequential_counts(ranks, sizes, es, nperm, seed, st))
    # Chunked: kmax 40, rejection sampler at N 300, shuffle at N 70.
    seed, nperm = 99, 301
    for n in (300, 70):
        ranks = test_ranks(n)
        sizes, es = many_pathways(ranks, seed, STD)
        for threads in (1, 3):
            block(lines, f"chunked {n} {seed} {nperm} {threads}", ranks, sizes, es,
                  chunked_counts(ranks, sizes, es, nperm, seed, threads))
    # Single pathway on R's draws; the observed score is the first draw's, so
    # that ties occur; zero weights at the bottom of the list.
    for seed, n, k, nperm, samples in read_single_cases():
        assert len(samples) == nperm and all(len(s) == k for s in samples)
        ranks = test_ranks(n, zero_tail=True)
        for st in (STD, POS, NEG):
            es = es_walk(ranks, sorted(p - 1 for p in samples[0]), n, st)[0]
            block(lines, f"single {seed} {n} {k} {nperm} {SCORE_TYPE_NAMES[st]}", ranks, [k],
                  [es], [SINGLE_START, single_counts(ranks, samples, es, st)])
    path = os.path.join("tests", "data", "kernel_counts.txt")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
