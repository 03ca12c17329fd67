#include "support/plain_cases.h"

namespace plain {
namespace {

bool MatchesPattern(const char* name, const char* pattern, size_t length) {
  if (length == 0) return *name == 0;
  if (*pattern == '*') {
    for (const char* rest = name;; ++rest) {
      if (MatchesPattern(rest, pattern + 1, length - 1)) return true;
      if (*rest == 0) return false;
    }
  }
  if (*name == 0) return false;
  if (*pattern != '?' && *pattern != *name) return false;
  return MatchesPattern(name + 1, pattern + 1, length - 1);
}

void FullName(Bytes& out, const Case& c) {
  out.Set(c.suite).AddChar('.').Add(c.name);
}

void AddMilliseconds(Bytes& line, ULONGLONG milliseconds) {
  line.Add(" (").AddNumber(milliseconds).Add(" ms)\n");
}

void AddTestCount(Bytes& line, size_t count) {
  line.AddNumber(count).Add(count == 1 ? " test" : " tests");
}

// A case's result; a skip's reason is reason_length characters at
// reason_at in the run's text of reasons. Plain data, so that a zeroed
// block of the heap holds one per case.
struct Outcome {
  bool ran;
  bool failed;
  bool skipped;
  ULONGLONG milliseconds;
  size_t reason_at;
  size_t reason_length;
};

void WriteXml(const wchar_t* path, const Case* cases, size_t count,
              const Outcome* outcomes, const Bytes& reasons,
              ULONGLONG total_ms) {
  size_t ran = 0, failed = 0, skipped = 0;
  for (size_t i = 0; i < count; ++i) {
    ran += outcomes[i].ran;
    failed += outcomes[i].failed;
    skipped += outcomes[i].skipped;
  }
  Bytes xml;
  xml.Add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"")
      .AddNumber(ran).Add("\" failures=\"").AddNumber(failed)
      .Add("\" skipped=\"").AddNumber(skipped).Add("\" time=\"")
      .AddNumber(total_ms / 1000).AddChar('.').AddNumber(total_ms % 1000, 10, 3)
      .Add("\" name=\"AllTests\">\n");
  const char* open_suite = nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (!outcomes[i].ran) continue;
    if (open_suite == nullptr || !Equal(open_suite, cases[i].suite)) {
      if (open_suite != nullptr) xml.Add("  </testsuite>\n");
      open_suite = cases[i].suite;
      xml.Add("  <testsuite name=\"").Add(open_suite).Add("\">\n");
    }
    xml.Add("    <testcase name=\"").Add(cases[i].name)
        .Add("\" classname=\"").Add(cases[i].suite).Add("\" time=\"")
        .AddNumber(outcomes[i].milliseconds / 1000).AddChar('.')
        .AddNumber(outcomes[i].milliseconds % 1000, 10, 3).Add("\"");
    if (outcomes[i].skipped) {
      xml.Add(">\n      <skipped message=\"");
      AppendXmlEscaped(xml, reasons.c_str() + outcomes[i].reason_at,
                       outcomes[i].reason_length);
      xml.Add("\"/>\n    </testcase>\n");
    } else if (outcomes[i].failed) {
      xml.Add(">\n      <failure message=\"see the output\"/>\n"
              "    </testcase>\n");
    } else {
      xml.Add("/>\n");
    }
  }
  if (open_suite != nullptr) xml.Add("  </testsuite>\n");
  xml.Add("</testsuites>\n");
  DWORD error = 0;
  if (!WriteWholeFile(path, xml, error)) {
    PrintError("cannot write the XML report\n");
  }
}

}  // namespace

Arguments::Arguments() {
  const wchar_t* line = GetCommandLineW();
  // The program name: quoted up to the next quotation mark, or up to a
  // blank.
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  line_.Set(line);
  at_ = line_.c_str();
}

bool Arguments::Next(Bytes& out) {
  out.Clear();
  while (*at_ == L' ' || *at_ == L'\t') ++at_;
  if (*at_ == 0) return false;
  Wide argument;
  bool quoted = false;
  for (; *at_ != 0 && (quoted || (*at_ != L' ' && *at_ != L'\t')); ++at_) {
    if (*at_ == L'"') {
      quoted = !quoted;
    } else {
      argument.AddChar(*at_);
    }
  }
  AppendUtf8(out, argument);
  return true;
}

void CaseContext::Fail(const Bytes& message) { Fail(message.c_str()); }

void CaseContext::Fail(const char* message) {
  ++failures_;
  Bytes line;
  line.Add("Failure\n").Add(message).AddChar('\n');
  Print(line);
}

bool CaseContext::ExpectNumber(const char* what, uint64_t got,
                               uint64_t expected) {
  if (got == expected) return true;
  Bytes message;
  message.Add(what).Add(": got ").AddNumber(got).Add(" (0x")
      .AddNumber(got, 16).Add("), expected ").AddNumber(expected)
      .Add(" (0x").AddNumber(expected, 16).Add(")");
  Fail(message);
  return false;
}

bool CaseContext::ExpectText(const char* what, const wchar_t* got,
                             const wchar_t* expected) {
  if (Equal(got, expected)) return true;
  Bytes message;
  message.Add(what).Add(":\n  got      \"");
  AppendUtf8(message, got, Length(got));
  message.Add("\"\n  expected \"");
  AppendUtf8(message, expected, Length(expected));
  message.Add("\"");
  Fail(message);
  return false;
}

bool CaseContext::Expect(bool condition, const char* what) {
  if (!condition) Fail(what);
  return condition;
}

void CaseContext::Skip(const char* reason) {
  skipped_ = true;
  skip_reason_.Set(reason);
}

