// Removal of one file or one empty directory, riding out what keeps a freshly
// used object from going for a short while: another handle still open
// without delete sharing (a scanner, an indexer, a child process that has not
// quite let go), directory entries still on their way out, a read-only
// attribute, or an earlier deletion still pending.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

constexpr int32_t REMOVAL_ATTEMPT_LIMIT = 100;
constexpr uint32_t REMOVAL_WAIT_MS = 100;

// Removes path. True when it does not exist (any more) at the end; false when
// the limit was reached or an error outside the handled set stopped it.
// attempt_count is set to 1 plus the number of waits made. A symbolic link or
// junction is removed itself, never its target; a directory's contents are
// never removed.
bool RemoveWithRetries(const WideChar* path, int32_t& attempt_count);

// Deletes the object a hold refers to through the hold, not by its name, and
// closes the hold (held is INVALID_HANDLE_VALUE afterwards). Holds share no
// deletion, so they bind others but cannot delete: the hold is traded for a
// handle of the same object that asks for its attributes alone, which binds
// nobody (share modes are checked only for opens with data or delete
// access: MS-FSA 2.1.5.1.2), and through that handle (ReOpenFile opens the
// object a handle refers to, not a name) the object is opened again to be
// deleted when it closes. What goes is therefore the object held, even if
// someone renamed it once the hold had gone, and never what stands at its
// name. What cannot go so (someone else's handle that shares no deletion, a
// directory not empty yet, a read-only file, a mapped image) stays for
// removal by path, whose retries ride it out.
void RemoveThroughHandle(HANDLE& held);

