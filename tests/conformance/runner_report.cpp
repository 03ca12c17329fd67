#include "conformance/runner.h"

namespace runner {
namespace {

// The end of a failed test's output goes into its <failure>: enough for
// the assertion messages and a crash report's first lines.
constexpr size_t OUTPUT_TAIL = 6000;

void AddSeconds(Bytes& out, ULONGLONG milliseconds) {
  out.AddNumber(milliseconds / 1000).AddChar('.')
      .AddNumber(milliseconds % 1000, 10, 3);
}

void AddAttribute(Bytes& out, const char* name, const char* value) {
  out.AddChar(' ').Add(name).Add("=\"");
  plain::AppendXmlEscaped(out, value, plain::Length(value));
  out.AddChar('"');
}

// Text that is valid UTF-8, whatever the program wrote: invalid bytes
// become replacement characters on the way through UTF-16.
void AddOutputTail(Bytes& out, const Bytes& output) {
  const size_t from =
      output.size() > OUTPUT_TAIL ? output.size() - OUTPUT_TAIL : 0;
  Wide wide;
  plain::AppendUtf16(wide, output.c_str() + from, output.size() - from);
  Bytes clean;
  plain::AppendUtf8(clean, wide);
  plain::AppendXmlEscaped(out, clean.c_str(), clean.size(), false);
}

}  // namespace

void Report::CloseSuite() {
  if (!suite_open_) return;
  suites_.Add("  <testsuite");
  AddAttribute(suites_, "name", suite_name_.c_str());
  suites_.Add(" tests=\"").AddNumber(suite_tests_).Add("\" failures=\"")
      .AddNumber(suite_failed_).Add("\" errors=\"0\" skipped=\"")
      .AddNumber(suite_skipped_).Add("\" time=\"");
  AddSeconds(suites_, suite_ms_);
  suites_.Add("\">\n").Add(cases_).Add("  </testsuite>\n");
  cases_.Clear();
  suite_open_ = false;
}

void Report::BeginSuite(const char* name) {
  CloseSuite();
  suite_name_.Set(name);
  suite_open_ = true;
  suite_tests_ = suite_failed_ = suite_skipped_ = 0;
  suite_ms_ = 0;
}

void Report::Add(const TestRecord& record) {
  ++suite_tests_;
  suite_ms_ += record.milliseconds;
  total_ms_ += record.milliseconds;
  cases_.Add("    <testcase");
  AddAttribute(cases_, "classname", record.classname);
  AddAttribute(cases_, "name", record.name);
  cases_.Add(" time=\"");
  AddSeconds(cases_, record.milliseconds);
  cases_.AddChar('"');
  switch (record.verdict) {
    case Verdict::PASSED:
      ++passed_;
      cases_.Add("/>\n");
      break;
    case Verdict::BLOCKED:
      // A skip in JUnit's terms, its reason free of XML's special
      // characters (PolicyBlock); counted apart for the closing line.
      ++blocked_;
      [[fallthrough]];
    case Verdict::SKIPPED:
      ++skipped_;
      ++suite_skipped_;
      // Already escaped: it comes from GoogleTest's own XML.
      cases_.Add(">\n      <skipped message=\"").Add(*record.reason)
          .Add("\"/>\n    </testcase>\n");
      break;
    case Verdict::FAILED:
      ++failed_;
      ++suite_failed_;
      cases_.Add(">\n      <failure");
      AddAttribute(cases_, "message", record.reason->c_str());
      cases_.Add(">");
      if (record.output != nullptr) AddOutputTail(cases_, *record.output);
      cases_.Add("</failure>\n    </testcase>\n");
      break;
  }
}

bool Report::Write(const wchar_t* path, const char* title) {
  CloseSuite();
  Bytes xml;
  xml.Add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites");
  AddAttribute(xml, "name", title);
  xml.Add(" tests=\"").AddNumber(passed_ + failed_ + skipped_)
      .Add("\" failures=\"").AddNumber(failed_)
      .Add("\" errors=\"0\" skipped=\"").AddNumber(skipped_)
      .Add("\" time=\"");
  AddSeconds(xml, total_ms_);
  xml.Add("\">\n").Add(suites_).Add("</testsuites>\n");
  DWORD error = 0;
  return plain::WriteWholeFile(path, xml, error);
}

void SkipReasonForConsole(const Bytes& escaped, Bytes& out) {
  out.Clear();
  const char* text = escaped.c_str();
  // GoogleTest puts "file:line" and a line feed before the reason.
  const char* after_location = plain::Find(text, "&#x0A;");
  if (after_location != nullptr) text = after_location + 6;
  const struct {
    const char* entity;
    char c;
  } entities[] = {{"&amp;", '&'},  {"&lt;", '<'},   {"&gt;", '>'},
                  {"&quot;", '"'}, {"&apos;", '\''}, {"&#x0A;", ' '},
                  {"&#x09;", ' '}};
  while (*text != 0) {
    bool decoded = false;
    for (const auto& e : entities) {
      if (plain::StartsWith(text, e.entity)) {
        out.AddChar(e.c);
        text += plain::Length(e.entity);
        decoded = true;
        break;
      }
    }
    if (!decoded) out.AddChar(*text++);
  }
  while (!out.empty() && out.c_str()[out.size() - 1] == ' ') {
    out.Truncate(out.size() - 1);
  }
}

}  // namespace runner
