// The module configurations installed on the host: one description file each,
// below <program files>/Zantrova/Images/<name>/, keyed by the USB interface
// identity they name (vid_0a1b&pid_2c3d&mi_02).
//
// Threads: main thread only. The process-wide map is filled once, before any
// other thread exists, and only read afterwards.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace host {

// Kind numbers of a configuration.
using KindSet = std::set<uint32_t>;

struct sConfiguration {
  std::wstring key;                        // "vid_" + vvvv + "&pid_" + pppp + "&" + interface field
  std::wstring folder;                     // "Images" + separator + directory name + separator
  std::map<int, std::wstring> interfaces;  // line-1 fields 0..3 that name an interface
  KindSet kinds;                           // the numbers of line 2
};

// Ordered by plain code-unit comparison of the keys.
using ConfigurationMap = std::map<std::wstring, sConfiguration>;

// The configurations of this process; empty until the entry fills it.
ConfigurationMap& ProcessConfigurationMap();

// The program-files folder, trimmed, with a separator and "Zantrova" and a
// separator appended; "." + separator when there is no usable folder.
std::wstring GetInstallFolder();

// Reads every description file of every configuration directory and stores
// each accepted one in configurations (expected empty) under its key; a later
// file with the same key replaces an earlier one. A file is refused when its
// first line has fewer than four fields, when field 2 names no interface
// ("mi_"), or when one of its kinds is in excluded. Prints nothing.
ConfigurationMap& FindConfigurations(const KindSet& excluded, ConfigurationMap& configurations);

// The same search below another base folder (ending in a separator).
ConfigurationMap& FindConfigurationsBelow(const std::wstring& base, const KindSet& excluded,
                                          ConfigurationMap& configurations);

// The configuration one description file gives: its file name (the first
// eight characters name vendor and product), its folder, its first two lines
// (empty when the file has fewer). Nothing when the file is refused for the
// reasons FindConfigurations gives. Pure: touches no file.
std::optional<sConfiguration> ParseDescription(const std::wstring& fileName, const std::wstring& folder,
                                               const std::wstring& firstLine, const std::wstring& secondLine,
                                               const KindSet& excluded);

// The non-empty comma-separated fields of a line, in order.
std::vector<std::wstring> SplitFields(const std::wstring& line);

// The kind numbers of a description file's second line: optionally quoted,
// comma-separated C-notation unsigned 32-bit numbers; fields that are not
// such a number are skipped.
KindSet ParseKindList(const std::wstring& line);

// The directory name a configuration reports ("Alpha" for Images/Alpha/);
// false when its folder has no separator left after trailing spaces and
// separators are removed.
bool GetConfigurationName(const sConfiguration& configuration, std::wstring& name);

}  // namespace host
