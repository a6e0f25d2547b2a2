"""CPython transcription of the engine's core arithmetic, shared by the fixture
generators: ranking, integer weights, the enrichment score walk, the leading
edge, the permutation tallies of mode "simple" and the BH adjustment.

Every step follows the order the library computes it in: sums are explicit
left-to-right loops (never sum(), which compensates from Python 3.12 on, nor
numpy, which sums pairwise) and math.pow is the C library's pow, so the values
agree bit for bit.
"""
import math

# Score types, numbered as the library numbers them.
STD, POS, NEG = 0, 1, 2
SCORE_TYPE_NAMES = ("std", "pos", "neg")

I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1


def rank(scores):
    # Score descending, ties in input order, NaN after every number.
    return sorted(range(len(scores)),
                  key=lambda i: (1, 0.0) if math.isnan(scores[i]) else (0, -scores[i]))


def cpow(x, p):
    try:
        return math.pow(x, p)
    except OverflowError:
        return math.inf


def to_i64(x):
    # nearbyint (ties to even) then a saturating cast, NaN -> 0.
    if math.isnan(x):
        return 0
    if math.isinf(x):
        return I64_MAX if x > 0 else I64_MIN
    return max(I64_MIN, min(I64_MAX, round(x)))


def integer_weights(ranked_scores, p):
    """|score|^p scaled so the total is about 2^30 and rounded to integers.

    Returns the float weights, the integer weights and their total modulo 2^64.
    """
    weights = [cpow(abs(s), p) for s in ranked_scores]
    total = 0.0
    for w in weights:
        total += w
    try:
        factor = 1073741824.0 / total
    except ZeroDivisionError:
        factor = math.inf
    if factor >= 1.0:
        factor = math.floor(factor) if math.isfinite(factor) else factor
    scaled = [to_i64(w * factor) for w in weights]
    tot = 0
    for s in scaled:
        tot = (tot + s) % (1 << 64)
    return weights, scaled, tot


def es_walk(ranks, hits, n, st, weights=None):
    """Enrichment score and peak position of the sorted hit positions.

    Each hit steps up by its share of sum |rank| (times its weight, if given),
    each miss down by 1/(n-k); returns (es, peak position).
    """
    k = len(hits)
    if k == 0:
        return 0.0, 0
    if n == k:
        return 0.0, hits[0]

    def share(j):
        c = abs(ranks[hits[j]])
        return c if weights is None else c * weights[j]

    nr = 0.0
    for j in range(k):
        nr += share(j)
    nmk = float(n - k)
    step = 1.0 / k
    max_top, j_max = -math.inf, 0
    min_bottom, j_min = math.inf, 0
    cum = 0.0
    for j, h in enumerate(hits):
        misses = float(h - j)
        if nr != 0.0:
            c = share(j)
            cum += c
            top = cum / nr - misses / nmk
            bottom = top - c / nr
        else:
            top = step * float(j + 1) - misses / nmk
            bottom = top - step
        if top > max_top:
            max_top, j_max = top, j
        if bottom < min_bottom:
            min_bottom, j_min = bottom, j
    if st == POS:
        return max_top, hits[j_max]
    if st == NEG:
        return min_bottom, hits[j_min]
    if max_top == -min_bottom:
        return 0.0, hits[0]
    if max_top > -min_bottom:
        return max_top, hits[j_max]
    return min_bottom, hits[j_min]


def leading_edge(hits, peak, st, es):
    if st == POS or (st == STD and es > 0):
        return [h for h in hits if h <= peak]
    if st == NEG or (st == STD and es < 0):
        return [h for h in reversed(hits) if h >= peak]
    return []


class Tally:
    """Counts of the random-set scores against the observed one and zero."""

    def __init__(self, es, sample_scores):
        self.le_es = self.ge_es = self.le_zero = self.ge_zero = 0
        self.le_sum = self.ge_sum = 0.0
        for e in sample_scores:
            if e <= es:
                self.le_es += 1
            if e >= es:
                self.ge_es += 1
            if e <= 0.0:
                self.le_zero += 1
                self.le_sum += e
            if e >= 0.0:
                self.ge_zero += 1
                self.ge_sum += e

    def nes(self, st, es):
        """Normalised score, or None where the tallies give no mean to divide by."""
        le_mean = self.le_sum / self.le_zero if self.le_zero else 0.0
        ge_mean = self.ge_sum / self.ge_zero if self.ge_zero else 0.0
        if st == STD:
            if es > 0.0 and ge_mean != 0.0:
                return es / ge_mean
            if le_mean != 0.0 and es <= 0.0:
                return es / abs(le_mean)
        elif st == POS:
            if ge_mean != 0.0 and es >= 0.0:
                return es / ge_mean
        elif le_mean != 0.0 and es <= 0.0:
            return es / abs(le_mean)
        return None

    def pval(self):
        return min((self.le_es + 1.0) / (self.le_zero + 1.0),
                   (self.ge_es + 1.0) / (self.ge_zero + 1.0))


def bh(pvals):
    """BH-adjusted p-values; None where the p-value is not finite."""
    m = float(len(pvals))
    idx = [i for i, p in enumerate(pvals) if math.isfinite(p)]
    idx.sort(key=lambda i: pvals[i])  # stable
    padj = [None] * len(pvals)
    running = 1.0
    for r in range(len(idx), 0, -1):
        i = idx[r - 1]
        q = (pvals[i] * m) / float(r)
        running = min(running, q)
        running = min(running, 1.0)
        padj[i] = running
    return padj
