"""Timed runs of Windows programs and the kernel trace of their payload writes."""
import os
import re
import shutil
import subprocess
import time

from .common import (BIG_SYSCALL, MIB, MIN_RUNS, REPO, SCRATCH_BYTES, SCRATCH_SETTLE_S,
                     X64_PREFIX, BenchError, helper, log, parse_fields, windows_path)


TRACE_EVENTS = [
    "-e", "syscalls:sys_enter_read", "--filter", f"count >= {BIG_SYSCALL}",
    "-e", "syscalls:sys_enter_write", "--filter", f"count >= {BIG_SYSCALL}",
    "-e", "syscalls:sys_exit_write", "--filter", f"ret >= {BIG_SYSCALL}",
]
TRACE_LINE = re.compile(r"^\s*(?P<tid>\d+)\s+(?P<at>[\d.]+):\s+syscalls:sys_(?P<what>enter|exit)_"
                        r"(?P<call>read|write):\s*(?P<rest>.*)$")


def perf_usable(work):
    if shutil.which("perf") is None:
        return False
    probe = subprocess.run(["perf", "record", "-q", "-o", os.path.join(work, "probe.perf"),
                            *TRACE_EVENTS, "--", "true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL)
    return probe.returncode == 0


class Bench:
    def __init__(self, work, runs, use_perf):
        self.work = work
        self.runs = runs
        # The measurements whose runs take seconds (the extraction waits for
        # its scratch memory to settle; ARM64 runs are emulated) get half as
        # many rounds: their spread is small beside that of the x64 starts.
        self.slow_runs = max(MIN_RUNS, runs // 2)
        self.use_perf = use_perf
        self.stamp = os.path.join(work, "stamp.txt")
        self.raw = {}
        self.leftovers_seen = False
        self.zeros = bytes(8 * MIB)
        self.scratch_time = -SCRATCH_SETTLE_S
        self.retries = 0

    def run_windows(self, arch, args, trace=None):
        """Runs a Windows program through tools/run-ARCH; returns its
        key=value output as a dict."""
        command = [os.path.join(REPO, "tools", f"run-{arch}"), *args]
        if trace:
            command = ["perf", "record", "-q", "-o", trace, *TRACE_EVENTS, "--"] + command
        env = dict(os.environ, BRIVEL_BENCH_STAMP=windows_path(self.stamp))
        if arch == "x64":
            env["WINEPREFIX"] = X64_PREFIX
        out_path = os.path.join(self.work, "run.out")
        err_path = os.path.join(self.work, "run.err")
        # Output to files: a Wine process may hold a pipe open after it ends.
        with open(out_path, "w") as out, open(err_path, "w") as err:
            status = subprocess.run(command, stdout=out, stderr=err, env=env,
                                    stdin=subprocess.DEVNULL).returncode
        with open(out_path) as f:
            output = f.read()
        if status != 0:
            with open(err_path) as f:
                raise BenchError(f"{' '.join(args)} failed (exit {status}):\n{output}{f.read()[-2000:]}")
        return parse_fields(output)

    def retried(self, run, *args, **kwargs):
        """Runs `run` and, if it fails, once more: on the machine the
        benchmark was written on, one Wine run in several hundred ended with
        status 1 and printed nothing, for a cause that was not found. Every
        retry is reported (retried_runs), and a second failure in a row ends
        the benchmark."""
        try:
            return run(*args, **kwargs)
        except BenchError as error:
            self.retries += 1
            log(f"note: a run failed and is repeated: {error}")
            return run(*args, **kwargs)

    def remove_leftovers(self):
        # A work directory left beside the installer means removal was turned
        # off in the prefix (BrivelInstallerCleanup) or failed: clear it so
        # that it does not pile up, and say so once.
        for name in os.listdir(self.work):
            if name.startswith("BV_") and name.endswith(".tmp"):
                shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
                if not self.leftovers_seen:
                    log("note: an installer left its work directory behind (is "
                        "BrivelInstallerCleanup set to 0 in the prefix?); removed")
                    self.leftovers_seen = True

    def prepare_run(self, scratch=False):
        """What every timed run starts with: a sync, so that the write-back of
        earlier runs' files stays off it, and, before a run that writes 64 MiB,
        a scratch file.

        The scratch file is for the machine the benchmark was written on, a
        virtual machine that hands free memory back to its host (free page
        reporting): a page freed some seconds ago costs a host fault, about
        10 us, when it is next used. Writing 64 MiB of new file took ten times
        longer in some runs than in others, for a plain Linux program as much
        as for the installer or the copy. Writing and deleting a scratch file
        twice that size just before the run puts backed pages at the head of
        the free lists, where the run's page-cache pages come from. What the
        run does not use is handed back to the host two seconds later, which
        disturbs whatever runs then; so the next run waits SCRATCH_SETTLE_S.
        Runs that write only the 6 MB setup go without it."""
        if os.path.exists(self.stamp):
            os.remove(self.stamp)
        settle = self.scratch_time + SCRATCH_SETTLE_S - time.monotonic()
        if settle > 0:
            time.sleep(settle)
        os.sync()
        if scratch:
            path = os.path.join(self.work, "scratch.bin")
            with open(path, "wb") as f:
                for _ in range(SCRATCH_BYTES // len(self.zeros)):
                    f.write(self.zeros)
            os.remove(path)
            self.scratch_time = time.monotonic()

    def start_installer(self, arch, installer, cold=False, sample=False, trace=None, scratch=False):
        """One run of the installer through bench_runner. Returns the
        runner's and setup's fields plus startup_ms and, when cold,
        read_back_kib."""
        self.prepare_run(scratch)
        record = {}
        if cold:
            evict(installer)
            record["resident_before_kib"] = resident_kib(installer)
        args = [helper(arch, "bench_runner.exe")]
        if sample:
            args.append("--sample-memory")
        args.append(windows_path(installer))
        record.update(self.run_windows(arch, args, trace=trace))
        if record.get("exit_code") != "0x00000000":
            raise BenchError(f"{installer} exited with {record.get('exit_code')}")
        if not os.path.exists(self.stamp):
            raise BenchError(f"{installer}: setup did not record its start")
        with open(self.stamp) as f:
            record.update(parse_fields(f.read()))
        record["startup_ms"] = (int(record["setup_start"]) - int(record["runner_start"])) / 1e4
        record["total_ms"] = (int(record["runner_end"]) - int(record["runner_start"])) / 1e4
        if "image_written" in record:
            record["extracted_ms"] = (int(record["image_written"]) - int(record["runner_start"])) / 1e4
        if cold:
            record["read_back_kib"] = resident_kib(installer)
        self.remove_leftovers()
        return record

    def rounds(self, label, cases, run_case, count=None):
        """A warm-up of every case, then `count` rounds (self.runs by
        default) that run every case once, the order reversed every other
        round so that drift over time falls on all cases alike. Returns
        {case: [record per round]}."""
        count = count or self.runs
        log(f"  {label}: warm-up and {count} rounds of {len(cases)}")
        for case in cases:
            self.retried(run_case, case)
        results = {case: [] for case in cases}
        for index in range(count):
            order = cases if index % 2 == 0 else list(reversed(cases))
            for case in order:
                results[case].append(self.retried(run_case, case))
        self.raw[label] = {str(case): records for case, records in results.items()}
        return results


def evict(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def resident_kib(path):
    """How much of the file is in the page cache (fincore)."""
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        return int(out.stdout.split()[0]) // 1024
    except (IndexError, ValueError):
        return -1


def payload_window_ms(trace_path):
    """From a perf record of the TRACE_EVENTS (reads and writes of at least
    BIG_SYSCALL bytes, the filter applied in the kernel): for the thread that
    wrote that much, the time from the entry of its first such read or write
    to the return of its last such write, in milliseconds, and the bytes
    those writes returned. (None, 0) when nothing that large was written."""
    script = subprocess.run(["perf", "script", "-i", trace_path, "--ns", "-F", "tid,time,event,trace"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first_entry = {}
    last_write = {}
    written = {}
    for line in script.stdout.splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            continue
        tid, at = m["tid"], float(m["at"]) * 1e3
        if m["what"] == "enter":
            first_entry.setdefault(tid, at)
        elif m["call"] == "write":
            written[tid] = written.get(tid, 0) + int(m["rest"].split()[0], 16)
            last_write[tid] = at
    if not written:
        return None, 0
    writer = max(written, key=written.get)
    return last_write[writer] - first_entry[writer], written[writer]
