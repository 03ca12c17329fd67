"""Packaging against a copy: tools/package on archives of 1 MiB, 500 MiB and
1,812 MiB (about 1.9 GB, near the largest Windows maps beside the setup), timed beside a plain cp of the same archive to the same disk, in the
same round, with the peak memory of all of packaging's processes.

Each run starts after a sync, with the archive in the page cache. Its wall
time is taken twice: when the command ends (the written file may still be in
the page cache) and after a sync that follows it (the file on disk). Memory
is sampled every SAMPLE_S from /proc: the sum of the resident sets of the
command and of every process below it at that moment (anonymous and
file-backed pages apart), and the largest resident set any one of them
reached (ru_maxrss from wait4), which also covers a process too short-lived
to be sampled; the figure is the larger of the two.
"""
import os
import subprocess
import time

from .common import (MIB, PACKAGING_LARGEST_MIB, REPO, SETUP_BYTES, BenchError, helper, log,
                     run_quietly)
from .figures import field, pair_ratios
from .prepare import padded_setup, write_random

PACKAGING_SIZES_MIB = (1, 500, PACKAGING_LARGEST_MIB)
PACKAGING_RUNS = 5
SAMPLE_S = 0.005
SIGN_TIME = "1700000000"
CASES = ("cp", "package", "signed")


def children(pid):
    found = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return found


def resident_kib(pid):
    """(resident, anonymous) KiB of one process, (0, 0) once it is gone."""
    values = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(("VmRSS:", "RssAnon:")):
                    key, value = line.split(":", 1)
                    values[key] = int(value.split()[0])
    except OSError:
        pass
    return values.get("VmRSS", 0), values.get("RssAnon", 0)


def timed_run(command, env=None):
    """Runs command to its end; its times and peak memory (see the module's
    comment)."""
    os.sync()
    start = time.monotonic()
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, env=env)
    peak = peak_anon = 0
    while True:
        done, status, usage = os.wait4(child.pid, os.WNOHANG)
        if done:
            break
        total = anon = 0
        pending = [child.pid]
        while pending:
            pid = pending.pop()
            rss, anonymous = resident_kib(pid)
            total, anon = total + rss, anon + anonymous
            pending += children(pid)
        peak, peak_anon = max(peak, total), max(peak_anon, anon)
        time.sleep(SAMPLE_S)
    ended = time.monotonic()
    os.sync()
    durable = time.monotonic()
    error = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise BenchError(f"{' '.join(command[:2])} failed:\n{error[-2000:]}")
    return {"s": ended - start, "durable_s": durable - start,
            "peak_kib": max(peak, usage.ru_maxrss), "peak_anon_kib": peak_anon,
            "largest_process_kib": usage.ru_maxrss}


def signing_key(work):
    """A throw-away self-signed code-signing certificate and its key."""
    cert, key = os.path.join(work, "bench-signer.pem"), os.path.join(work, "bench-signer.key")
    run_quietly(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                 "-out", cert, "-days", "30", "-subj", "/CN=Brivel benchmark signer",
                 "-addext", "extendedKeyUsage=codeSigning"], "making a signing key")
    return cert, key


def measure_packaging(bench, arch="x64"):
    """{size: {case: [record per round]}} for archives of PACKAGING_SIZES_MIB
    (work/archiveN.bin, made when missing; the largest is removed after) and
    the 6 MB setup (work/x64-setup6.exe, likewise); cases cp, package and
    signed (the same, signed with a key file, no timestamp)."""
    work = bench.work
    setup = os.path.join(work, "x64-setup6.exe")
    if not os.path.exists(setup):
        padded_setup(helper("x64", "bench_setup.exe"), setup, SETUP_BYTES)
    archives = {}
    made = []
    for size in PACKAGING_SIZES_MIB:
        archives[size] = os.path.join(work, f"archive{size}.bin")
        if not os.path.exists(archives[size]):
            write_random(archives[size], size * MIB)
            made.append(archives[size])
    cert, key = signing_key(work)
    kit = os.path.join(REPO, "build", arch, "kit")
    out = os.path.join(work, "packaged.out")

    def command(case, archive):
        if case == "cp":
            return ["cp", archive, out]
        signed = ["--sign-cert", cert, "--sign-key", key, "--sign-time", SIGN_TIME]
        return [os.path.join(REPO, "tools", "package"), "--arch", arch, "--kit", kit,
                "--output", out, "--setup", setup, "--archive", archive,
                *(signed if case == "signed" else [])]

    def one(case, archive):
        record = timed_run(command(case, archive))
        os.remove(out)
        return record

    results = {}
    try:
        _rounds(results, archives, one)
    finally:
        # What was made here only (the start-up measurements share the rest).
        for archive in made:
            os.remove(archive)
    bench.raw["packaging"] = {str(size): cases for size, cases in results.items()}
    return results


def _rounds(results, archives, one):
    for size, archive in archives.items():
        log(f"  packaging against cp, {size} MiB: warm-up and {PACKAGING_RUNS} rounds of "
            f"{len(CASES)}")
        for case in CASES:
            one(case, archive)
        results[size] = {case: [] for case in CASES}
        for index in range(PACKAGING_RUNS):
            for case in CASES if index % 2 == 0 else reversed(CASES):
                results[size][case].append(one(case, archive))


def packaging_figures(results, put):
    """Adds the packaging figures through put(name, values)."""
    for size, cases in results.items():
        for timing in ("s", "durable_s"):
            suffix = "" if timing == "s" else "_to_disk"
            cp = field(cases["cp"], timing)
            for case in ("package", "signed"):
                name = "packaging" if case == "package" else "signed_packaging"
                put(f"{name}_vs_cp_{size}M{suffix}", pair_ratios(field(cases[case], timing), cp))
                put(f"{name}_s_{size}M{suffix}", field(cases[case], timing))
            put(f"cp_s_{size}M{suffix}", cp)
        for case, name in (("package", "packaging"), ("signed", "signed_packaging")):
            put(f"{name}_peak_memory_{size}M_bytes",
                [v * 1024 for v in field(cases[case], "peak_kib")])
            put(f"{name}_peak_anonymous_{size}M_bytes",
                [v * 1024 for v in field(cases[case], "peak_anon_kib")])

