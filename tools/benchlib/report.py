"""The table the benchmark prints."""
from .common import MIB, PACKAGING_LARGEST_MIB, RATIO_SIZE_MIB
from .figures import goal_state
from .packaging import PACKAGING_SIZES_MIB


def render_table(f, spread, stub_sections, bare_sections, runs):
    def value(name, digits=1):
        q1, q3 = spread[name]
        return f"{f[name]:.{digits}f} ({q1:.{digits}f}-{q3:.{digits}f})"

    out = [f"Brivel installer benchmark: {runs} runs per case after a warm-up "
           f"({f['runs_slow_measurements']} for the extraction and ARM64 measurements).",
           "Each figure is the median, with the middle half of the runs in brackets; ratios",
           "and differences are taken pair by pair within a round.",
           f"Machine: {f['machine']}",
           "",
           "Time from the installer's start to setup's start, ms (x64 twin, host Wine; 6 MB setup),",
           "and to the end of extraction (setup's last write, as the file's time shows it)",
           f"  {'archive':>9}  {'warm':>20}  {'cold':>20}    {'extracted, warm':>20}  {'extracted, cold':>20}"]
    sizes = sorted(int(k.split("_")[2][:-1]) for k in f
                   if k.startswith("startup_ms_") and k.endswith("_warm") and "arm64" not in k)
    for s in sizes:
        out.append(f"  {str(s) + ' MiB':>9}  {value(f'startup_ms_{s}M_warm'):>20}  "
                   f"{value(f'startup_ms_{s}M_cold'):>20}    {value(f'extracted_ms_{s}M_warm'):>20}  "
                   f"{value(f'extracted_ms_{s}M_cold'):>20}")
    out.append(f"  {RATIO_SIZE_MIB} MiB against 1 MiB, to the end of extraction: warm "
               f"{value('extracted_ratio_500M_vs_1M_warm', 3)}, cold {value('extracted_ratio_500M_vs_1M_cold', 3)}")
    out.append(f"  cold runs read {f['cold_read_kib_1M']:.0f} KiB of the 1 MiB installer back from "
               f"disk and {f[f'cold_read_kib_{RATIO_SIZE_MIB}M']:.0f} KiB of the {RATIO_SIZE_MIB} MiB one")
    out.append(f"  (at most {f['cold_resident_before_kib_max']} KiB of an installer was still cached "
               "when a cold run began)")
    if "startup_ms_arm64_1M_warm" in f:
        out.append("")
        out.append("The same for the ARM64 executable, ms (arm64 Wine under qemu emulation)")
        for s in (1, RATIO_SIZE_MIB):
            out.append(f"  {str(s) + ' MiB':>9}  {value(f'startup_ms_arm64_{s}M_warm'):>20}  "
                       f"{value(f'startup_ms_arm64_{s}M_cold'):>20}")
    out.append("")
    out.append("Peak working set of the installer, bytes")
    out.append(f"  1 MiB archive {value('peak_working_set_1M_bytes', 0)}, {RATIO_SIZE_MIB} MiB archive "
               f"{value(f'peak_working_set_{RATIO_SIZE_MIB}M_bytes', 0)}")
    out.append("")
    out.append("Extraction of a 64 MiB setup against a plain copy of the same bytes, ms (x64, same disk)")
    if f["extract_method"] == "perf-write-window":
        out.append(f"  the installer's writes (perf)          {value('extract_write_ms')}")
        out.append(f"  bench_copy's reads and writes (perf)   {value('copy_ms')}")
    out.append(f"  start-time difference, 64 MiB - tiny   {value('extract_start_delta_ms')}")
    out.append(f"  bench_copy by its own clock            {value('copy_self_timed_ms')}")
    out.append("")
    out.append("Run overhead: an installer whose setup exits at once, against that setup alone, ms")
    out.append(f"  installer {value('run_installer_total_ms')}, setup alone "
               f"{value('run_setup_direct_total_ms')}")
    out.append("")
    out.append("ARM64 installer with one-byte payloads: section sizes, bytes (virtual sizes)")
    names = [n for n in stub_sections if n != ".rsrc"] + [".rsrc"]
    out.append(f"  {'section':<8} {'with resources':>15} {'without':>10}")
    for n in names:
        out.append(f"  {n:<8} {stub_sections.get(n, 0):>15} {bare_sections.get(n, 0):>10}")
    out.append(f"  {'file':<8} {f['stub_size_arm64_bytes']:>15} {f['stub_size_arm64_no_resources_bytes']:>10}")
    out.append("")
    out += packaging_table(f, spread)
    out.append("")
    out.append("Figures")
    out.append(f"  {'name':<40} {'median':>10} {'middle half':>22}  {'goal':<10}")
    for name in ("startup_ratio_500M_vs_1M_warm", "startup_ratio_500M_vs_1M_cold",
                 "peak_memory_delta_500M_vs_1M_bytes", "extract_throughput_ratio",
                 "stub_size_arm64_bytes", "stub_code_data_arm64_bytes", "run_overhead_ms",
                 "startup_ratio_arm64_500M_vs_1M_warm", "startup_ratio_arm64_500M_vs_1M_cold",
                 f"packaging_vs_cp_{PACKAGING_LARGEST_MIB}M",
                 f"packaging_vs_cp_{PACKAGING_LARGEST_MIB}M_to_disk",
                 f"packaging_peak_memory_{PACKAGING_LARGEST_MIB}M_bytes"):
        if name not in f:
            continue
        goal, state = goal_state(name, f[name])
        middle = ""
        if name in spread:
            middle = f"{spread[name][0]:.3g} to {spread[name][1]:.3g}"
        out.append(f"  {name:<40} {f[name]:>10g} {middle:>22}  {goal:<10} {state}")
    out.append(f"  plot: {f['plot']}")
    out.append("")
    return "\n".join(out)


