// The registry of the native scenarios: the client-state key of a case in
// the 32-bit view, made for it and removed afterwards; the removal setting
// taken out for the run; the token's default owner.
#pragma once

#include "scenarios/native/native_support.h"

namespace native {

// The stable channel's client-state key under root in the 32-bit view,
// made empty for a case; on the object's end the key and the levels above
// it that it had to make are removed.
class ClientStateKey {
 public:
  explicit ClientStateKey(HKEY root);
  ~ClientStateKey();
  ClientStateKey(const ClientStateKey&) = delete;
  ClientStateKey& operator=(const ClientStateKey&) = delete;

  // 0 when the key is there, else why it could not be made.
  DWORD error() const { return error_; }
  // The REG_DWORD value; false when it is missing or of another type.
  bool Dword(const wchar_t* name, DWORD& value) const;
  void SetDword(const wchar_t* name, DWORD value);
  // Checks the three values of a record (InstallerResult, InstallerError,
  // InstallerExtraCode1); a null expectation means "absent".
  void ExpectRecord(CaseContext& context, const DWORD* result,
                    const DWORD* error, const DWORD* extra) const;

 private:
  HKEY root_;
  HKEY key_ = nullptr;
  DWORD error_ = 0;
  int made_from_ = -1;  // the first level this object made, or -1
};

// Takes "BrivelInstallerCleanup" out of HKEY_CURRENT_USER\Software\Morvex
// for the run, so that every run removes what it wrote (Prepare), and
// puts it back (Finish).
void PrepareRemoval(Bytes& failure);
void RestoreRemovalSetting();

// The process token's default owner as SID text.
bool TokenOwnerSid(Wide& out);

}  // namespace native
