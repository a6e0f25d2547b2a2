"""The module under a hostile environment: Ctrl-C during long computations and
blocking reads, address-space limits that stop threads from starting, and a
"file" that never ends a line. Each case runs in a child process, because the
failure being guarded against is the death or hang of the process."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tarvelopy

MODULE_DIR = os.path.dirname(os.path.abspath(tarvelopy.__file__))

# Shared by the children: the data set of the `data` fixture (argv[1]) and a
# directory of their own for the decor cache (argv[2]).
PRELUDE = textwrap.dedent(
    """
    import os, random, resource, signal, sys, time
    # A suite started in the background (`make test &`, some CI runners)
    # hands its children SIGINT ignored, and Python then installs no handler:
    # Ctrl-C would never arrive. The children take it as an interactive
    # Python does.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    import tarvelopy
    run = tarvelopy.run_gsea_py
    data, work = sys.argv[1], sys.argv[2]
    rng = random.Random(7)
    scores = sorted((rng.gauss(0, 1) for _ in range(3000)), reverse=True)
    ranks = {f"G{i}": s for i, s in enumerate(scores)}  # G0 first
    gmt = os.path.join(data, "sets.gmt")
    small = os.path.join(data, "small.gmt")
    expr = os.path.join(data, "expr.tsv")
    cache = os.path.join(work, "cache.tsv")
    DECOR = dict(method="decor", decor_cache=cache, decor_expression=expr)

    def ready():
        print("READY", flush=True)
    """
)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """Over 3000 genes G0..G2999 (ranked in that order): 160 random pathways
    of 15-120 genes (also alone in small.gmt), five of 50 genes near the top
    (whose refinement is long) and four of all 3000 genes, which make decor's
    build long with the expression matrix of 300 samples."""
    d = tmp_path_factory.mktemp("data")
    rng = random.Random(7)
    genes = [f"G{i}" for i in range(3000)]
    with open(d / "sets.gmt", "w") as f:
        for p in range(160):
            f.write(f"P{p}\t\t" + "\t".join(rng.sample(genes, rng.randint(15, 120))) + "\n")
    (d / "small.gmt").write_bytes((d / "sets.gmt").read_bytes())
    with open(d / "sets.gmt", "a") as f:
        for p in range(5):
            f.write(f"TOP{p}\t\t" + "\t".join(genes[p : p + 50]) + "\n")
        for p in range(4):
            f.write(f"BIG{p}\t\t" + "\t".join(rng.sample(genes, 3000)) + "\n")
    with open(d / "expr.tsv", "w") as f:
        f.write("gene\t" + "\t".join(f"s{j}" for j in range(300)) + "\n")
        for g in genes:
            f.write(g + "\t" + "\t".join("%.2f" % rng.gauss(0, 1) for _ in range(300)) + "\n")
    return d


_children = []


@pytest.fixture(autouse=True)
def reap_children():
    """Kills the children a failed case leaves behind: a child that hangs or
    ignores the signal must not go on computing after its test."""
    yield
    while _children:
        proc = _children.pop()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def child(data, work, body, *args):
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=MODULE_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body), str(data), str(work), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    _children.append(proc)
    return proc


def interrupt_when_ready(proc, delay):
    """Sends SIGINT `delay` seconds after the child printed READY; returns
    (send time, stdout lines, stderr)."""
    line = proc.stdout.readline()
    assert line == "READY\n", line + proc.stderr.read()
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    return sent, out.splitlines(), err


# Each long call is interrupted, then repeated to the end in the same process;
# its results must equal those of a process that was never interrupted
# (blitz's calibration cache and decor's cache file must not keep a partial
# state). Latencies are measured from the signal to the KeyboardInterrupt.
LONG_CALLS = {
    "simple": "dict(mode='simple', nperm=10**7)",
    "ruvex_refinement": "dict(eps=0.0, sampleSize=2001, minSize=50, maxSize=50)",
    "blitz_calibration": "dict(mode='blitz', nPermSimple=10**6)",
    "decor_build": "dict(DECOR, decor_cache_mode='rebuild', nPermSimple=10)",
}
SHORT_CALLS = {
    "simple": "gmt, mode='simple', nperm=3000",
    "ruvex_refinement": "gmt, nPermSimple=200, sampleSize=11, minSize=40, maxSize=60",
    "blitz_calibration": "gmt, mode='blitz', nPermSimple=300",
    "decor_build": "small, **DECOR, nPermSimple=200",
}


@pytest.mark.parametrize("case", sorted(LONG_CALLS))
def test_sigint_stops_long_calls_and_leaves_no_state(data, tmp_path, case):
    body = f"""
        ready()
        try:
            run(ranks, gmt, seed=3, nproc=4, **{LONG_CALLS[case]})
            print("FINISHED")
        except KeyboardInterrupt:
            print("INTERRUPTED", time.monotonic())
        print("CACHE", os.path.exists(cache))
        print("RESULT", repr(run(ranks, {SHORT_CALLS[case]}, seed=3, nproc=4)))
        time.sleep(0.2)  # a stray KeyboardInterrupt would surface here
        print("END")
    """
    delay = 0.15 if case == "decor_build" else 0.7  # the build takes about 0.45 s
    sent, out, err = interrupt_when_ready(child(data, tmp_path / "a", body), delay)
    assert out[0].startswith("INTERRUPTED"), (out, err)
    latency = float(out[0].split()[1]) - sent
    assert latency < 1.0, latency
    if case == "decor_build":
        assert out[1] == "CACHE False"  # nothing written by the interrupted build
    assert out[-1] == "END" and err == ""
    reference = child(data, tmp_path / "b", f"""
        print("RESULT", repr(run(ranks, {SHORT_CALLS[case]}, seed=3, nproc=4)))
    """).communicate(timeout=120)[0]
    assert out[2] == reference.strip()


@pytest.mark.parametrize("where", ["gmt", "expression", "plot", "dev_zero_expression"])
def test_sigint_ends_a_blocking_read_or_write(data, tmp_path, where):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    call = {
        "gmt": "run(ranks, fifo)",
        # Hashed before it is parsed: /dev/zero never ends, a FIFO never opens.
        "expression": "run(ranks, gmt, **dict(DECOR, decor_expression=fifo))",
        "dev_zero_expression": "run(ranks, gmt, **dict(DECOR, decor_expression='/dev/zero'))",
        "plot": "tarvelopy.write_enrichment_plot_png_py(ranks, ['G1', 'G2'], fifo)",
    }[where]
    body = f"""
        fifo = sys.argv[3]
        ready()
        try:
            {call}
            print("FINISHED")
        except KeyboardInterrupt:
            print("INTERRUPTED")
        time.sleep(0.2)
        print(len(run(ranks, gmt, seed=1, nperm=100, mode="simple")))
    """
    sent, out, err = interrupt_when_ready(child(data, tmp_path, body, fifo), 0.3)
    assert out == ["INTERRUPTED", "165"], (out, err)
    assert err == ""


def test_address_space_limits_raise_and_leave_the_process_usable(data, tmp_path):
    # Limits just above what the process already maps: worker threads cannot
    # start at the lowest, allocations fail in the middle of the work higher
    # up. Every call must raise or succeed; none may kill the process.
    body = """
        mode = sys.argv[3]
        kw = dict(DECOR, decor_cache_mode="rebuild") if mode == "decor" else dict(mode=mode)
        kw.update(seed=5, nproc=4, nPermSimple=300)
        def vm_size():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        base = vm_size()
        outcomes = []
        for extra in (2, 10, 20, 32, 64):
            resource.setrlimit(resource.RLIMIT_AS, (base + extra * 2**20, resource.RLIM_INFINITY))
            try:
                run(ranks, small, **kw)
                outcomes.append("ok")
            except (MemoryError, RuntimeError) as e:
                outcomes.append(type(e).__name__ + ": " + str(e))
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        for o in outcomes:
            print(o)
        print("RESULT", repr(run(ranks, small, **kw)))
    """
    procs = {m: child(data, tmp_path / m, body, m) for m in ("simple", "ruvex", "blitz", "decor")}
    results = set()
    for mode, proc in procs.items():
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, (mode, proc.returncode, err[-2000:])
        lines = out.splitlines()
        for o in lines[:-1]:
            assert o == "ok" or o.startswith(("MemoryError", "RuntimeError: could not start worker threads: ",
                                              "RuntimeError: Failed to write")), (mode, o)
        results.add(lines[-1])
    assert len(results) == 4  # four distinct analyses completed after the sweep


def test_a_line_that_never_ends_is_an_error(data, tmp_path):
    # /dev/zero: the reader gives up at its line-length limit (1 GiB) instead
    # of growing its buffer until the process is killed.
    proc = child(data, tmp_path, """
        try:
            run(ranks, "/dev/zero")
        except OSError as e:
            print(type(e).__name__, e)
    """)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    assert out.strip() == "OSError line 1 is longer than 1073741824 bytes"
