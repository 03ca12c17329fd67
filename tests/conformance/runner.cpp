// runner.exe [--filter PATTERNS] [--timeout SECONDS]
//
// Runs the conformance kit it sits in (its manifest kit.txt, written by
// tools/conformance): first the calibration, a program whose every test
// crashes and must be counted as failed; then every test of every program,
// each in a process of its own (--gtest_list_tests, then --gtest_filter=
// one test with --gtest_output=xml), with BRIVEL_BUILD_DIR pointing at the
// program's build tree inside the kit and a time limit per test
// (--timeout, 600 s by default). --filter takes GoogleTest's ':'-separated
// '*'/'?' patterns, matched against "Suite.Name".
//
// It touches its own folder (work\, removed at the end, and the report),
// the temporary folder its tests make their folders in (work\temp, or a
// folder of its own under %TEMP% when the kit's path is long), and the
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
using plain::StartsWith;

constexpr DWORD DEFAULT_LIMIT_S = 600;
// Beyond this the kit's own work folder is too deep for the tests that
// make folders of 235 characters and more in the temporary folder.
constexpr size_t LONGEST_TEMP_FOLDER = 100;

struct Run {
  Wide kit;       // the folder of runner.exe and kit.txt
  Wide work;      // kit\work
  Wide temp;      // the tests' temporary folder
  Wide output;    // work\output.txt
  Wide xml;       // work\result.xml
  Bytes filter;
  DWORD limit_ms = DEFAULT_LIMIT_S * 1000;
  Report report;
};

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

void Say(const Bytes& line) { plain::Print(line); }

// "tests\base\x_test.exe" -> "x_test".
void ProgramName(Bytes& out, const char* relative) {
  const char* name = relative;
  for (const char* c = relative; *c != 0; ++c) {
    if (*c == '\\' || *c == '/') name = c + 1;
  }
  out.Set(name);
  if (out.size() > 4 && Equal(out.c_str() + out.size() - 4, ".exe")) {
    out.Truncate(out.size() - 4);
  }
}

// kit\root\relative, with forward slashes turned into backslashes.
void KitPath(Wide& out, const Run& run, const char* root, const char* relative) {
  out.Set(run.kit.c_str()).AddChar(L'\\');
  plain::AppendUtf16(out, root, plain::Length(root));
  out.AddChar(L'\\');
  plain::AppendUtf16(out, relative, plain::Length(relative));
  wchar_t* chars = out.data();
  for (size_t i = 0; i < out.size(); ++i) {
    if (chars[i] == L'/') chars[i] = L'\\';
  }
}

// The names of --gtest_list_tests' output, one "Suite.Name" a line.
void ParseList(const Bytes& output, Bytes& names) {
  names.Clear();
  Bytes suite;
  for (const char* line = output.c_str(); *line != 0;) {
    const char* end = line;
    while (*end != 0 && *end != '\n') ++end;
    size_t length = static_cast<size_t>(end - line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ')) {
      --length;
    }
    if (StartsWith(line, "  ")) {
      // "  Name" or "  Name  # GetParam() = ..."
      size_t name = 2;
      while (name < length && !StartsWith(line + name, "  #")) ++name;
      if (!suite.empty() && name > 2) {
        names.Add(suite).Add(line + 2, name - 2).AddChar('\n');
      }
    } else if (length > 0) {
      // "Suite." or "Suite.  # TypeParam = ..."; anything else is not a
      // suite ("Running main() from ...").
      size_t dot = 0;
      while (dot < length && !(line[dot] == '.' &&
                                (dot + 1 == length ||
                                 StartsWith(line + dot + 1, "  #")))) {
        ++dot;
      }
      suite.Clear();
      if (dot < length && dot > 0) suite.Add(line, dot + 1);
    }
    line = *end == 0 ? end : end + 1;
  }
}

