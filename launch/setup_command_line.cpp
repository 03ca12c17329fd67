#include "launch/setup_command_line.h"

#include "base/stack_protection.h"

namespace {

const WideChar QUOTE[] = L"\"";
const WideChar SWITCH_LEAD[] = L" --";
const WideChar VALUE_OPEN[] = L"=\"";
const WideChar VALUE_CLOSE_AND_LEAD[] = L"\" --";
const WideChar SEPARATOR[] = L" ";

bool IsArgumentBreak(WideChar c) { return c == L' ' || c == L'\t'; }

}  // namespace

bool ComposeSetupCommandLine(const WideChar* setup_path,
                             const WideChar* own_path,
                             const WideChar* archive_name,
                             const WideChar* archive_type,
                             const WideChar* installer_command_line,
                             CommandBuffer& command_line) {
  const WideChar* const pieces[] = {
      setup_path,  QUOTE,       SWITCH_LEAD,
      L"mini-installer-path",   VALUE_OPEN,
      own_path,    VALUE_CLOSE_AND_LEAD,
      L"archive-resource-name", VALUE_OPEN,
      archive_name, VALUE_CLOSE_AND_LEAD,
      L"archive-resource-type", VALUE_OPEN,
      archive_type, QUOTE,
  };
  if (!BoundedCopy(command_line.text, COMMAND_CAPACITY, QUOTE)) return false;
  for (const WideChar* piece : pieces) {
    if (!BoundedAppend(command_line.text, COMMAND_CAPACITY, piece)) {
      return false;
    }
  }
  AppendPassThrough(installer_command_line, command_line);
  return true;
}

void AppendPassThrough(const WideChar* installer_command_line,
                       CommandBuffer& command_line) {
  const WideChar* rest = installer_command_line;
  if (rest == nullptr) return;
  // Skip the program name. A quoted one ends at the very next quotation
  // mark (no backslash rules); an unquoted one at a space, a tab or the end.
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    if (*rest == 0) return;  // unclosed: pass nothing
    ++rest;
  } else {
    while (*rest != 0 && !IsArgumentBreak(*rest)) ++rest;
  }
  if (*rest == 0) return;
  // Appends that do not fit leave the line as it was: the remainder is
  // dropped whole, never cut.
  if (!IsArgumentBreak(*rest) &&
      !BoundedAppend(command_line.text, COMMAND_CAPACITY, SEPARATOR)) {
    return;
  }
  BoundedAppend(command_line.text, COMMAND_CAPACITY, rest);
}

