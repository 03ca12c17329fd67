// The conformance runner (runner.exe, started by the kit's run.cmd): runs
// every test of the kit's test programs in a process of its own, as CTest
// does, judges each by what its program says, and keeps the machine as it
// found it. Shared by its modules:
//   runner.cpp           the run: arguments, the machine, the registry,
//                        the report and the closing line
//   runner_tests.cpp     the kit's manifest: calibration, programs, tests
//   runner_process.cpp   one child process: output, time limit, job, verdict
//   runner_registry.cpp  the "Software\Morvex" keys saved, emptied, put back
//   runner_report.cpp    the JUnit report
//   runner_folders.cpp   the native scenarios again from folders the user
//                        names (--folder)
//
// No run-time library, so that the ARM64 kit's runner runs natively under
// ARM64 Wine (which does not run x64 programs) as on Windows on Arm.
#pragma once

#include "support/plain_cases.h"

namespace runner {

using plain::Bytes;
using plain::Wide;

// Set from the console control handler (Ctrl+C, Ctrl+Break, the console
// closing): the running child is ended and the run winds down.
bool Interrupted();
// The event a wait for a child also waits on; signalled on interruption.
HANDLE InterruptEvent();

// ---------------------------------------------------------------- process

// How one child run ended.
struct ChildResult {
  DWORD start_error = 0;  // CreateProcessW's error; 0 when it started
  DWORD exit_code = 0;    // all 32 bits
  bool timed_out = false;
  bool interrupted = false;
  ULONGLONG milliseconds = 0;
  Bytes output;  // standard output and standard error together
};

// Runs "<program>" + arguments in the program's folder with output going
// to output_path (read back into result.output), inside a job object so
// that whatever it started ends with it; a child still running after
// limit_ms is ended (timed_out), and so is one running when the run is
// interrupted, unless it is not interruptible.
void RunChild(const Wide& program, const wchar_t* arguments,
              const Wide& output_path, DWORD limit_ms, ChildResult& result,
              bool interruptible = true);

// Starts a program that cannot run on this machine's processor: x64
// programs under ARM64 Wine, which does not emulate x64.
inline bool IsForeignMachine(DWORD start_error) {
  return start_error == ERROR_BAD_EXE_FORMAT ||
         start_error == ERROR_EXE_MACHINE_TYPE_MISMATCH;
}

// True, with the reason in words (nothing in it needs escaping in XML),
// when CreateProcessW's error says that a policy refused to start the
// program: Smart App Control or App Control for Business (4551, and the
// reputation answers 4556 to 4559 and 4580 to 4583 beside it), AppLocker
// or a software restriction policy (1260). Such a test program did not
// run: that is no failure of the product.
bool PolicyBlock(DWORD start_error, Bytes& reason);

// BLOCKED: a policy refused to start the test's program; reported as a
// skip with the reason, and counted apart in the closing line.
enum class Verdict { PASSED, FAILED, SKIPPED, BLOCKED };

// What a test's program said about it. Passed only when GoogleTest's
// closing line says one test passed, no failure line is there, the exit
// code is 0 and no crash shows; skipped when it says the test was skipped
// (the reason from the XML report's <skipped message>, XML-escaped);
// blocked when a policy refused to start it (PolicyBlock); failed
// otherwise, with the reason: a crash, an exception code or a crash report
// in the output, is a failure whatever the exit code, and so is a program
// that could not start for another reason.
Verdict Judge(const ChildResult& child, const Bytes& xml, Bytes& reason);

// ---------------------------------------------------------------- registry

// The "Software\Morvex" keys the suite touches (HKEY_CURRENT_USER; and
// HKEY_LOCAL_MACHINE in the 32-bit and 64-bit views), exported with
// reg.exe into work_dir, then deleted so the tests start from nothing.
// Returns false with a message when a key could not be saved.
bool SaveRegistry(const Wide& work_dir, Bytes& message);
// Puts back what SaveRegistry found: a key that differs from its saved
// export is deleted and imported again; one that was absent is deleted.
// Returns false with a message when a key is not as it was afterwards.
bool RestoreRegistry(Bytes& message);

// ---------------------------------------------------------------- report

// One test's result for the report and the closing counts.
struct TestRecord {
  const char* suite;      // the program's name
  const char* classname;  // GoogleTest's suite
  const char* name;
  Verdict verdict;
  ULONGLONG milliseconds;
  const Bytes* reason;  // XML-escaped for a skip; plain text otherwise
  const Bytes* output;  // for a failure: the program's output
};

class Report {
 public:
  // Opens a testsuite element for a program; the previous one closes.
  void BeginSuite(const char* name);
  void Add(const TestRecord& record);
  // Writes <testsuites> with everything added to path.
  bool Write(const wchar_t* path, const char* title);