def packaging_table(f, spread):
    """The packaging section: time against cp, and peak memory."""
    def value(name, digits=2, scale=1):
        q1, q3 = spread[name]
        return f"{f[name] / scale:.{digits}f} ({q1 / scale:.{digits}f}-{q3 / scale:.{digits}f})"

    out = ["tools/package (x64 kit, 6 MB setup) against cp of the same archive to the same disk, s;",
           "'to disk': until a sync after it ended; memory: all of its processes together, MiB",
           f"  {'archive':>9}  {'cp':>18}  {'package':>18}  {'ratio':>18}  {'to disk: cp':>18}  "
           f"{'package':>18}  {'ratio':>18}  {'memory':>18}"]
    for prefix, title in (("packaging", "unsigned"), ("signed_packaging", "signed (key file)")):
        out.append(f"  {title}")
        for s in PACKAGING_SIZES_MIB:
            if f"{prefix}_s_{s}M" not in f:
                continue
            out.append(f"  {str(s) + ' MiB':>9}  {value(f'cp_s_{s}M'):>18}  {value(f'{prefix}_s_{s}M'):>18}  "
                       f"{value(f'{prefix}_vs_cp_{s}M'):>18}  {value(f'cp_s_{s}M_to_disk'):>18}  "
                       f"{value(f'{prefix}_s_{s}M_to_disk'):>18}  {value(f'{prefix}_vs_cp_{s}M_to_disk'):>18}  "
                       f"{value(f'{prefix}_peak_memory_{s}M_bytes', 1, MIB):>18}")
        anonymous = ", ".join(f"{s} MiB {f[f'{prefix}_peak_anonymous_{s}M_bytes'] / MIB:.1f}"
                              for s in PACKAGING_SIZES_MIB if f"{prefix}_s_{s}M" in f)
        out.append(f"  {'':>9}  of which anonymous memory, MiB: {anonymous}")
    return out
