// Looks an embedded file up in the table that the build linked into the
// executable, with the error codes the Windows resource loader would give.
#include "platform/embedded_files.h"

#include "platform/embedded_files_posix.h"
#include "platform/errors.h"

namespace platform {

uint32_t FindEmbeddedFile(ModuleHandle module, uint16_t id, const uint8_t** data, uint32_t* size) {
  if (module == nullptr) {
    return kErrorResourceNotFound;
  }
  for (size_t i = 0; i < module->count; ++i) {
    const sEmbeddedFile& file = module->files[i];
    if (file.id != id) {
      continue;
    }
    const auto length = static_cast<uint64_t>(file.end - file.begin);
    if (length == 0 || length > UINT32_MAX) {
      return kErrorBadFormat;
    }
    *data = file.begin;
    *size = static_cast<uint32_t>(length);
    return kErrorSuccess;
  }
  return kErrorResourceNotFound;
}

}  // namespace platform
