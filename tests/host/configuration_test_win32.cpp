// The Windows side of the configuration search: the install folder lies below
// the program-files folder that a 32-bit program is given, whatever the width
// of this build.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/configuration.h"

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// 64-bit Windows gives every process "ProgramFiles(x86)", the folder 32-bit
// installers write to (and a 32-bit process's "ProgramFiles" as well);
// 32-bit Windows has only "ProgramFiles".
std::wstring ProgramFilesOf32BitPrograms() {
  const std::wstring x86 = Environment(L"ProgramFiles(x86)");
  return x86.empty() ? Environment(L"ProgramFiles") : x86;
}

TEST(InstallFolder, BelowTheProgramFilesFolderOf32BitPrograms) {
  const std::wstring programFiles = ProgramFilesOf32BitPrograms();
  ASSERT_FALSE(programFiles.empty()) << "the system names no program-files folder";
  // Under 64-bit Windows this is not "Program Files", which a 64-bit build
  // is given for CSIDL_PROGRAM_FILES.
  EXPECT_EQ(host::GetInstallFolder(), programFiles + L"\\Zantrova\\");
}

}  // namespace
