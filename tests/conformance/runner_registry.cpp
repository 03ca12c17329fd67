#include "conformance/runner.h"

namespace runner {
namespace {

// reg.exe answers within seconds; a hung one is not waited for longer.
constexpr DWORD REG_LIMIT_MS = 60000;

struct SavedKey {
  const wchar_t* key;
  const wchar_t* view;  // reg.exe's view switch, or "" for HKCU (shared)
  const char* label;
};

// HKEY_CURRENT_USER\Software is one key for both views; the machine's
// Software has one per view (WOW6432Node for the 32-bit one).
constexpr SavedKey KEYS[] = {
    {L"HKCU\\Software\\Morvex", L"", "HKCU\\Software\\Morvex"},
    {L"HKLM\\Software\\Morvex", L" /reg:32",
     "HKLM\\Software\\Morvex (32-bit view)"},
    {L"HKLM\\Software\\Morvex", L" /reg:64",
     "HKLM\\Software\\Morvex (64-bit view)"},
};
constexpr int KEY_COUNT = sizeof(KEYS) / sizeof(KEYS[0]);

// Static storage, zero until SaveRegistry: no constructor runs before the
// entry point.
struct State {
  bool saved;
  wchar_t work_dir[32768];
  bool existed[KEY_COUNT];
};
State g_state;

// Runs reg.exe with arguments; its exit code (1 when it does not start).
DWORD Reg(const Wide& arguments) {
  wchar_t system[MAX_PATH + 1];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return 1;
  Wide program, output;
  program.Set(system).Add(L"\\reg.exe");
  output.Set(g_state.work_dir).Add(L"\\reg-output.txt");
  ChildResult result;
  // Not cut short by Ctrl+C: this is how the keys are put back after one.
  RunChild(program, arguments.c_str(), output, REG_LIMIT_MS, result, false);
  if (result.start_error != 0 || result.timed_out) return 1;
  return result.exit_code;
}

void ExportFile(Wide& out, int index, const wchar_t* kind) {
  out.Set(g_state.work_dir).Add(L"\\registry-").Add(kind)
      .AddNumber(static_cast<uint64_t>(index)).Add(L".reg");
}

// reg export KEY FILE /y [view]: true when the key exists and was written.
bool Export(int index, const Wide& file) {
  Wide arguments;
  arguments.Add(L"export \"").Add(KEYS[index].key).Add(L"\" \"").Add(file)
      .Add(L"\" /y").Add(KEYS[index].view);
  DeleteFileW(file.c_str());
  return Reg(arguments) == 0 &&
         GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Delete(int index) {
  Wide arguments;
  arguments.Add(L"delete \"").Add(KEYS[index].key).Add(L"\" /f")
      .Add(KEYS[index].view);
  Reg(arguments);
}

// True when the key is as it was saved: absent then and now, or exported
// to the same bytes.
bool AsSaved(int index) {
  Wide saved, now;
  ExportFile(saved, index, L"saved-");
  ExportFile(now, index, L"now-");
  const bool exists = Export(index, now);
  if (exists != g_state.existed[index]) return false;
  if (!exists) return true;
  Bytes before, after;
  DWORD error = 0;
  if (!plain::ReadWholeFile(saved.c_str(), before, error) ||
      !plain::ReadWholeFile(now.c_str(), after, error) ||
      before.size() != after.size()) {
    return false;
  }
  // reg.exe writes UTF-16: compare bytes, not strings.
  for (size_t i = 0; i < before.size(); ++i) {
    if (before.c_str()[i] != after.c_str()[i]) return false;
  }
  return true;
}

}  // namespace

bool SaveRegistry(const Wide& work_dir, Bytes& message) {
  if (work_dir.size() >= sizeof(g_state.work_dir) / sizeof(wchar_t)) {
    message.Add("the kit's folder is too deep to save the registry in\n");
    return false;
  }
  for (size_t i = 0; i <= work_dir.size(); ++i) {
    g_state.work_dir[i] = work_dir.c_str()[i];
  }
  Wide file;
  for (int i = 0; i < KEY_COUNT; ++i) {
    ExportFile(file, i, L"saved-");
    g_state.existed[i] = Export(i, file);
  }
  g_state.saved = true;
  // Only now that all are saved: start from nothing.
  for (int i = 0; i < KEY_COUNT; ++i) {
    if (!g_state.existed[i]) continue;
    Delete(i);
    Wide check;
    ExportFile(check, i, L"now-");
    if (Export(i, check)) {
      message.Add("cannot empty ").Add(KEYS[i].label)
          .Add(" for the run (not an elevated prompt?); it stays as it was\n");
    }
  }
  return true;
}

bool RestoreRegistry(Bytes& message) {
  if (!g_state.saved) return true;
  bool all = true;
  for (int i = 0; i < KEY_COUNT; ++i) {
    if (AsSaved(i)) continue;
    Delete(i);
    if (g_state.existed[i]) {
      Wide file, arguments;
      ExportFile(file, i, L"saved-");
      arguments.Add(L"import \"").Add(file).Add(L"\"").Add(KEYS[i].view);
      Reg(arguments);
    }
    const bool back = AsSaved(i);
    all = all && back;
    message.Add("registry: ").Add(KEYS[i].label)
        .Add(!back ? " could NOT be put back as it was\n"
             : g_state.existed[i] ? " is put back as it was\n"
                                  : " was made by the run and is removed\n");
  }
  g_state.saved = false;
  return all;
}

}  // namespace runner
