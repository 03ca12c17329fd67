// Normalisation of string data read from the registry. Platform-free.
#pragma once

#include <stdint.h>

#include "base/bounded_string.h"

// Makes sure the data_size bytes of string data that a registry query stored
// in buffer (capacity wide characters) end with a terminator. Data of 0 or 1
// bytes is the empty string. Data already ending in a terminator is kept.
// Otherwise a terminator is stored after the data when there is room; false
// when the data fill the buffer without one.
bool TerminateRegistryString(WideChar* buffer, uint32_t capacity,
                             uint32_t data_size);