void Record(Run& run, const char* suite, const Bytes& full_name,
            Verdict verdict, ULONGLONG milliseconds, const Bytes& reason,
            const Bytes* output) {
  const char* dot = Find(full_name.c_str(), ".");
  Bytes classname, name;
  if (dot != nullptr) {
    classname.Add(full_name.c_str(),
                  static_cast<size_t>(dot - full_name.c_str()));
    name.Set(dot + 1);
  } else {
    name.Set(full_name.c_str());
  }
  run.report.Add({suite, classname.c_str(), name.c_str(), verdict,
                  milliseconds, &reason, output});
  Bytes line;
  switch (verdict) {
    case Verdict::PASSED:
      line.Set("[  PASSED  ] ");
      break;
    case Verdict::SKIPPED:
      line.Set("[  SKIPPED ] ");
      break;
    case Verdict::FAILED:
      line.Set("[  FAILED  ] ");
      break;
  }
  line.Add(suite).AddChar(' ').Add(full_name).Add(" (")
      .AddNumber(milliseconds / 1000).AddChar('.')
      .AddNumber(milliseconds % 1000 / 100).Add(" s)");
  if (verdict == Verdict::SKIPPED) {
    Bytes plain_reason;
    SkipReasonForConsole(reason, plain_reason);
    line.Add(": ").Add(plain_reason);
  } else if (verdict == Verdict::FAILED) {
    line.Add(": ").Add(reason);
  }
  line.AddChar('\n');
  if (verdict == Verdict::FAILED && output != nullptr && !output->empty()) {
    // The end of what the program said, for a reader of the console.
    const size_t tail = output->size() > 3000 ? output->size() - 3000 : 0;
    line.Add("---- output ----\n").Add(output->c_str() + tail,
                                        output->size() - tail);
    line.Add("\n----------------\n");
  }
  Say(line);
}

// Runs one test and judges it.
Verdict RunTest(Run& run, const Wide& program, const Bytes& full_name,
                ChildResult& child, Bytes& reason) {
  Wide arguments;
  arguments.Add(L"--gtest_filter=");
  plain::AppendUtf16(arguments, full_name.c_str(), full_name.size());
  arguments.Add(L" --gtest_also_run_disabled_tests \"--gtest_output=xml:")
      .Add(run.xml).AddChar(L'"');
  DeleteFileW(run.xml.c_str());
  RunChild(program, arguments.c_str(), run.output, run.limit_ms, child);
  Bytes xml;
  DWORD error = 0;
  plain::ReadWholeFile(run.xml.c_str(), xml, error);
  return Judge(child, xml, reason);
}

// Lists a program's tests into names; false, with the reason and the
// start error, when it cannot.
bool ListTests(Run& run, const Wide& program, Bytes& names, DWORD& start_error,
               Bytes& reason) {
  ChildResult child;
  RunChild(program, L"--gtest_list_tests", run.output, run.limit_ms, child);
  start_error = child.start_error;
  if (child.start_error != 0) {
    reason.Set("cannot start: CreateProcessW fails with error ")
        .AddNumber(child.start_error);
    return false;
  }
  const bool crashed = Find(child.output.c_str(), "wine: Unhandled ") ||
                       Find(child.output.c_str(), "Unhandled exception: ");
  if (child.exit_code != 0 || child.timed_out || child.interrupted || crashed) {
    reason.Set("cannot list its tests: --gtest_list_tests ended with ")
        .AddHex32(child.exit_code)
        .Add(crashed ? " after a crash" : child.timed_out ? " (timed out)" : "");
    return false;
  }
  ParseList(child.output, names);
  return true;
}

// The calibration: every test of a crashing program must be counted as
// failed, or the runner cannot be trusted with the suite.
void Calibrate(Run& run, const char* root, const char* relative) {
  Wide program;
  KitPath(program, run, root, relative);
  run.report.BeginSuite("calibration: a crash is never a pass");
  Bytes names, reason, full_name, note;
  DWORD start_error = 0;
  const char* suite = "calibration";
  if (!ListTests(run, program, names, start_error, reason)) {
    full_name.Set("Crash.(listing)");
    Record(run, suite, full_name, Verdict::FAILED, 0, reason, nullptr);
    return;
  }
  for (const char* at = names.c_str(); *at != 0 && !Interrupted();) {
    const char* end = at;
    while (*end != '\n') ++end;
    full_name.Set("").Add(at, static_cast<size_t>(end - at));
    at = end + 1;
    ChildResult child;
    const Verdict verdict = RunTest(run, program, full_name, child, reason);
    if (verdict == Verdict::FAILED) {
      note.Set("counted as failed, as it must be (").Add(reason).AddChar(')');
      Bytes line;
      line.Set("[  PASSED  ] calibration ").Add(full_name).Add(": ").Add(note)
          .AddChar('\n');
      Say(line);
      run.report.Add({suite, "Crash", full_name.c_str() + 6, Verdict::PASSED,
                      child.milliseconds, &note, nullptr});
    } else {
      note.Set("a crashing test was counted as ")
          .Add(verdict == Verdict::PASSED ? "passed" : "skipped");
      Record(run, suite, full_name, Verdict::FAILED, child.milliseconds, note,
             &child.output);
    }
  }
}

