#include "sleep_seam.h"

namespace {

int calls = 0;
bool real_sleep = true;
std::function<void(int)> action;

void WINAPI FakeSleep(DWORD milliseconds) {
  ++calls;
  if (action) action(calls);
  if (!real_sleep) return;
  // A plain pointer: the guard of an initialised local static may sleep.
  static decltype(&Sleep) real = nullptr;
  if (!real) {
    real = reinterpret_cast<decltype(&Sleep)>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep"));
  }
  real(milliseconds);
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
