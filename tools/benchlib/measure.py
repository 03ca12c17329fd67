"""The measurements themselves, and the figures taken from them."""
import json
import os
import shutil
import time

from .common import (BIG_SETUP_BYTES, CODE_DATA_SECTIONS, MIB, OUT_DIR, PACKAGING_SETTLE_S,
                     PLOT_SIZES_MIB, RATIO_SIZE_MIB, REPO, SETUP_BYTES, BenchError, helper, log,
                     windows_path)
from .figures import (field, median, pair_differences, pair_ratios, plot, quartiles,
                      section_sizes)
from .packaging import measure_packaging, packaging_figures
from .prepare import make_bare_kit, package, padded_setup, write_random
from .report import packaging_table, render_table
from .runner import payload_window_ms


def measure(bench, archs, machine):
    work = bench.work
    path = lambda name: os.path.join(work, name)

    log("tools/bench: making payloads and installers under " + work)
    archive_sizes = sorted(set(PLOT_SIZES_MIB) | {RATIO_SIZE_MIB})
    for size in archive_sizes:
        write_random(path(f"archive{size}.bin"), size * MIB)
    write_random(path("one.bin"), 1)
    installers = {}
    for arch in archs:
        setup = path(f"{arch}-setup6.exe")
        padded_setup(helper(arch, "bench_setup.exe"), setup, SETUP_BYTES)
        for size in archive_sizes if arch == "x64" else (1, RATIO_SIZE_MIB):
            installers[(arch, size)] = path(f"{arch}-a{size}.exe")
            package(arch, installers[(arch, size)], setup, path(f"archive{size}.bin"))
    padded_setup(helper("x64", "bench_setup.exe"), path("setup64.exe"), BIG_SETUP_BYTES)
    shutil.copyfile(helper("x64", "bench_setup.exe"), path("setup0.exe"))
    package("x64", path("x64-s64.exe"), path("setup64.exe"), path("archive1.bin"))
    package("x64", path("x64-s0.exe"), path("setup0.exe"), path("archive1.bin"))
    # The stub: one-byte payloads, with the kit's resources and without them.
    package("arm64", path("stub.exe"), path("one.bin"), path("one.bin"))
    bare_kit = path("kit-bare")
    make_bare_kit(os.path.join(REPO, "build", "arm64", "kit"), bare_kit)
    package("arm64", path("stub-bare.exe"), path("one.bin"), path("one.bin"), kit=bare_kit)
    os.sync()
    # Writing the installers takes a gigabyte of new page cache; let the
    # machine settle before anything is timed (see Bench.prepare_run).
    time.sleep(PACKAGING_SETTLE_S)

    log("tools/bench: measuring")
    # The two sizes of the ratio side by side in every round, so that each
    # pair is taken as close together in time as possible.
    x64_sizes = [1, RATIO_SIZE_MIB] + [s for s in archive_sizes if s not in (1, RATIO_SIZE_MIB)]
    warm = bench.rounds("x64 warm start", x64_sizes,
                        lambda s: bench.start_installer("x64", installers[("x64", s)]))
    cold = bench.rounds("x64 cold start", x64_sizes,
                        lambda s: bench.start_installer("x64", installers[("x64", s)], cold=True))
    memory = bench.rounds("x64 peak memory", [1, RATIO_SIZE_MIB],
                          lambda s: bench.start_installer("x64", installers[("x64", s)], sample=True))

    def extraction_case(case):
        if case == "copy":
            destination = path("copy.out")
            if os.path.exists(destination):
                os.remove(destination)
            bench.prepare_run(scratch=True)
            trace = path("copy.trace") if bench.use_perf else None
            record = bench.run_windows("x64", [helper("x64", "bench_copy.exe"),
                                               windows_path(path("setup64.exe")),
                                               windows_path(destination)], trace=trace)
            os.remove(destination)
            record["self_timed_ms"] = (int(record["copy_end"]) - int(record["copy_start"])) / 1e4
        else:
            trace = path(f"{case}.trace") if bench.use_perf else None
            record = bench.start_installer("x64", path(f"x64-{case}.exe"), trace=trace,
                                           scratch=True)
        if trace and case != "s0":
            record["window_ms"], record["window_bytes"] = payload_window_ms(trace)
            if record["window_bytes"] != BIG_SETUP_BYTES:
                raise BenchError(f"{trace}: traced writes of {record['window_bytes']} bytes, "
                                 f"not {BIG_SETUP_BYTES}")
        return record

    extraction = bench.rounds("x64 extraction against a copy", ["s64", "s0", "copy"], extraction_case,
                              count=bench.slow_runs)

    def overhead_case(case):
        if case == "installer":
            return bench.start_installer("x64", path("x64-s0.exe"))
        bench.prepare_run()
        record = bench.run_windows("x64", [helper("x64", "bench_runner.exe"),
                                           windows_path(path("setup0.exe"))])
        record["total_ms"] = (int(record["runner_end"]) - int(record["runner_start"])) / 1e4
        return record

    overhead = bench.rounds("x64 run overhead", ["installer", "setup"], overhead_case)

    arm_warm = arm_cold = None
    if "arm64" in archs:
        arm_cases = [1, RATIO_SIZE_MIB]
        arm_warm = bench.rounds("arm64 warm start", arm_cases,
                                lambda s: bench.start_installer("arm64", installers[("arm64", s)]),
                                count=bench.slow_runs)
        arm_cold = bench.rounds("arm64 cold start", arm_cases,
                                lambda s: bench.start_installer("arm64", installers[("arm64", s)],
                                                                cold=True),
                                count=bench.slow_runs)

    packaging = measure_packaging(bench)

    with open(os.path.join(OUT_DIR, "runs.json"), "w") as f:
        json.dump({"machine": machine, "runs": bench.runs, "slow_runs": bench.slow_runs,
                   "raw": bench.raw}, f, indent=1)

    # ---- figures: medians, and the middle half of the runs for the table
    f = {}
    spread = {}

    def put(name, values):
        f[name] = median(values)
        spread[name] = quartiles(values)

    big, small = RATIO_SIZE_MIB, 1
    warm_ms = {s: field(warm[s], "startup_ms") for s in x64_sizes}
    cold_ms = {s: field(cold[s], "startup_ms") for s in x64_sizes}
    put("startup_ratio_500M_vs_1M_warm", pair_ratios(warm_ms[big], warm_ms[small]))
    put("startup_ratio_500M_vs_1M_cold", pair_ratios(cold_ms[big], cold_ms[small]))
    for s in x64_sizes:
        put(f"startup_ms_{s}M_warm", warm_ms[s])
        put(f"startup_ms_{s}M_cold", cold_ms[s])
    for mode, records in (("warm", warm), ("cold", cold)):
        extracted = {s: field(records[s], "extracted_ms") for s in x64_sizes}
        put(f"extracted_ratio_500M_vs_1M_{mode}", pair_ratios(extracted[big], extracted[small]))
        for s in x64_sizes:
            put(f"extracted_ms_{s}M_{mode}", extracted[s])
    for s in (small, big):
        put(f"cold_read_kib_{s}M", field(cold[s], "read_back_kib"))
    f["cold_resident_before_kib_max"] = max(r["resident_before_kib"] for s in x64_sizes for r in cold[s])
    peaks = {s: field(memory[s], "sampled_peak_working_set") for s in (small, big)}
    put("peak_memory_delta_500M_vs_1M_bytes", pair_differences(peaks[big], peaks[small]))
    put("peak_working_set_1M_bytes", peaks[small])
    put("peak_working_set_500M_bytes", peaks[big])

    copy_self = field(extraction["copy"], "self_timed_ms")
    start_delta = pair_differences(field(extraction["s64"], "startup_ms"),
                                   field(extraction["s0"], "startup_ms"))
    if bench.use_perf:
        extract_ms = field(extraction["s64"], "window_ms")
        copy_ms = field(extraction["copy"], "window_ms")
        put("extract_throughput_ratio", pair_ratios(copy_ms, extract_ms))
        put("extract_write_ms", extract_ms)
        put("copy_ms", copy_ms)
        f["extract_method"] = "perf-write-window"
    else:
        put("extract_throughput_ratio", pair_ratios(copy_self, start_delta))
        f["extract_method"] = "start-time-difference"
    put("extract_start_delta_ms", start_delta)
    put("copy_self_timed_ms", copy_self)
    put("extract_start_delta_ratio", pair_ratios(copy_self, start_delta))

    put("run_overhead_ms", pair_differences(field(overhead["installer"], "total_ms"),
                                            field(overhead["setup"], "total_ms")))
    put("run_installer_total_ms", field(overhead["installer"], "total_ms"))
    put("run_setup_direct_total_ms", field(overhead["setup"], "total_ms"))

    stub_sections = section_sizes(path("stub.exe"))
    bare_sections = section_sizes(path("stub-bare.exe"))
    f["stub_size_arm64_bytes"] = os.path.getsize(path("stub.exe"))
    f["stub_size_arm64_no_resources_bytes"] = os.path.getsize(path("stub-bare.exe"))
    f["stub_code_data_arm64_bytes"] = sum(stub_sections.get(s, 0) for s in CODE_DATA_SECTIONS)
    f["stub_code_data_arm64_no_resources_bytes"] = sum(bare_sections.get(s, 0)
                                                       for s in CODE_DATA_SECTIONS)
    f["stub_rsrc_arm64_bytes"] = stub_sections.get(".rsrc", 0)
    f["stub_rsrc_arm64_no_resources_bytes"] = bare_sections.get(".rsrc", 0)

    if arm_warm:
        aw = {s: field(arm_warm[s], "startup_ms") for s in (small, big)}
        ac = {s: field(arm_cold[s], "startup_ms") for s in (small, big)}
        put("startup_ratio_arm64_500M_vs_1M_warm", pair_ratios(aw[big], aw[small]))
        put("startup_ratio_arm64_500M_vs_1M_cold", pair_ratios(ac[big], ac[small]))
        for s in (small, big):
            put(f"startup_ms_arm64_{s}M_warm", aw[s])
            put(f"startup_ms_arm64_{s}M_cold", ac[s])

    packaging_figures(packaging, put)

    png = os.path.join(OUT_DIR, "startup.png")
    plot(png, {(what, mode): {s: field(records[s], key) for s in PLOT_SIZES_MIB}
               for what, key in (("setup", "startup_ms"), ("extracted", "extracted_ms"))
               for mode, records in (("warm", warm), ("cold", cold))},
         machine, bench.runs, packaging)
    f["plot"] = os.path.relpath(png, REPO)
    f["runs"] = bench.runs
    f["runs_slow_measurements"] = bench.slow_runs
    f["retried_runs"] = bench.retries
    f["machine"] = (f"{machine['cores']} cores, {machine['cpu']}, {machine['wine']}, "
                    f"Linux {machine['kernel']}")

    figures = {k: (round(v, 3) if isinstance(v, float) else v) for k, v in f.items()}
    return figures, render_table(figures, spread, stub_sections, bare_sections, bench.runs)


def measure_packaging_only(bench, machine):
    """tools/bench --packaging-only: the packaging figures alone."""
    log("tools/bench: packaging against a copy under " + bench.work)
    packaging = measure_packaging(bench)
    f, spread = {}, {}

    def put(name, values):
        f[name] = median(values)
        spread[name] = quartiles(values)

    packaging_figures(packaging, put)
    f["machine"] = (f"{machine['cores']} cores, {machine['cpu']}, Linux {machine['kernel']}")
    figures = {k: (round(v, 3) if isinstance(v, float) else v) for k, v in f.items()}
    return figures, "\n".join(packaging_table(figures, spread)) + "\n"