  size_t passed() const { return passed_; }
  size_t failed() const { return failed_; }
  // Blocked tests among them.
  size_t skipped() const { return skipped_; }
  size_t blocked() const { return blocked_; }

 private:
  void CloseSuite();
  Bytes suites_, cases_;
  Bytes suite_name_;
  bool suite_open_ = false;
  size_t passed_ = 0, failed_ = 0, skipped_ = 0, blocked_ = 0;
  size_t suite_tests_ = 0, suite_failed_ = 0, suite_skipped_ = 0;
  ULONGLONG suite_ms_ = 0, total_ms_ = 0;
};

// ---------------------------------------------------------------- the run

constexpr DWORD DEFAULT_LIMIT_S = 600;

// Beyond this the tests' temporary folder is too deep for the tests that
// make folders of 235 characters and more in it.
constexpr size_t LONGEST_TEMP_FOLDER = 100;

struct Run {
  Wide kit;       // the folder of runner.exe and kit.txt
  Wide work;      // kit\work
  Wide temp;      // the tests' temporary folder
  Wide output;    // work\output.txt
  Wide xml;       // work\result.xml
  Bytes arch;     // kit.txt's "arch" line: the target of the kit
  Bytes filter;   // GoogleTest's patterns on "Suite.Name"
  Bytes folders;  // --folder's values, one a line (UTF-8)
  DWORD limit_ms = DEFAULT_LIMIT_S * 1000;
  // During a pass in a --folder: " in DIR (FS)", added to the suites'
  // names; and, when DIR cannot be used, why (its one failed test).
  Bytes place;
  Bytes place_failure;
  Report report;
};

// What a walk of the manifest runs: the "crasher" lines (the calibration),
// every "program" line, or only the native scenarios (the "program" lines
// of the kit's own target with no "test" lines after them).
enum class Pass { CALIBRATION, PROGRAMS, NATIVE };

// Walks the manifest (kit.txt) for a pass, each program's tests run,
// judged, reported and printed. Stops when the run is interrupted.
void RunManifest(Run& run, const Bytes& manifest, Pass pass);

// After the usual run: for each --folder, the native scenarios once more
// with TEMP and TMP pointing at a folder of the runner's own made inside
// it (removed afterwards), each pass a suite of its own named for the
// folder and its file system. A folder that cannot be used is one failed
// test of its suite, with the reason; so is a folder of the runner's own
// that cannot be removed. TEMP and TMP point at run.temp again afterwards.
void RunInFolders(Run& run, const Bytes& manifest);

// Adds a test's result to the report and prints its line (and, for a
// failure, the end of its output).
void Record(Run& run, const char* suite, const Bytes& full_name,
            Verdict verdict, ULONGLONG milliseconds, const Bytes& reason,
            const Bytes* output);

void Say(const Bytes& line);

// A skip message of GoogleTest's XML ("file:line&#x0A;reason") as plain
// text for the console: the reason alone, entities decoded.
void SkipReasonForConsole(const Bytes& escaped, Bytes& out);

}  // namespace runner
