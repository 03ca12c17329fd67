// exit_code_runner.exe APP_PATH [COMMAND_LINE_FILE]
//
// Starts APP_PATH (as the application name) and prints its full 32-bit exit
// code, which a Linux shell cannot see past the low 8 bits:
//   exit_code=0x%08X\n
// The child's command line is the content of COMMAND_LINE_FILE (UTF-8),
// taken exactly as written: only one final "\n", if present, is removed (a
// "\r" before it stays, and so does any further "\n"). An empty file gives
// an empty command line. Without the file the command line is "APP_PATH" in
// quotation marks. This lets scripts hand an installer tabs, line feeds or
// a missing closing quotation mark.
//
// The child gets no window of its own, no inherited handles, and this
// process's environment and current directory, less the variables named in
// BRIVEL_RUNNER_UNSET (separated by ';'; the variable itself goes too).
//
// Exit status: 0 when the child ran to its end (whatever its code); 1 with a
// message on standard error when it could not be started or waited for; 2
// for a usage error or an unreadable command-line file.
//
// This program's own arguments follow the usual rules: spaces and tabs
// separate them, quotation marks group, and backslashes are literal except
// before a quotation mark (2n backslashes and a quotation mark give n and
// toggle the grouping; 2n+1 give n and a literal quotation mark).
//
// No run-time library: raw entry point, KERNEL32 only, static buffers.
#include <stddef.h>
#include <stdint.h>

#include "base/windows_api.h"

namespace {

// The longest command line CreateProcessW takes, with its terminator.
constexpr DWORD COMMAND_CAPACITY_CHARS = 32768;
// UTF-8 takes at most three bytes per UTF-16 unit; one more for the final
// line feed, one to detect a file that is too long.
constexpr DWORD FILE_CAPACITY = 3 * COMMAND_CAPACITY_CHARS + 2;

constexpr DWORD EXIT_RAN = 0;
constexpr DWORD EXIT_START_FAILED = 1;
constexpr DWORD EXIT_USAGE = 2;

// Never longer than the command line it comes from, plus terminators.
wchar_t g_arguments[COMMAND_CAPACITY_CHARS + 4];
wchar_t g_command_line[COMMAND_CAPACITY_CHARS];
char g_file_bytes[FILE_CAPACITY];

const wchar_t* g_app_path = nullptr;
const wchar_t* g_command_file = nullptr;

DWORD Length(const char* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  return length;
}

void Write(DWORD which, const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text, Length(text), &written, nullptr);
}

void WriteWide(DWORD which, const wchar_t* text) {
  static char utf8[4 * COMMAND_CAPACITY_CHARS];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8,
                                        sizeof(utf8), nullptr, nullptr);
  if (bytes > 0) Write(which, utf8);
}

void FormatHex(char* out, DWORD value) {
  const char* const hex = "0123456789ABCDEF";
  for (int i = 7; i >= 0; --i) {
    out[i] = hex[value & 0xF];
    value >>= 4;
  }
  out[8] = 0;
}

void FormatDecimal(char* out, DWORD value) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  out[count] = 0;
}

[[noreturn]] void Fail(DWORD status, const char* what, const wchar_t* subject,
                       DWORD error) {
  Write(STD_ERROR_HANDLE, "exit_code_runner: ");
  Write(STD_ERROR_HANDLE, what);
  if (subject != nullptr) {
    Write(STD_ERROR_HANDLE, " ");
    WriteWide(STD_ERROR_HANDLE, subject);
  }
  if (error != 0) {
    char number[12];
    FormatDecimal(number, error);
    Write(STD_ERROR_HANDLE, ": error ");
    Write(STD_ERROR_HANDLE, number);
  }
  Write(STD_ERROR_HANDLE, "\n");
  ExitProcess(status);
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Splits this program's command line into g_arguments (each argument
// terminated) and sets g_app_path and g_command_file. False for a wrong
// argument count.
bool SplitArguments(const wchar_t* line) {
  // The program name: quoted up to the next quotation mark, or up to a blank.
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && !IsBlank(*line)) ++line;
  }
  const wchar_t* found[3] = {};
  int count = 0;
  DWORD out = 0;
  for (;;) {
    while (IsBlank(*line)) ++line;
    if (*line == 0) break;
    if (count == 3) return false;
    found[count++] = g_arguments + out;
    bool quoted = false;
    while (*line != 0 && (quoted || !IsBlank(*line))) {
      DWORD backslashes = 0;
      while (*line == L'\\') {
        ++backslashes;
        ++line;
      }
      if (*line == L'"') {
        for (DWORD i = 0; i < backslashes / 2; ++i) g_arguments[out++] = L'\\';
        if (backslashes % 2 == 1) {
          g_arguments[out++] = L'"';
        } else {
          quoted = !quoted;
        }
        ++line;
      } else {
        for (DWORD i = 0; i < backslashes; ++i) g_arguments[out++] = L'\\';
        if (*line != 0 && (quoted || !IsBlank(*line))) {
          g_arguments[out++] = *line++;
        }
      }
    }
    g_arguments[out++] = 0;
  }
  if (count < 1 || count > 2) return false;
  g_app_path = found[0];
  g_command_file = count == 2 ? found[1] : nullptr;
  return true;
}

