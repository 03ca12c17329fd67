#include "run/registry_string.h"

bool TerminateRegistryString(WideChar* buffer, uint32_t capacity,
                             uint32_t data_size) {
  if (data_size <= 1) {
    buffer[0] = 0;
    return true;
  }
  // Whole 16-bit characters; an odd trailing byte is not a character.
  const uint32_t characters = data_size / 2;
  // A query never stores more than the buffer holds; data claiming more than
  // that cannot be trusted as a string here.
  if (characters > capacity) return false;
  if (buffer[characters - 1] == 0) return true;
  if (characters < capacity) {
    buffer[characters] = 0;
    return true;
  }
  return false;
}
