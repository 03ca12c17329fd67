// What the compiler may call on its own in a program without a run-time
// library: it emits memset and memcpy for zeroing and copying records at any
// optimisation level, and a class with a pure virtual function may reference
// __cxa_pure_virtual. Linked into the installer only; test programs take
// these from their own run-time library.
#include <stddef.h>
#include <stdint.h>

#include "base/bounded_string.h"
#include "base/windows_api.h"

extern "C" {

void* memset(void* destination, int value, size_t count) {
  return FillBytes(destination, value, count);
}

void* memcpy(void* destination, const void* source, size_t count) {
  volatile uint8_t* to = static_cast<volatile uint8_t*>(destination);
  const uint8_t* from = static_cast<const uint8_t*>(source);
  for (size_t i = 0; i < count; ++i) to[i] = from[i];
  return destination;
}

// Reached only through a corrupted object; end the process quietly rather
// than run on.
void __cxa_pure_virtual() { ExitProcess(0xC0000025); }

}  // extern "C"
