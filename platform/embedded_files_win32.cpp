// Finds a "FILES" resource of the module through the Windows resource loader.
#include "platform/embedded_files.h"

#include <windows.h>

#include "platform/errors.h"

namespace platform {

namespace {

// The loader's own code for the failed step; a step can fail without setting
// one (an empty resource), which must still not read as success.
uint32_t LastErrorOr(uint32_t fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace

uint32_t FindEmbeddedFile(ModuleHandle module, uint16_t id, const uint8_t** data, uint32_t* size) {
  const HMODULE owner = static_cast<HMODULE>(module);
  const HRSRC resource = FindResourceW(owner, MAKEINTRESOURCEW(id), L"FILES");
  if (resource == nullptr) {
    return LastErrorOr(kErrorResourceNotFound);
  }
  const DWORD length = SizeofResource(owner, resource);
  if (length == 0) {
    return LastErrorOr(kErrorBadFormat);
  }
  const HGLOBAL loaded = LoadResource(owner, resource);
  if (loaded == nullptr) {
    return LastErrorOr(kErrorGenFailure);
  }
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) {
    return LastErrorOr(kErrorGenFailure);
  }
  *data = static_cast<const uint8_t*>(bytes);
  *size = length;
  return kErrorSuccess;
}

}  // namespace platform
