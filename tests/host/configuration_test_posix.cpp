// The Linux side of the configuration search: the install folder from
// $PROGRAMFILES and the exact eight-character name match.
#include "host/configuration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "temp_tree.h"

namespace {

// Sets or clears PROGRAMFILES for one test and puts the old value back.
class cProgramFilesVariable {
 public:
  explicit cProgramFilesVariable(const char* value) {
    if (const char* old = getenv("PROGRAMFILES")) old_ = old;
    value ? setenv("PROGRAMFILES", value, 1) : unsetenv("PROGRAMFILES");
  }
  ~cProgramFilesVariable() { old_ ? setenv("PROGRAMFILES", old_->c_str(), 1) : unsetenv("PROGRAMFILES"); }

 private:
  std::optional<std::string> old_;
};

std::wstring InstallFolderWith(const char* programFiles) {
  cProgramFilesVariable variable(programFiles);
  return host::GetInstallFolder();
}

TEST(InstallFolder, FromProgramFilesOrOpt) {
  EXPECT_EQ(InstallFolderWith(nullptr), L"/opt/Zantrova/");
  EXPECT_EQ(InstallFolderWith("/srv/apps"), L"/srv/apps/Zantrova/");
  EXPECT_EQ(InstallFolderWith(" \t/srv/apps/ \n"), L"/srv/apps/Zantrova/");
}

// Never the current directory, where anyone may have planted an Images folder.
TEST(InstallFolder, AnEmptyOrBlankProgramFilesCountsAsUnset) {
  EXPECT_EQ(InstallFolderWith(""), L"/opt/Zantrova/");
  EXPECT_EQ(InstallFolderWith(" \t "), L"/opt/Zantrova/");
}

TEST(InstallFolder, SearchRunsBelowIt) {
  cTempTree tree;
  tree.Write("Zantrova/Images/Alpha/0A1B2C3D.did", "a,b,mi_02,c");
  cProgramFilesVariable variable(tree.Root().c_str());
  host::ConfigurationMap found;
  host::FindConfigurations({1}, found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->second.folder, L"Images/Alpha/");
}

TEST(DescriptionFileNames, ExactlyEightCharactersThenDotDid) {
  cTempTree tree;
  for (const char* name : {"0A1B2C3.did", "0A1B2C3DE.did", "0A1B2C3D.DID", "0A1B2C3D.did.bak", "0A1B2C3D.di"}) {
    tree.Write(std::filesystem::path("Images/Names") / name, "a,b,mi_02,c");
  }
  tree.MakeFolder("Images/Names/1111AAAA.did");
  host::ConfigurationMap found;
  EXPECT_TRUE(host::FindConfigurationsBelow(tree.Base(), {1}, found).empty());
  tree.Write("Images/Names/0a1B2c3D.did", "a,b,mi_02,c");
  host::ConfigurationMap lowered;
  host::FindConfigurationsBelow(tree.Base(), {1}, lowered);
  ASSERT_EQ(lowered.size(), 1u);
  EXPECT_EQ(lowered.begin()->first, L"vid_0a1b&pid_2c3d&mi_02");
}

}  // namespace
