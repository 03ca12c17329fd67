// Removal of one file or one empty directory, riding out what keeps a freshly
// used object from going for a short while: another handle still open
// without delete sharing (a scanner, an indexer, a child process that has not
// quite let go), directory entries still on their way out, a read-only
// attribute, or an earlier deletion still pending.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"

constexpr int32_t REMOVAL_ATTEMPT_LIMIT = 100;
constexpr uint32_t REMOVAL_WAIT_MS = 100;

// Removes path. True when it does not exist (any more) at the end; false when
// the limit was reached or an error outside the handled set stopped it.
// attempt_count is set to 1 plus the number of waits made. A symbolic link or
// junction is removed itself, never its target; a directory's contents are
// never removed.
bool RemoveWithRetries(const WideChar* path, int32_t& attempt_count);
