// Directories whose paths have an exact length, for the capacity limits.
#pragma once

#include <string>

namespace long_paths {

// Creates a chain of directories under base (an existing directory, no
// trailing backslash) and returns the deepest one with a trailing backslash:
// exactly length characters. Empty when length leaves no room for a name.
// Created through the \\?\ prefix, which Windows needs for directories
// beyond MAX_PATH - 12 characters; Wine accepts long paths either way.
std::wstring MakeDirectoryOfLength(const std::wstring& base, size_t length);

}  // namespace long_paths
