"""Statistics of the runs, the machine's description, the plot and the goals."""
import os
import statistics
import subprocess

from .common import GOALS, PLOT_SIZES_MIB, BenchError, run_quietly


def median(values):
    return statistics.median(values)


def pair_ratios(numerators, denominators):
    return [a / b for a, b in zip(numerators, denominators)]


def pair_differences(minuends, subtrahends):
    return [a - b for a, b in zip(minuends, subtrahends)]


def field(records, key):
    return [float(r[key]) for r in records]


def section_sizes(path):
    out = run_quietly(["llvm-readobj-19", "--sections", path], "llvm-readobj-19")
    sizes = {}
    name = None
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Name:"):
            name = line.split()[1]
        elif line.startswith("VirtualSize:") and name:
            sizes[name] = int(line.split()[1], 0)
    return sizes


def machine_description():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True).stdout.strip()
    return {"cores": os.cpu_count(), "cpu": cpu, "wine": wine,
            "kernel": os.uname().release}


def quartiles(values):
    """First and third quartiles (the middle half of the runs lies between)."""
    if len(values) < 2:
        return values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def plot(path, series, machine, runs, packaging):
    """series: {(what, mode): {size: [ms per run]}}, what being "setup" (time
    to setup's start) or "extracted" (time to the end of extraction); below
    it, packaging against cp (packaging: {size: {case: [record per run]}})."""
    data = os.path.join(os.path.dirname(path), "startup.dat")
    columns = [("setup", "warm"), ("setup", "cold"), ("extracted", "warm"), ("extracted", "cold")]
    with open(data, "w") as f:
        f.write("# MiB, then median q1 q3 for: " + ", ".join(f"{w} {m}" for w, m in columns) + "\n")
        for size in PLOT_SIZES_MIB:
            fields = [str(size)]
            for column in columns:
                values = series[column][size]
                q1, q3 = quartiles(values)
                fields += [f"{median(values):.2f}", f"{q1:.2f}", f"{q3:.2f}"]
            f.write(" ".join(fields) + "\n")
    goal = 1.05 * median(series[("setup", "warm")][PLOT_SIZES_MIB[0]])
    # Warm and cold are drawn 5 MiB apart so that their bars do not hide
    # each other.
    script = f"""
set terminal pngcairo size 960,1280 font "Sans,11" noenhanced
set output "{path}"
set multiplot
set origin 0, 0.4
set size 1, 0.6
set title "Time from the installer's start to setup's start, by archive size\\nx64 twin under {machine['wine']} on {machine['cores']} cores, {runs} runs per point after a warm-up\\npoints: median; bars: the middle half of the runs"
set xlabel "archive carried by the installer (MiB); the same 6 MB setup in every installer"
set ylabel "time since the installer was started (ms)"
set xrange [-20:540]
set xtics (1, 64, 128, 256, 384, 512)
set yrange [0:*]
set offsets 0, 0, graph 0.08, 0
set grid ytics
set bmargin 12
set key at screen 0.5, screen 0.41 center bottom box
plot "{data}" using ($1-2.5):2:3:4 with yerrorlines lw 2 pt 7 ps 1.2 lc rgb "#d95f02" title "setup started, warm page cache", \\
     "{data}" using ($1+2.5):5:6:7 with yerrorlines lw 2 pt 5 ps 1.2 lc rgb "#1b9e77" title "setup started, cold (the installer's pages dropped before each run)", \\
     "{data}" using ($1-2.5):8:9:10 with yerrorlines lw 2 dt 4 pt 6 ps 1 lc rgb "#d95f02" title "extraction ended (setup file's last write), warm", \\
     "{data}" using ($1+2.5):11:12:13 with yerrorlines lw 2 dt 4 pt 4 ps 1 lc rgb "#1b9e77" title "extraction ended, cold", \\
     {goal:.2f} with lines dt 2 lw 1.5 lc rgb "#555555" title "goal for setup's start: warm 1 MiB median + 5%"
{packaging_panel(os.path.dirname(path), packaging)}
unset multiplot
"""
    result = subprocess.run(["gnuplot"], input=script, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise BenchError(f"gnuplot failed:\n{result.stdout}")


def packaging_panel(folder, packaging):
    """The gnuplot commands of the lower panel: time of tools/package and of
    cp against archive size, and packaging's peak memory."""
    data = os.path.join(folder, "packaging.dat")
    with open(data, "w") as f:
        f.write("# MiB, then median q1 q3 of: cp s, package s, signed s, package MiB, signed MiB\n")
        for size, cases in sorted(packaging.items()):
            fields = [str(size)]
            columns = [(cases[c], "durable_s", 1) for c in ("cp", "package", "signed")]
            columns += [(cases[c], "peak_kib", 1024) for c in ("package", "signed")]
            for records, key, scale in columns:
                values = [v / scale for v in field(records, key)]
                q1, q3 = quartiles(values)
                fields += [f"{median(values):.3f}", f"{q1:.3f}", f"{q3:.3f}"]
            f.write(" ".join(fields) + "\n")
    return f"""
set origin 0, 0
set size 1, 0.36
set title "Packaging against a copy of the archive to the same disk, until a sync after it"
set xlabel "archive (MiB); the same 6 MB setup"
set ylabel "seconds"
set y2label "peak memory of all packaging processes (MiB)"
set xrange [-50:1950]
set xtics (1, 500, 1024, 1812)
set yrange [0:*]
set y2range [0:*]
set y2tics
set bmargin 4
set offsets 0, 0, graph 0.1, 0
set key default
set key inside top left box
plot "{data}" using 1:2:3:4 with yerrorlines lw 2 pt 7 lc rgb "#555555" title "cp", \\
     "{data}" using 1:5:6:7 with yerrorlines lw 2 pt 5 lc rgb "#d95f02" title "tools/package", \\
     "{data}" using 1:8:9:10 with yerrorlines lw 2 dt 4 pt 4 lc rgb "#7570b3" title "tools/package, signed", \\
     "{data}" using 1:11 axes x1y2 with linespoints lw 1 dt 2 pt 6 lc rgb "#d95f02" title "memory, tools/package", \\
     "{data}" using 1:14 axes x1y2 with linespoints lw 1 dt 2 pt 8 lc rgb "#7570b3" title "memory, signed", \\
     256 axes x1y2 with lines dt 3 lw 1.5 lc rgb "#555555" title "goal for memory: 256 MiB"
"""


def goal_state(name, value):
    if name not in GOALS:
        return "", ""
    op, limit = GOALS[name]
    met = {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[op]
    return f"{op} {limit:g}", "met" if met else "missed"
