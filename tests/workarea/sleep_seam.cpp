#include "sleep_seam.h"

#include "support/test_support.h"

namespace {

int calls = 0;
bool real_sleep = true;
std::function<void(int)> action;

void WINAPI FakeSleep(DWORD milliseconds) {
  ++calls;
  if (action) action(calls);
  if (!real_sleep) return;
  REAL_FUNCTION(L"kernel32.dll", Sleep)(milliseconds);
}

}  // namespace

extern "C" {
decltype(&Sleep) __imp_Sleep = FakeSleep;
}

namespace sleep_seam {

void Reset() {
  calls = 0;
  real_sleep = true;
  action = nullptr;
}

int Calls() { return calls; }

void SetRealSleep(bool real) { real_sleep = real; }

void SetAction(std::function<void(int)> new_action) {
  action = std::move(new_action);
}

}  // namespace sleep_seam
