// Output files on Windows: wide environment and paths; the file is shared for
// reading so that it can be looked at while the program runs.
#include <windows.h>

#include <vector>

#include "platform/errors.h"
#include "platform/output_file.h"
#include "text/utf8.h"

namespace platform {

namespace {

cHandle CreateForAppending(const std::wstring& path) {
  return cHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

sOpenedFile cOutputFile::NamedBy(const char* variable) {
  const std::wstring name(variable, variable + std::char_traits<char>::length(variable));
  const DWORD needed = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (needed <= 1) return sOpenedFile();
  std::vector<wchar_t> value(needed);
  const DWORD length = ::GetEnvironmentVariableW(name.c_str(), value.data(), needed);
  if (length == 0 || length >= needed) return sOpenedFile();
  const std::wstring path(value.data(), length);
  sOpenedFile opened;
  opened.file.name_ = text::WideToUtf8(path);
  opened.file.file_ = CreateForAppending(path);
  if (!opened.file.file_.IsValid()) opened.status = LastErrorStatus();
  return opened;
}

sOpenedFile cOutputFile::AtPath(const std::string& path) {
  sOpenedFile opened;
  opened.file.name_ = path;
  opened.file.file_ = CreateForAppending(text::Utf8ToWide(path));
  if (!opened.file.file_.IsValid()) opened.status = LastErrorStatus();
  return opened;
}

bool cOutputFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file_.Get(), bytes, piece, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

}  // namespace platform
