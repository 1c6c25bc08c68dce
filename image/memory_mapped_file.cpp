// Opens an embedded file through the platform's lookup; the view is owned by
// the loaded program, so the object only carries the pointer and the outcome.
#include "image/memory_mapped_file.h"

#include "platform/embedded_files.h"

cMemoryMappedFile::cMemoryMappedFile(platform::ModuleHandle module, uint16_t resourceId) {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  Error = platform::FindEmbeddedFile(module, resourceId, &data, &size);
  if (Error == 0) {
    Data = data;
    Size = size;
  }
}

cMemoryMappedFile::cMemoryMappedFile(const uint8_t* data, uint32_t size)
    : IsResource(false), Data(data), Size(size), Error(0) {}

cMemoryMappedFile::~cMemoryMappedFile() = default;
