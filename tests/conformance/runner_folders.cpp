// The native scenarios once more from each folder named with --folder: a
// FAT32 stick, an exFAT card, a share. The temporary folder of their cases
// (GetTempPathW, which reads TMP, then TEMP) becomes a folder of the
// runner's own inside it, so that the installers the cases copy there, the
// work directories beside them and setup all run from that volume.
#include "conformance/runner.h"

namespace runner {
namespace {

constexpr wchar_t OWN_FOLDER_PREFIX[] = L"brivel-conformance-";

// The folder's full path, without a final backslash unless it is a drive's
// root ("E:\"): the name the report gives it. False with the error when
// GetFullPathNameW refuses it.
bool FullPath(const Wide& folder, Wide& out, DWORD& error) {
  DWORD capacity = MAX_PATH;
  for (;;) {
    wchar_t* buffer = out.Resize(capacity);
    const DWORD length =
        GetFullPathNameW(folder.c_str(), capacity + 1, buffer, nullptr);
    if (length == 0) {
      error = GetLastError();
      out.Clear();
      return false;
    }
    // Too small a buffer: the size it needs, terminator included.
    if (length <= capacity) {
      out.Truncate(length);
      break;
    }
    capacity = length;
  }
  while (out.size() > 1 && out.c_str()[out.size() - 1] == L'\\' &&
         !(out.size() == 3 && out.c_str()[1] == L':')) {
    out.Truncate(out.size() - 1);
  }
  return true;
}

// " in DIR (FS)", or " in DIR (FS, remote)": the file system that
// GetVolumeInformationW names for the volume root GetVolumePathNameW finds
// for DIR, remote when GetDriveTypeW says DRIVE_REMOTE. On a SUBST drive
// the path found need not be a root that GetVolumeInformationW answers
// (Microsoft's GetVolumePathNameW documentation); the file system is then
// unknown, with the error.
void DescribePlace(const Wide& full, Bytes& out) {
  out.Set(" in ");
  plain::AppendUtf8(out, full);
  wchar_t root[MAX_PATH + 1];
  wchar_t file_system[MAX_PATH + 1];
  if (!GetVolumePathNameW(full.c_str(), root, MAX_PATH + 1)) {
    const DWORD error = GetLastError();
    out.Add(" (file system unknown: GetVolumePathNameW fails with error ")
        .AddNumber(error).AddChar(')');
    return;
  }
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr,
                             file_system, MAX_PATH + 1)) {
    const DWORD error = GetLastError();
    out.Add(" (file system unknown: GetVolumeInformationW fails with error ")
        .AddNumber(error).AddChar(')');
    return;
  }
  out.Add(" (");
  plain::AppendUtf8(out, file_system, plain::Length(file_system));
  if (GetDriveTypeW(root) == DRIVE_REMOTE) out.Add(", remote");
  out.AddChar(')');
}

// Makes the runner's own folder inside full into own; when that cannot be
// done, own is empty and why says why, naming the folder.
void MakeOwnFolder(const Wide& full, Wide& own, Bytes& why) {
  own.Clear();
  why.Clear();
  plain::AppendUtf8(why, full);
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    why.Add(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? " does not exist"
                : " cannot be read")
        .Add(" (GetFileAttributesW fails with error ").AddNumber(error)
        .AddChar(')');
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    why.Add(" is not a folder");
    return;
  }
  Wide path;
  path.Set(full.c_str());
  if (path.c_str()[path.size() - 1] != L'\\') path.AddChar(L'\\');
  path.Add(OWN_FOLDER_PREFIX).AddNumber(GetCurrentProcessId());
  if (path.size() > LONGEST_TEMP_FOLDER) {
    why.Add(" is too deep: the runner's folder inside it would have ")
        .AddNumber(path.size()).Add(" characters, more than the ")
        .AddNumber(LONGEST_TEMP_FOLDER)
        .Add(" that leave the path-limit scenarios their room");
    return;
  }
  // One left by a runner of the same process id that was killed.
  plain::RemoveTree(path.c_str());
  if (!CreateDirectoryW(path.c_str(), nullptr)) {
    const DWORD error = GetLastError();
    why.Add(" cannot be written (CreateDirectoryW fails with error ")
        .AddNumber(error).AddChar(')');
    return;
  }
  own.Set(path.c_str());
  why.Clear();
}

void PointTempAt(const Wide& folder) {
  SetEnvironmentVariableW(L"TEMP", folder.c_str());
  SetEnvironmentVariableW(L"TMP", folder.c_str());
}

}  // namespace

void RunInFolders(Run& run, const Bytes& manifest) {
  Wide folder, full, own;
  Bytes line, name, reason, suite;
  for (const char* at = run.folders.c_str(); *at != 0 && !Interrupted();) {
    const char* end = at;
    while (*end != '\n') ++end;
    folder.Clear();
    plain::AppendUtf16(folder, at, static_cast<size_t>(end - at));
    at = end + 1;
    own.Clear();
    DWORD error = 0;
    if (FullPath(folder, full, error)) {
      DescribePlace(full, run.place);
      MakeOwnFolder(full, own, run.place_failure);
    } else {
      run.place.Set(" in ");
      plain::AppendUtf8(run.place, folder);
      run.place_failure.Set("");
      plain::AppendUtf8(run.place_failure, folder);
      run.place_failure.Add(" cannot be used (GetFullPathNameW fails with error ")
          .AddNumber(error).AddChar(')');
    }
    line.Set("folder: the native scenarios").Add(run.place);
    if (!own.empty()) {
      line.Add(", with the temporary folder ");
      plain::AppendUtf8(line, own);
    }
    Say(line.AddChar('\n'));

    if (!own.empty()) PointTempAt(own);
    RunManifest(run, manifest, Pass::NATIVE);
    if (own.empty()) continue;
    PointTempAt(run.temp);
    plain::RemoveTree(own.c_str());
    if (GetFileAttributesW(own.c_str()) != INVALID_FILE_ATTRIBUTES) {
      // Into the folder's suite, the last one begun.
      reason.Set("");
      plain::AppendUtf8(reason, own);
      reason.Add(" could not be removed after the pass: something in it is "
                 "still open or read-only");
      name.Set("Folder.LeftNothing");
      suite.Set("folder").Add(run.place);
      Record(run, suite.c_str(), name, Verdict::FAILED, 0, reason, nullptr);
    }
  }
  run.place.Clear();
  run.place_failure.Clear();
}

}  // namespace runner
