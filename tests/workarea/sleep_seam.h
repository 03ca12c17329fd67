// The wait between retries, replaced for the whole test program: every
// Sleep call of the program (the product's included) is counted, may run a
// test's action first, and really sleeps unless a test turns that off.
#pragma once

#include <windows.h>

#include <functional>

namespace sleep_seam {

// Real sleeps, no action, count zero. Called by every test's SetUp.
void Reset();

// Sleep calls since the last Reset.
int Calls();

// false: each Sleep returns at once, so a hundred attempts cost nothing.
void SetRealSleep(bool real);

// Runs before each Sleep, given the number of that call (1 for the first).
void SetAction(std::function<void(int call)> action);

}  // namespace sleep_seam
