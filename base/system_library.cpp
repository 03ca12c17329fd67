#include "base/system_library.h"

namespace {

using RandomGenerator = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);

}  // namespace

HMODULE LoadSystemLibrary(const WideChar* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

FARPROC FindSystemFunction(const WideChar* library, const char* function) {
  const HMODULE module = LoadSystemLibrary(library);
  if (module == nullptr) return nullptr;
  return GetProcAddress(module, function);
}

bool DrawRandomBytes(void* buffer, uint32_t count) {
  const RandomGenerator generator =
      SystemFunction<RandomGenerator>(L"advapi32.dll", "SystemFunction036");
  if (generator == nullptr) return false;
  if (!generator(buffer, count)) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}
