#include "conformance/runner.h"

namespace runner {
namespace {

using plain::Equal;
using plain::Find;
using plain::StartsWith;

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
    const bool blocked = PolicyBlock(start_error, reason);
    if (blocked) reason.Add("; the calibration did not run");
    Record(run, suite, full_name, blocked ? Verdict::BLOCKED : Verdict::FAILED,
           0, reason, nullptr);
    return;
  }
  for (const char* at = names.c_str(); *at != 0 && !Interrupted();) {
    const char* end = at;
    while (*end != '\n') ++end;
    full_name.Set("").Add(at, static_cast<size_t>(end - at));
    at = end + 1;
    ChildResult child;
    const Verdict verdict = RunTest(run, program, full_name, child, reason);
    if (verdict == Verdict::BLOCKED) {
      Record(run, suite, full_name, verdict, 0, reason, nullptr);
    } else if (verdict == Verdict::FAILED) {
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
  suite.Add(" (").Add(root).AddChar(')').Add(run.place);
  run.report.BeginSuite(suite.c_str());
  if (!run.place_failure.empty()) {
    full_name.Set("Folder.Usable");
    Record(run, suite.c_str(), full_name, Verdict::FAILED, 0,
           run.place_failure, nullptr);
    return;
  }
  DWORD start_error = 0;
  const bool listed = ListTests(run, program, names, start_error, reason);
  const Verdict unlisted = IsForeignMachine(start_error) ? Verdict::SKIPPED
                           : PolicyBlock(start_error, reason) ? Verdict::BLOCKED
                                                              : Verdict::FAILED;
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

}  // namespace

void Say(const Bytes& line) { plain::Print(line); }

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
    case Verdict::BLOCKED:
      line.Set("[  BLOCKED ] ");
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
  } else if (verdict == Verdict::FAILED || verdict == Verdict::BLOCKED) {
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

// Walks kit.txt: "crasher ROOT PATH" lines (the calibration), or
// "program ROOT PATH" lines, each followed by "test NAME" lines naming the
// tests it had when the kit was made (reported when it cannot start here);
// the native scenarios are the target's programs without such lines.
void RunManifest(Run& run, const Bytes& manifest, Pass pass) {
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
      const bool native =
          !crasher && known.empty() && Equal(root.c_str(), run.arch.c_str());
      if (crasher && pass == Pass::CALIBRATION) {
        Calibrate(run, root.c_str(), relative.c_str());
      } else if (!crasher && (pass == Pass::PROGRAMS ||
                              (pass == Pass::NATIVE && native))) {
        RunProgram(run, root.c_str(), relative.c_str(), known);
      }
    }
    line = next;
  }
}

}  // namespace runner