bool MatchesFilter(const char* name, const char* patterns) {
  const char* start = patterns;
  for (const char* at = patterns;; ++at) {
    if (*at == ':' || *at == 0) {
      if (MatchesPattern(name, start, static_cast<size_t>(at - start))) {
        return true;
      }
      if (*at == 0) return false;
      start = at + 1;
    }
  }
}

void AppendXmlEscaped(Bytes& out, const char* text, size_t count,
                      bool attribute) {
  for (size_t i = 0; i < count; ++i) {
    const char c = text[i];
    if (!attribute && (c == '\n' || c == '\t')) {
      out.AddChar(c);
      continue;
    }
    switch (c) {
      case '&': out.Add("&amp;"); break;
      case '<': out.Add("&lt;"); break;
      case '>': out.Add("&gt;"); break;
      case '"': out.Add("&quot;"); break;
      case '\'': out.Add("&apos;"); break;
      case '\n': out.Add("&#x0A;"); break;
      case '\t': out.Add("&#x09;"); break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out.AddChar(c);
    }
  }
}

int RunCases(const Case* cases, size_t count, PrepareFunction prepare,
             void (*finish)()) {
  bool list = false;
  Bytes filter, xml_path;
  filter.Set("*");
  Arguments arguments;
  for (Bytes argument; arguments.Next(argument);) {
    const char* text = argument.c_str();
    if (Equal(text, "--gtest_list_tests")) list = true;
    if (StartsWith(text, "--gtest_filter=")) filter.Set(text + 15);
    if (StartsWith(text, "--gtest_output=xml:")) xml_path.Set(text + 19);
  }

  Bytes name, line;
  if (list) {
    const char* suite = nullptr;
    for (size_t i = 0; i < count; ++i) {
      FullName(name, cases[i]);
      if (!MatchesFilter(name.c_str(), filter.c_str())) continue;
      line.Clear();
      if (suite == nullptr || !Equal(suite, cases[i].suite)) {
        suite = cases[i].suite;
        line.Add(suite).Add(".\n");
      }
      line.Add("  ").Add(cases[i].name).AddChar('\n');
      Print(line);
    }
    return 0;
  }

  Outcome* outcomes = static_cast<Outcome*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Outcome) * count));
  if (outcomes == nullptr) return 1;
  size_t selected = 0;
  for (size_t i = 0; i < count; ++i) {
    FullName(name, cases[i]);
    outcomes[i].ran = MatchesFilter(name.c_str(), filter.c_str());
    selected += outcomes[i].ran;
  }
  line.Set("[==========] Running ");
  AddTestCount(line, selected);
  line.Add(".\n");
  Print(line);

  const ULONGLONG started = GetTickCount64();
  Bytes prepare_failure, reasons;
  if (prepare != nullptr && selected > 0) prepare(prepare_failure);
  for (size_t i = 0; i < count; ++i) {
    if (!outcomes[i].ran) continue;
    FullName(name, cases[i]);
    line.Set("[ RUN      ] ").Add(name).AddChar('\n');
    Print(line);
    const ULONGLONG begun = GetTickCount64();
    CaseContext context;
    if (!prepare_failure.empty()) {
      context.Fail(prepare_failure);
    } else {
      cases[i].run(context);
    }
    Outcome& outcome = outcomes[i];
    outcome.milliseconds = GetTickCount64() - begun;
    outcome.failed = context.failed();
    outcome.skipped = !outcome.failed && context.skipped();
    if (outcome.skipped) {
      outcome.reason_at = reasons.size();
      outcome.reason_length = context.skip_reason().size();
      reasons.Add(context.skip_reason());
      line.Set("Skipped\n").Add(context.skip_reason()).Add("\n\n[  SKIPPED ] ");
    } else {
      line.Set(outcome.failed ? "[  FAILED  ] " : "[       OK ] ");
    }
    line.Add(name);
    AddMilliseconds(line, outcome.milliseconds);
    Print(line);
  }
  if (finish != nullptr && selected > 0) finish();

  size_t passed = 0, failed = 0, skipped = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!outcomes[i].ran) continue;
    if (outcomes[i].failed) {
      ++failed;
    } else if (outcomes[i].skipped) {
      ++skipped;
    } else {
      ++passed;
    }
  }
  const ULONGLONG total = GetTickCount64() - started;
  line.Set("[==========] ");
  AddTestCount(line, selected);
  line.Add(" ran.");
  AddMilliseconds(line, total);
  line.Add("[  PASSED  ] ");
  AddTestCount(line, passed);
  line.Add(".\n");
  for (int kind = 0; kind < 2; ++kind) {
    const bool skips = kind == 0;
    const size_t number = skips ? skipped : failed;
    if (number == 0) continue;
    line.Add(skips ? "[  SKIPPED ] " : "[  FAILED  ] ");
    AddTestCount(line, number);
    line.Add(", listed below:\n");
    for (size_t i = 0; i < count; ++i) {
      if (!outcomes[i].ran ||
          (skips ? !outcomes[i].skipped : !outcomes[i].failed)) {
        continue;
      }
      FullName(name, cases[i]);
      line.Add(skips ? "[  SKIPPED ] " : "[  FAILED  ] ").Add(name)
          .AddChar('\n');
    }
  }
  if (failed > 0) {
    line.Add("\n ").AddNumber(failed)
        .Add(failed == 1 ? " FAILED TEST\n" : " FAILED TESTS\n");
  }
  Print(line);
  if (!xml_path.empty()) {
    Wide path;
    AppendUtf16(path, xml_path.c_str(), xml_path.size());
    WriteXml(path.c_str(), cases, count, outcomes, reasons, total);
  }
  HeapFree(GetProcessHeap(), 0, outcomes);
  return failed > 0 ? 1 : 0;
}

}  // namespace plain
