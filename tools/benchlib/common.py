"""Constants, errors and small helpers shared by the benchmark's modules."""
import os
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT_DIR = os.path.join(REPO, "build", "bench")
MIB = 1024 * 1024
SETUP_BYTES = 6 * 1000 * 1000          # the ordinary setup, padded
BIG_SETUP_BYTES = 64 * MIB             # the setup whose extraction is timed
SCRATCH_BYTES = 2 * BIG_SETUP_BYTES    # see Bench.prepare_run
SCRATCH_SETTLE_S = 3                   # see Bench.prepare_run
PACKAGING_SETTLE_S = 5
X64_PREFIX = os.path.join(OUT_DIR, "wine-x64")
SERVER_LINGER_S = 60
PLOT_SIZES_MIB = (1, 64, 256, 512)
RATIO_SIZE_MIB = 500
# The largest archive packaged: about 1.9 GB, a round size that fits beside
# the 6 MB setup below the largest image Windows maps (SizeOfImage at most
# 0x77000000: beside this setup the archive can have about 1,990 MB).
PACKAGING_LARGEST_MIB = 1812
BIG_SYSCALL = 1 * MIB                  # a read or write this large moves payload
CODE_DATA_SECTIONS = (".text", ".rdata", ".data", ".pdata", ".xdata")
MIN_RUNS = 5

GOALS = {
    "startup_ratio_500M_vs_1M_warm": ("<=", 1.05),
    "startup_ratio_500M_vs_1M_cold": ("<=", 1.05),
    "peak_memory_delta_500M_vs_1M_bytes": ("<", 1000 * 1000),
    "extract_throughput_ratio": (">=", 0.9),
    "stub_code_data_arm64_bytes": ("<=", 16 * 1024),
    "startup_ratio_arm64_500M_vs_1M_warm": ("<=", 1.05),
    "startup_ratio_arm64_500M_vs_1M_cold": ("<=", 1.05),
    f"packaging_vs_cp_{PACKAGING_LARGEST_MIB}M": ("<=", 2.0),
    f"packaging_vs_cp_{PACKAGING_LARGEST_MIB}M_to_disk": ("<=", 2.0),
    f"packaging_peak_memory_{PACKAGING_LARGEST_MIB}M_bytes": ("<=", 256 * MIB),
}


class BenchError(Exception):
    pass


def log(text):
    print(text, file=sys.stderr, flush=True)


def run_quietly(command, what, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, text=True, **kwargs)
    if result.returncode != 0:
        raise BenchError(f"{what} failed (exit {result.returncode}):\n{result.stdout[-3000:]}")
    return result.stdout


def helper(arch, name):
    return os.path.join(REPO, "build", arch, "helpers", name)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_fields(text):
    fields = {}
    for line in text.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            fields[key.strip()] = value.strip()
    return fields
