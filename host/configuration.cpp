// The search for installed configurations and the parsing of their
// description files.
#include "host/configuration.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "host/file_system.h"
#include "host/text_file.h"
#include "text/ascii_text.h"

namespace host {

namespace {

const wchar_t kSeparator = kPathSeparator;
constexpr int kInterfaceFieldCount = 4;
constexpr int kDeviceInterfacePosition = 2;  // the interface the upgrade talks to

// The value of an ASCII digit or letter as a digit of base up to 16, or 16.
unsigned DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0');
  wchar_t lower = ToLowerAscii(c);
  if (lower >= L'a' && lower <= L'f') return static_cast<unsigned>(lower - L'a' + 10);
  return 16;
}

// One kind number in C notation with automatic base: optional white space and
// plus sign, then decimal, 0x-hexadecimal or 0-octal digits, then the end of
// the field or white space. Values beyond 32 bits are refused.
std::optional<uint32_t> ParseKind(std::wstring_view field) {
  size_t i = 0;
  while (i < field.size() && IsAsciiSpace(field[i])) ++i;
  if (i < field.size() && field[i] == L'+') ++i;
  unsigned base = 10;
  if (i < field.size() && field[i] == L'0') {
    bool hex = i + 2 < field.size() && ToLowerAscii(field[i + 1]) == L'x' && DigitValue(field[i + 2]) < 16;
    base = hex ? 16 : 8;
    i += hex ? 2 : 0;
  }
  uint64_t value = 0;
  size_t firstDigit = i;
  for (; i < field.size() && DigitValue(field[i]) < base; ++i) {
    value = value * base + DigitValue(field[i]);
    if (value > UINT32_MAX) {
      return std::nullopt;
    }
  }
  if (i == firstDigit || (i < field.size() && !IsAsciiSpace(field[i]))) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::wstring Trim(const std::wstring& text) {
  auto first = std::find_if_not(text.begin(), text.end(), IsAsciiSpace);
  auto last = std::find_if_not(text.rbegin(), text.rend(), IsAsciiSpace).base();
  return first < last ? std::wstring(first, last) : std::wstring();
}

bool IsSpecialDirectory(const std::wstring& name) { return name.empty() || name == L"." || name == L".."; }

// The configuration directories: "Images" + separator + name + separator.
std::vector<std::wstring> ListConfigurationFolders(const std::wstring& base) {
  const std::wstring images = std::wstring(L"Images") + kSeparator;
  std::vector<std::wstring> folders;
  for (const sDirectoryEntry& entry : ListDirectory(base + images + L"*", eListing::PreferDirectories)) {
    if (entry.isDirectory && !IsSpecialDirectory(entry.name)) {
      folders.push_back(images + entry.name + kSeparator);
    }
  }
  return folders;
}

// "vid_" + vvvv + "&pid_" + pppp + "&" + interface, the vendor and product
// taken from the file name's first eight characters, in lower case.
std::wstring MakeKey(const std::wstring& fileName, const std::wstring& interfaceField) {
  std::wstring vendor = ToLowerAscii(fileName.substr(0, 4));
  std::wstring product = ToLowerAscii(fileName.substr(std::min<size_t>(fileName.size(), 4), 4));
  return L"vid_" + vendor + L"&pid_" + product + L"&" + interfaceField;
}

void ReadInterfaces(const std::wstring& line, sConfiguration& configuration) {
  std::vector<std::wstring> fields = SplitFields(line);
  if (fields.size() < kInterfaceFieldCount) {
    return;
  }
  for (int position = 0; position < kInterfaceFieldCount; ++position) {
    if (fields[position].find(L"mi_") != std::wstring::npos) {
      configuration.interfaces[position] = fields[position];
    }
  }
}

bool SharesAKind(const KindSet& a, const KindSet& b) {
  return std::any_of(a.begin(), a.end(), [&b](uint32_t kind) { return b.count(kind) != 0; });
}

std::optional<sConfiguration> ReadDescriptionFile(const std::wstring& base, const std::wstring& folder,
                                                  const std::wstring& fileName, const KindSet& excluded) {
  std::wstring path = base + folder + fileName;
  cDB2TextFile file(path.c_str());
  if (!file.IsOpen()) {
    return std::nullopt;
  }
  std::wstring firstLine, secondLine;
  file.ReadLine(firstLine);
  file.ReadLine(secondLine);
  return ParseDescription(fileName, folder, firstLine, secondLine, excluded);
}

}  // namespace

std::optional<sConfiguration> ParseDescription(const std::wstring& fileName, const std::wstring& folder,
                                               const std::wstring& firstLine, const std::wstring& secondLine,
                                               const KindSet& excluded) {
  sConfiguration configuration;
  ReadInterfaces(firstLine, configuration);
  configuration.kinds = ParseKindList(secondLine);
  auto deviceInterface = configuration.interfaces.find(kDeviceInterfacePosition);
  if (deviceInterface == configuration.interfaces.end() || SharesAKind(excluded, configuration.kinds)) {
    return std::nullopt;
  }
  configuration.key = MakeKey(fileName, deviceInterface->second);
  configuration.folder = folder;
  return configuration;
}

ConfigurationMap& ProcessConfigurationMap() {
  static ConfigurationMap configurations;
  return configurations;
}

std::wstring GetInstallFolder() {
  const std::wstring currentFolder = std::wstring(L".") + kSeparator;
  std::wstring folder;
  if (!GetProgramFilesFolder(folder)) {
    return currentFolder;
  }
  folder = Trim(folder);
  if (folder.empty()) {
    return currentFolder;
  }
  if (folder.back() != kSeparator) {
    folder += kSeparator;
  }
  return folder + L"Zantrova" + kSeparator;
}

ConfigurationMap& FindConfigurations(const KindSet& excluded, ConfigurationMap& configurations) {
  return FindConfigurationsBelow(GetInstallFolder(), excluded, configurations);
}

ConfigurationMap& FindConfigurationsBelow(const std::wstring& base, const KindSet& excluded,
                                          ConfigurationMap& configurations) {
  for (const std::wstring& folder : ListConfigurationFolders(base)) {
    for (const sDirectoryEntry& entry : ListDirectory(base + folder + L"????????.did", eListing::AllEntries)) {
      if (std::optional<sConfiguration> configuration = ReadDescriptionFile(base, folder, entry.name, excluded)) {
        std::wstring key = configuration->key;
        configurations.insert_or_assign(std::move(key), std::move(*configuration));
      }
    }
  }
  return configurations;
}

std::vector<std::wstring> SplitFields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = std::min(line.find(L',', start), line.size());
    if (end > start) {
      fields.push_back(line.substr(start, end - start));
    }
    start = end + 1;
  }
  return fields;
}

KindSet ParseKindList(const std::wstring& line) {
  std::wstring_view text(line);
  if (!text.empty() && text.front() == L'"') {
    text.remove_prefix(1);
    if (!text.empty() && text.back() == L'"') {
      text.remove_suffix(1);
    }
  }
  KindSet kinds;
  for (const std::wstring& field : SplitFields(std::wstring(text))) {
    if (std::optional<uint32_t> kind = ParseKind(field)) {
      kinds.insert(*kind);
    }
  }
  return kinds;
}

bool GetConfigurationName(const sConfiguration& configuration, std::wstring& name) {
  std::wstring folder = configuration.folder;
  while (!folder.empty() && (folder.back() == L' ' || folder.back() == kSeparator)) {
    folder.pop_back();
  }
  size_t separator = folder.rfind(kSeparator);
  if (separator == std::wstring::npos) {
    return false;
  }
  name = folder.substr(separator + 1);
  return true;
}

}  // namespace host
