// A table of test cases for a program without a run-time library that
// speaks GoogleTest's language, so that CTest (gtest_discover_tests) and the
// conformance runner run and count its cases like any GoogleTest test:
//
//   --gtest_list_tests        lists "Suite." lines, each followed by its
//                             "  Name" lines
//   --gtest_filter=PATTERNS   runs the cases whose "Suite.Name" matches one of
//                             the ':'-separated patterns ('*' and '?')
//   --gtest_output=xml:FILE   also writes a JUnit report (a skipped case
//                             carries its reason as <skipped message>)
//
// Output: "[ RUN      ]", "[       OK ]", "[  FAILED  ]" and "[  SKIPPED ]"
// lines per case, the reason of every failure and skip, and GoogleTest's
// closing lines ("[  PASSED  ] N tests." ...). Exit code 1 when a case
// failed, 0 otherwise.
#pragma once

#include "support/plain_text.h"

namespace plain {

// What a case reports through: failures (the case goes on unless it
// returns) and a skip with its reason.
class CaseContext {
 public:
  // Records a failure; message is printed at once, as GoogleTest does.
  void Fail(const Bytes& message);
  void Fail(const char* message);
  // Fails with "what: got G, expected E" unless they are equal; returns
  // whether they were.
  bool ExpectNumber(const char* what, uint64_t got, uint64_t expected);
  bool ExpectText(const char* what, const wchar_t* got, const wchar_t* expected);
  bool Expect(bool condition, const char* what);
  // Marks the case skipped with the reason; the case should return.
  void Skip(const char* reason);

  bool failed() const { return failures_ > 0; }
  bool skipped() const { return skipped_; }
  const Bytes& skip_reason() const { return skip_reason_; }

 private:
  int failures_ = 0;
  bool skipped_ = false;
  Bytes skip_reason_;
};

struct Case {
  const char* suite;
  const char* name;
  void (*run)(CaseContext& context);
};

// Runs the cases the command line selects (all by default), between
// prepare and finish (either may be null): prepare runs before the first
// case and may fail the run (a non-empty message), finish after the last
// case. Returns the exit code.
using PrepareFunction = void (*)(Bytes& failure);
int RunCases(const Case* cases, size_t count, PrepareFunction prepare,
             void (*finish)());

// This program's own arguments, one by one as UTF-8: spaces and tabs
// separate them, quotation marks group (and are dropped), backslashes are
// literal.
class Arguments {
 public:
  Arguments();
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  // The next argument into out; false at the end.
  bool Next(Bytes& out);

 private:
  Wide line_;
  const wchar_t* at_ = nullptr;
};

// True when name matches the ':'-separated '*'/'?' patterns.
bool MatchesFilter(const char* name, const char* patterns);

// Appends text with XML's five special characters escaped and other
// control characters dropped; in an attribute, tab and line feed are
// escaped too, in element content they stay.
void AppendXmlEscaped(Bytes& out, const char* text, size_t count,
                      bool attribute = true);

}  // namespace plain
