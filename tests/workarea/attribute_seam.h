// Windows' attribute rules for the removal's attribute calls, applied under
// Wine, which is laxer in both: Wine adds FILE_ATTRIBUTE_ARCHIVE to every
// regular file it reports, so a file never has read-only as its only
// attribute there, and an attribute word of 0 is never written.
//   - WINDOWS: a file reports only the attributes written to it (Wine's
//     archive attribute is taken out of what GetFileInformationByHandleEx
//     reads), and an attribute word of 0 written through
//     SetFileInformationByHandle(FileBasicInfo) leaves the attributes
//     unchanged ("FILE_BASIC_INFO structure": "If this is set to 0 ... none
//     of the attributes are changed").
//   - INEFFECTIVE_CLEARS: every FileBasicInfo write reports success and
//     changes nothing, as a filter driver or a stale cache might.
// Replaces the two imports for the whole test program; WINE passes through.
#pragma once

namespace attribute_seam {

enum class Rule { WINE, WINDOWS, INEFFECTIVE_CLEARS };

// Back to WINE, count zero. Called by every test's SetUp.
void Reset();

void SetRule(Rule rule);

// FileBasicInfo writes since the last Reset. Past a thousand writes every
// further one fails, so that a routine that never stops ends the test
// instead of hanging it.
int BasicInfoWrites();

}  // namespace attribute_seam