// The command line from the file, exactly, less one final "\n".
void ReadCommandLine(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(EXIT_USAGE, "cannot open", path, GetLastError());
  }
  DWORD total = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, g_file_bytes + total, FILE_CAPACITY - total, &read,
                  nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      Fail(EXIT_USAGE, "cannot read", path, error);
    }
    if (read == 0) break;
    total += read;
    if (total == FILE_CAPACITY) {
      CloseHandle(file);
      Fail(EXIT_USAGE, "command line too long in", path, 0);
    }
  }
  CloseHandle(file);
  if (total > 0 && g_file_bytes[total - 1] == '\n') --total;
  if (total == 0) {
    g_command_line[0] = 0;
    return;
  }
  const int chars = MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, g_file_bytes, static_cast<int>(total),
      g_command_line, COMMAND_CAPACITY_CHARS - 1);
  if (chars <= 0) {
    Fail(EXIT_USAGE, "not UTF-8 or too long:", path, GetLastError());
  }
  g_command_line[chars] = 0;
}

void QuoteAppPath() {
  DWORD out = 0;
  g_command_line[out++] = L'"';
  for (const wchar_t* c = g_app_path; *c != 0; ++c) {
    if (out + 2 >= COMMAND_CAPACITY_CHARS) {
      Fail(EXIT_USAGE, "path too long:", g_app_path, 0);
    }
    g_command_line[out++] = *c;
  }
  g_command_line[out++] = L'"';
  g_command_line[out] = 0;
}

// Takes the variables named in BRIVEL_RUNNER_UNSET out of this process's
// environment, which the child inherits.
void UnsetRequestedVariables() {
  static wchar_t names[1024];
  const DWORD length =
      GetEnvironmentVariableW(L"BRIVEL_RUNNER_UNSET", names, 1024);
  if (length == 0 || length >= 1024) return;
  SetEnvironmentVariableW(L"BRIVEL_RUNNER_UNSET", nullptr);
  wchar_t* name = names;
  for (wchar_t* c = names;; ++c) {
    const bool last = *c == 0;
    if (last || *c == L';') {
      *c = 0;
      if (*name != 0) SetEnvironmentVariableW(name, nullptr);
      if (last) return;
      name = c + 1;
    }
  }
}

}  // namespace

extern "C" [[noreturn]] void RunnerEntry() {
  if (!SplitArguments(GetCommandLineW())) {
    Write(STD_ERROR_HANDLE,
          "usage: exit_code_runner APP_PATH [COMMAND_LINE_FILE]\n");
    ExitProcess(EXIT_USAGE);
  }
  if (g_command_file != nullptr) {
    ReadCommandLine(g_command_file);
  } else {
    QuoteAppPath();
  }
  UnsetRequestedVariables();

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(g_app_path, g_command_line, nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    Fail(EXIT_START_FAILED, "cannot start", g_app_path, GetLastError());
  }
  CloseHandle(process.hThread);
  DWORD exit_code = 0;
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &exit_code)) {
    const DWORD error = GetLastError();
    CloseHandle(process.hProcess);
    Fail(EXIT_START_FAILED, "cannot wait for", g_app_path, error);
  }
  CloseHandle(process.hProcess);

  char line[32] = "exit_code=0x";
  FormatHex(line + 12, exit_code);
  line[20] = '\n';
  line[21] = 0;
  Write(STD_OUTPUT_HANDLE, line);
  ExitProcess(EXIT_RAN);
}
