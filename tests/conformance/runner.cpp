// runner.exe [--filter PATTERNS] [--timeout SECONDS] [--folder DIR]...
//
// Runs the conformance kit it sits in (its manifest kit.txt, written by
// tools/conformance): first the calibration, a program whose every test
// crashes and must be counted as failed; then every test of every program,
// each in a process of its own (--gtest_list_tests, then --gtest_filter=
// one test with --gtest_output=xml), with BRIVEL_BUILD_DIR pointing at the
// program's build tree inside the kit and a time limit per test
// (--timeout, 600 s by default). --filter takes GoogleTest's ':'-separated
// '*'/'?' patterns, matched against "Suite.Name". Each --folder DIR runs,
// after all that, the native scenarios once more with the temporary folder
// a folder of the runner's own inside DIR (a FAT32 stick, a share), so that
// the installers, their work directories and setup run from that volume;
// the report names each such pass with DIR and its file system.
//
// It touches its own folder (work\, removed at the end, and the report),
// the temporary folder its tests make their folders in (work\temp, or a
// folder of its own under %TEMP% when the kit's path is long; and one in
// each --folder DIR, removed after its pass), and the
// "Software\Morvex" keys, which it exports first, empties for the run and
// puts back at the end: also after a failure, and after Ctrl+C (the
// running test is ended first).
//
// Prints a line per test and ends with exactly one line
//   conformance: N passed, M failed, K skipped
// having written conformance-report.xml (JUnit) beside itself. Exit code
// 0 exactly when M is 0.
#include "conformance/runner.h"

namespace runner {
namespace {

using plain::Equal;
using plain::Find;

volatile LONG g_interrupted = 0;
HANDLE g_interrupt = nullptr;
HANDLE g_finished = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  SetEvent(g_interrupt);
  // Keep the process until the main thread has put the keys back: when a
  // console closes, returning from here ends it.
  WaitForSingleObject(g_finished, 120000);
  return TRUE;
}

void Describe(Bytes& out, const Bytes& arch) {
  out.Set("Brivel conformance kit (").Add(arch).Add(") ");
  using WineVersion = const char*(__cdecl*)();
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const FARPROC wine = ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
  if (wine != nullptr) {
    out.Add("under Wine ")
        .Add(reinterpret_cast<WineVersion>(reinterpret_cast<void*>(wine))());
  } else {
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const FARPROC get = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (get != nullptr) {
      reinterpret_cast<GetVersionFunction>(reinterpret_cast<void*>(get))(
          &version);
    }
    out.Add("on Windows ").AddNumber(version.dwMajorVersion).AddChar('.')
        .AddNumber(version.dwMinorVersion).AddChar('.')
        .AddNumber(version.dwBuildNumber);
  }
  SYSTEM_INFO system = {};
  GetNativeSystemInfo(&system);
  const WORD processor = system.wProcessorArchitecture;
  out.Add(processor == PROCESSOR_ARCHITECTURE_ARM64   ? ", ARM64 processor"
          : processor == PROCESSOR_ARCHITECTURE_AMD64 ? ", x64 processor"
                                                      : ", other processor");
}

bool ReadArguments(Run& run) {
  plain::Arguments arguments;
  run.filter.Set("*");
  for (Bytes argument; arguments.Next(argument);) {
    if (Equal(argument.c_str(), "--filter") && arguments.Next(argument)) {
      run.filter.Set(argument.c_str());
    } else if (Equal(argument.c_str(), "--folder") &&
               arguments.Next(argument) && !argument.empty()) {
      run.folders.Add(argument).AddChar('\n');
    } else if (Equal(argument.c_str(), "--timeout") &&
               arguments.Next(argument)) {
      DWORD seconds = 0;
      for (const char* c = argument.c_str(); *c >= '0' && *c <= '9'; ++c) {
        seconds = seconds * 10 + static_cast<DWORD>(*c - '0');
      }
      if (seconds == 0) return false;
      run.limit_ms = seconds * 1000;
    } else {
      return false;
    }
  }
  return true;
}

int Main() {
  Run run;
  if (!ReadArguments(run)) {
    plain::PrintError(
        "usage: run.cmd [--filter PATTERNS] [--timeout SECONDS] "
        "[--folder DIR]...\n");
    return 2;
  }
  plain::OwnFolder(run.kit);
  Wide manifest_path;
  manifest_path.Set(run.kit.c_str()).Add(L"\\kit.txt");
  Bytes manifest, line;
  DWORD error = 0;
  if (!plain::ReadWholeFile(manifest_path.c_str(), manifest, error)) {
    plain::PrintError("runner: kit.txt is missing beside runner.exe\n");
    return 2;
  }
  const char* arch_line = Find(manifest.c_str(), "arch ");
  if (arch_line != nullptr) {
    for (const char* c = arch_line + 5; *c > ' '; ++c) run.arch.AddChar(*c);
  }

  g_interrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  // A crashing test ends with its exception code instead of waiting on an
  // error dialog; children inherit the mode.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);

  run.work.Set(run.kit.c_str()).Add(L"\\work");
  plain::RemoveTree(run.work.c_str());
  if (!CreateDirectoryW(run.work.c_str(), nullptr)) {
    line.Set("runner: cannot make work\\ beside runner.exe (error ")
        .AddNumber(GetLastError())
        .Add("): unzip the kit into a folder you may write\n");
    plain::PrintError(line.c_str());
    return 2;
  }
  run.output.Set(run.work.c_str()).Add(L"\\output.txt");
  run.xml.Set(run.work.c_str()).Add(L"\\result.xml");
  run.temp.Set(run.work.c_str()).Add(L"\\temp");
  if (run.temp.size() > LONGEST_TEMP_FOLDER) {
    wchar_t system_temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, system_temp);
    run.temp.Set(length > 0 && length <= MAX_PATH ? system_temp : L"")
        .Add(L"brivel-conformance-").AddNumber(GetCurrentProcessId());
  }
  CreateDirectoryW(run.temp.c_str(), nullptr);
  SetEnvironmentVariableW(L"TEMP", run.temp.c_str());
  SetEnvironmentVariableW(L"TMP", run.temp.c_str());

