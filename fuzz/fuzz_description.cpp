// Fuzzes the parse of a description file: its name, its interface line and its
// kind line. Input: one byte naming an excluded kind, eight bytes of file name
// (fewer when the input is short), then the file's text, whose first two lines
// are parsed. Properties: a file is taken exactly when its first line has four
// non-empty fields, the field at position 2 names an interface ("mi_") and no
// kind is excluded; its key is built from the name and that field; the fields
// hold every character of the line but the commas; kinds survive being
// written out and parsed again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/configuration.h"
#include "host/file_system.h"
#include "host/text_decoding.h"

namespace {

constexpr size_t kNameLength = 8;
const std::wstring kFolder = std::wstring(L"Images") + host::kPathSeparator + L"Fuzz" + host::kPathSeparator;

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

std::wstring WithoutCommas(std::wstring text) {
  text.erase(std::remove(text.begin(), text.end(), L','), text.end());
  return text;
}

// The next line of text from position on, cut as the text reader cuts it.
std::wstring NextLine(const std::wstring& text, size_t& position) {
  if (position >= text.size()) return std::wstring();
  const size_t lf = std::min(text.find(L'\n', position), text.size());
  std::wstring line = text.substr(position, lf - position);
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  position = lf + 1;
  return line;
}

void CheckFields(const std::wstring& line, const std::vector<std::wstring>& fields) {
  std::wstring joined;
  for (const std::wstring& field : fields) {
    FUZZ_REQUIRE(!field.empty() && field.find(L',') == std::wstring::npos);
    joined += field;
  }
  FUZZ_REQUIRE(joined == WithoutCommas(line));
}

// Decimal and quoted hexadecimal renderings of kinds parse back to them.
void CheckKindsRoundTrip(const host::KindSet& kinds) {
  std::wstring decimal, hexadecimal = L"\"";
  for (uint32_t kind : kinds) {
    decimal += std::to_wstring(kind) + L",";
    wchar_t hex[16];
    swprintf(hex, 16, L" 0x%X ,", kind);
    hexadecimal += hex;
  }
  hexadecimal += L"\"";
  FUZZ_REQUIRE(host::ParseKindList(decimal) == kinds);
  FUZZ_REQUIRE(host::ParseKindList(hexadecimal) == kinds);
}

bool Excludes(const host::KindSet& excluded, const host::KindSet& kinds) {
  return std::any_of(kinds.begin(), kinds.end(), [&](uint32_t kind) { return excluded.count(kind) != 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const host::KindSet excluded{1, data[0]};
  const size_t nameLength = std::min(size - 1, kNameLength);
  const std::wstring name = host::DecodeAnsiText(data + 1, nameLength);
  const std::wstring text = host::DecodeAnsiText(data + 1 + nameLength, size - 1 - nameLength);
  size_t position = 0;
  const std::wstring firstLine = NextLine(text, position);
  const std::wstring secondLine = NextLine(text, position);

  const std::vector<std::wstring> fields = host::SplitFields(firstLine);
  CheckFields(firstLine, fields);
  const host::KindSet kinds = host::ParseKindList(secondLine);
  CheckKindsRoundTrip(kinds);

  const std::optional<host::sConfiguration> configuration =
      host::ParseDescription(name, kFolder, firstLine, secondLine, excluded);
  const bool taken = fields.size() >= 4 && fields[2].find(L"mi_") != std::wstring::npos && !Excludes(excluded, kinds);
  FUZZ_REQUIRE(configuration.has_value() == taken);
  if (!configuration) return 0;
  FUZZ_REQUIRE(configuration->key == L"vid_" + Lower(name.substr(0, 4)) + L"&pid_" +
                                         Lower(name.substr(std::min<size_t>(name.size(), 4), 4)) + L"&" + fields[2]);
  FUZZ_REQUIRE(configuration->folder == kFolder);
  FUZZ_REQUIRE(configuration->kinds == kinds);
  for (size_t index = 0; index < 4; ++index) {
    const auto found = configuration->interfaces.find(static_cast<int>(index));
    const bool namesInterface = fields[index].find(L"mi_") != std::wstring::npos;
    FUZZ_REQUIRE((found != configuration->interfaces.end()) == namesInterface);
    FUZZ_REQUIRE(!namesInterface || found->second == fields[index]);
  }
  FUZZ_REQUIRE(configuration->interfaces.size() <= 4);
  std::wstring configurationName;
  FUZZ_REQUIRE(host::GetConfigurationName(*configuration, configurationName) && configurationName == L"Fuzz");
  return 0;
}
