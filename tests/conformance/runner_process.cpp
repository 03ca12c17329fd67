#include "conformance/runner.h"

namespace runner {
namespace {

using plain::Find;

// What Wine writes when a process dies of an unhandled exception: its own
// line on standard error, and winedbg's report when its debugger runs. A
// program that shows either crashed, whatever its exit code (Wine 8 now and
// then ends such a process with 0 after the debugger's report).
constexpr const char* CRASH_MARKERS[] = {"wine: Unhandled ",
                                         "Unhandled exception: "};

// NTSTATUS values of error severity: what a process that died of an
// exception ends with (0xC0000005, 0xC0000409, ...).
constexpr DWORD ERROR_SEVERITY = 0xC0000000;

bool Has(const Bytes& text, const char* needle) {
  return Find(text.c_str(), needle) != nullptr;
}

HANDLE OpenForChild(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path, access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A job whose processes all end when its last handle closes; null when
// jobs cannot be had (the run goes on without).
HANDLE MakeJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                          sizeof(limits));
  return job;
}

}  // namespace

void RunChild(const Wide& program, const wchar_t* arguments,
              const Wide& output_path, DWORD limit_ms, ChildResult& result,
              bool interruptible) {
  result.start_error = 0;
  result.exit_code = 0;
  result.timed_out = false;
  result.interrupted = false;
  result.milliseconds = 0;
  result.output.Clear();

  Wide command_line, folder;
  command_line.AddChar(L'"').Add(program).Add(L"\" ").Add(arguments);
  folder.Set(program.c_str());
  size_t cut = folder.size();
  while (cut > 0 && folder.c_str()[cut - 1] != L'\\') --cut;
  folder.Truncate(cut > 0 ? cut - 1 : 0);

  const HANDLE output =
      OpenForChild(output_path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE input = OpenForChild(L"NUL", GENERIC_READ, OPEN_EXISTING);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  const ULONGLONG started = GetTickCount64();
  // No console of its own: the runner alone answers Ctrl+C, and ends the
  // child through its job.
  const BOOL created = CreateProcessW(
      program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
      folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  if (!created) result.start_error = GetLastError();
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!created) return;

  const HANDLE job = MakeJob();
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  const HANDLE waits[] = {process.hProcess, InterruptEvent()};
  const DWORD woken =
      WaitForMultipleObjects(interruptible ? 2 : 1, waits, FALSE, limit_ms);
  if (woken != WAIT_OBJECT_0) {
    result.timed_out = woken == WAIT_TIMEOUT;
    result.interrupted = !result.timed_out;
    TerminateProcess(process.hProcess, ERROR_TIMEOUT);
    WaitForSingleObject(process.hProcess, 10000);
  }
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  result.milliseconds = GetTickCount64() - started;
  CloseHandle(process.hProcess);
  // Whatever the program left running (a holder, an installer) ends here.
  if (job != nullptr) {
    TerminateJobObject(job, ERROR_PROCESS_ABORTED);
    CloseHandle(job);
  }
  DWORD error = 0;
  plain::ReadWholeFile(output_path.c_str(), result.output, error);
}

// CreateProcessW's answers when a policy refuses a program, and who gives
// them: Smart App Control and App Control for Business refuse with
// ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION, or with one of the reputation
// answers beside it, and log event 3077 ("Smart App Control overview";
// "Select types of rules to create"); AppLocker and software restriction
// policies refuse with ERROR_ACCESS_DISABLED_BY_POLICY and log event 8004
// ("Executable rules in AppLocker"). The names are the Windows SDK's
// (winerror.h); mingw-w64 10 lacks the code-integrity ones.
struct PolicyAnswer {
  DWORD error;
  const char* name;
  const char* who;
};
constexpr const char* CODE_INTEGRITY =
    "Smart App Control or App Control for Business (Code Integrity event 3077)";
constexpr const char* REPUTATION =
    "Smart App Control's reputation service (Code Integrity event 3077)";
constexpr PolicyAnswer POLICY_ANSWERS[] = {
    {1260, "ERROR_ACCESS_DISABLED_BY_POLICY",
     "AppLocker or a software restriction policy (AppLocker event 8004)"},
    {4551, "ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION", CODE_INTEGRITY},
    {4556, "ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS", REPUTATION},
    {4557, "ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA", REPUTATION},
    {4558, "ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT", REPUTATION},
    {4559, "ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE", REPUTATION},
    {4580, "ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE", REPUTATION},
    {4581, "ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE", REPUTATION},
    {4582, "ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE",
     CODE_INTEGRITY},
    {4583, "ERROR_SYSTEM_INTEGRITY_WHQL_NOT_SATISFIED", CODE_INTEGRITY},
};

bool PolicyBlock(DWORD start_error, Bytes& reason) {
  for (const PolicyAnswer& answer : POLICY_ANSWERS) {
    if (answer.error != start_error) continue;
    reason.Set("blocked by ").Add(answer.who)
        .Add(": CreateProcessW refuses the program with error ")
        .AddNumber(start_error).Add(" (").Add(answer.name)
        .Add("); make the kit with the signing options of tools/conformance "
             "(a certificate of a CA in Microsoft's Trusted Root Program), or "
             "run it where the policy allows it");
    return true;
  }
  return false;
}

Verdict Judge(const ChildResult& child, const Bytes& xml, Bytes& reason) {
  reason.Clear();
  if (child.start_error != 0) {
    if (PolicyBlock(child.start_error, reason)) return Verdict::BLOCKED;
    reason.Set("cannot start: CreateProcessW fails with error ")
        .AddNumber(child.start_error);
    return Verdict::FAILED;
  }
  if (child.interrupted) {
    reason.Set("interrupted (Ctrl+C): ended by the runner");
    return Verdict::FAILED;
  }
  if (child.timed_out) {
    reason.Set("did not end in time: ended by the runner");
    return Verdict::FAILED;
  }
  for (const char* marker : CRASH_MARKERS) {
    if (Has(child.output, marker)) {
      reason.Set("crashed: Wine's report of an unhandled exception is in its "
                 "output (exit code ")
          .AddHex32(child.exit_code).AddChar(')');
      return Verdict::FAILED;
    }
  }
  if (child.exit_code >= ERROR_SEVERITY) {
    reason.Set("crashed: ended with exception code ").AddHex32(child.exit_code);
    return Verdict::FAILED;
  }
  if (Has(child.output, "[  FAILED  ]")) {
    reason.Set("failed (exit code ").AddNumber(child.exit_code).AddChar(')');
    return Verdict::FAILED;
  }
  if (child.exit_code != 0) {
    reason.Set("exit code ").AddNumber(child.exit_code)
        .Add(" without a failure line");
    return Verdict::FAILED;
  }
  if (Has(child.output, "[  SKIPPED ] 1 test")) {
    const char* message = Find(xml.c_str(), "<skipped message=\"");
    if (message != nullptr) {
      message += 18;
      const char* end = message;
      while (*end != 0 && *end != '"') ++end;
      reason.Add(message, static_cast<size_t>(end - message));
    }
    if (reason.empty()) reason.Set("skipped (no reason given)");
    return Verdict::SKIPPED;
  }
  if (Has(child.output, "[  PASSED  ] 1 test.")) return Verdict::PASSED;
  reason.Set("no closing line: GoogleTest's \"[  PASSED  ] 1 test.\" is "
             "missing (exit code 0)");
  return Verdict::FAILED;
}

}  // namespace runner