void RunProgram(Run& run, const char* root, const char* relative,
                const Bytes& known_tests) {
  Wide program, build_dir;
  KitPath(program, run, root, relative);
  build_dir.Set(run.kit.c_str()).AddChar(L'\\');
  plain::AppendUtf16(build_dir, root, plain::Length(root));
  SetEnvironmentVariableW(L"BRIVEL_BUILD_DIR", build_dir.c_str());

  Bytes suite, names, reason, full_name;
  ProgramName(suite, relative);
  suite.Add(" (").Add(root).AddChar(')');
  run.report.BeginSuite(suite.c_str());
  DWORD start_error = 0;
  const bool listed = ListTests(run, program, names, start_error, reason);
  const Verdict unlisted =
      IsForeignMachine(start_error) ? Verdict::SKIPPED : Verdict::FAILED;
  if (!listed) {
    if (unlisted == Verdict::SKIPPED) {
      // Nothing to escape, as a skip message of the report must be.
      reason.Set("a program for ").Add(root)
          .Add(", which this machine does not run (CreateProcessW fails with "
               "error ")
          .AddNumber(start_error)
          .Add("): run the x64 kit, or Windows 11 on Arm, which emulates x64");
    }
    names.Set(known_tests.c_str());
    if (names.empty()) names.Set("(listing).(its tests)\n");
  }
  for (const char* at = names.c_str(); *at != 0 && !Interrupted();) {
    const char* end = at;
    while (*end != '\n') ++end;
    full_name.Set("").Add(at, static_cast<size_t>(end - at));
    at = end + 1;
    if (!plain::MatchesFilter(full_name.c_str(), run.filter.c_str())) continue;
    if (!listed) {
      Record(run, suite.c_str(), full_name, unlisted, 0, reason, nullptr);
      continue;
    }
    ChildResult child;
    Bytes test_reason;
    const Verdict verdict =
        RunTest(run, program, full_name, child, test_reason);
    Record(run, suite.c_str(), full_name, verdict, child.milliseconds,
           test_reason, &child.output);
  }
}

// Walks kit.txt: "crasher ROOT PATH" lines first (the calibration), then
// "program ROOT PATH" lines, each followed by "test NAME" lines naming the
// tests it had when the kit was made (reported when it cannot start here).
void RunManifest(Run& run, const Bytes& manifest, bool crashers) {
  Bytes root, relative, known;
  for (const char* line = manifest.c_str(); *line != 0 && !Interrupted();) {
    const char* end = line;
    while (*end != 0 && *end != '\n') ++end;
    const char* next = *end == 0 ? end : end + 1;
    const bool crasher = StartsWith(line, "crasher ");
    if (crasher || StartsWith(line, "program ")) {
      const char* fields = line + 8;
      const char* space = fields;
      while (space < end && *space != ' ') ++space;
      root.Set("").Add(fields, static_cast<size_t>(space - fields));
      size_t length = static_cast<size_t>(end - space - 1);
      while (length > 0 && space[length] == '\r') --length;
      relative.Set("").Add(space + 1, length);
      known.Clear();
      while (StartsWith(next, "test ")) {
        const char* test_end = next;
        while (*test_end != 0 && *test_end != '\n' && *test_end != '\r') {
          ++test_end;
        }
        known.Add(next + 5, static_cast<size_t>(test_end - next - 5))
            .AddChar('\n');
        while (*test_end != 0 && *test_end != '\n') ++test_end;
        next = *test_end == 0 ? test_end : test_end + 1;
      }
      if (crasher == crashers) {
        if (crasher) {
          Calibrate(run, root.c_str(), relative.c_str());
        } else {
          RunProgram(run, root.c_str(), relative.c_str(), known);
        }
      }
    }
    line = next;
  }
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
        "usage: run.cmd [--filter PATTERNS] [--timeout SECONDS]\n");
    return 2;
  }
  plain::OwnFolder(run.kit);
  Wide manifest_path;
  manifest_path.Set(run.kit.c_str()).Add(L"\\kit.txt");
  Bytes manifest, arch, line;
  DWORD error = 0;
  if (!plain::ReadWholeFile(manifest_path.c_str(), manifest, error)) {
    plain::PrintError("runner: kit.txt is missing beside runner.exe\n");
    return 2;
  }
  const char* arch_line = Find(manifest.c_str(), "arch ");
  if (arch_line != nullptr) {
    for (const char* c = arch_line + 5; *c > ' '; ++c) arch.AddChar(*c);
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
  CreateDirectoryW(run.work.c_str(), nullptr);
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
  Describe(title, arch);
  line.Set(title).AddChar('\n');
  Say(line);

  Bytes registry_note;
  SaveRegistry(run.work, registry_note);
  Say(registry_note);
  RunManifest(run, manifest, true);
  RunManifest(run, manifest, false);

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
      .AddNumber(run.report.skipped()).Add(" skipped\n");
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
