// The hub port of a location path: its USB parts up to the interface's.
#include "host/location_path.h"

#include "text/ascii_text.h"

namespace host {

std::wstring UsbPortOfLocationPath(std::wstring path) {
  for (size_t part = path.rfind(L'#'); part != std::wstring::npos; part = path.rfind(L'#')) {
    if (ToLowerAscii(path.substr(part + 1, 6)) != L"usbmi(") break;
    path.erase(part);
  }
  return path;
}

}  // namespace host