  Bytes title;
  Describe(title, run.arch);
  line.Set(title).AddChar('\n');
  Say(line);

  Bytes registry_note;
  SaveRegistry(run.work, registry_note);
  Say(registry_note);
  RunManifest(run, manifest, Pass::CALIBRATION);
  RunManifest(run, manifest, Pass::PROGRAMS);
  RunInFolders(run, manifest);

  if (Interrupted()) {
    Bytes reason, name;
    reason.Set("the run was interrupted (Ctrl+C): the tests after this one "
               "did not run");
    name.Set("Run.Interrupted");
    run.report.BeginSuite("runner");
    Record(run, "runner", name, Verdict::FAILED, 0, reason, nullptr);
  }
  registry_note.Clear();
  const bool restored = RestoreRegistry(registry_note);
  Say(registry_note);
  line.Set(restored ? "registry: Software\\Morvex is as it was before the run\n"
                    : "registry: Software\\Morvex could NOT be put back\n");
  Say(line);
  if (!restored) {
    Bytes reason, name;
    reason.Set(registry_note.c_str());
    name.Set("Registry.PutBack");
    run.report.BeginSuite("runner");
    Record(run, "runner", name, Verdict::FAILED, 0, reason, nullptr);
  }

  plain::RemoveTree(run.temp.c_str());
  plain::RemoveTree(run.work.c_str());
  Wide report_path;
  report_path.Set(run.kit.c_str()).Add(L"\\conformance-report.xml");
  if (!run.report.Write(report_path.c_str(), title.c_str())) {
    plain::PrintError("runner: cannot write conformance-report.xml\n");
  }
  line.Set("conformance: ").AddNumber(run.report.passed()).Add(" passed, ")
      .AddNumber(run.report.failed()).Add(" failed, ")
      .AddNumber(run.report.skipped()).Add(" skipped");
  if (run.report.blocked() != 0) {
    line.Add(" (").AddNumber(run.report.blocked())
        .Add(" of them blocked by a policy)");
  }
  line.AddChar('\n');
  Say(line);
  SetEvent(g_finished);
  return run.report.failed() == 0 ? 0 : 1;
}

}  // namespace

bool Interrupted() { return g_interrupted != 0; }
HANDLE InterruptEvent() { return g_interrupt; }

}  // namespace runner

extern "C" [[noreturn]] void RunnerEntry() {
  ExitProcess(static_cast<UINT>(runner::Main()));
}
