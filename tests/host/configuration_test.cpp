// The configuration search: which description files are taken, under which
// key, and which are refused.
#include "host/configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/file_system.h"
#include "temp_tree.h"

namespace {

const wchar_t kSep = host::kPathSeparator;

std::wstring Folder(const wchar_t* name) { return std::wstring(L"Images") + kSep + name + kSep; }

class ConfigurationSearch : public ::testing::Test {
 protected:
  void Install(const char* folder, const char* file, std::string_view text) const {
    tree_.Write(std::filesystem::path("Images") / folder / file, text);
  }
  host::ConfigurationMap Search(const host::KindSet& excluded = {1}) const {
    host::ConfigurationMap configurations;
    return host::FindConfigurationsBelow(tree_.Base(), excluded, configurations);
  }
  std::vector<std::wstring> Keys() const {
    std::vector<std::wstring> keys;
    for (const auto& entry : Search()) keys.push_back(entry.first);
    return keys;
  }
  cTempTree tree_;
};

TEST_F(ConfigurationSearch, TakesAFileAndKeysItByNameAndInterface) {
  Install("Alpha", "0A1B2C3D.did", "a,b,mi_02,c");
  host::ConfigurationMap found = Search();
  ASSERT_EQ(found.size(), 1u);
  const host::sConfiguration& alpha = found.begin()->second;
  EXPECT_EQ(found.begin()->first, L"vid_0a1b&pid_2c3d&mi_02");
  EXPECT_EQ(alpha.key, L"vid_0a1b&pid_2c3d&mi_02");
  EXPECT_EQ(alpha.folder, Folder(L"Alpha"));
  EXPECT_EQ(alpha.interfaces, (std::map<int, std::wstring>{{2, L"mi_02"}}));
  EXPECT_TRUE(alpha.kinds.empty());
  std::wstring name;
  ASSERT_TRUE(host::GetConfigurationName(alpha, name));
  EXPECT_EQ(name, L"Alpha");
}

TEST_F(ConfigurationSearch, EmptyFieldsTakeNoPosition) {
  Install("A", "0A1B2C3D.did", ",a,,b,mi_02,c,");
  Install("B", "1111AAAA.did", "a,mi_02,b,c");
  Install("C", "2222AAAA.did", "mi_00,mi_01,mi_02");
  EXPECT_EQ(Keys(), std::vector<std::wstring>{L"vid_0a1b&pid_2c3d&mi_02"});
}

TEST_F(ConfigurationSearch, InterfaceFieldsAreVerbatimAndLowerCaseOnly) {
  Install("A", "0A1B2C3D.did", "x,y, mi_02,z");
  Install("B", "1111AAAA.did", "a,b,MI_02,c");
  Install("C", "2222AAAA.did", "mi_00,b,xmi_03y,mi_01");
  host::ConfigurationMap found = Search();
  std::vector<std::wstring> keys;
  for (const auto& entry : found) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"vid_0a1b&pid_2c3d& mi_02", L"vid_2222&pid_aaaa&xmi_03y"}));
  EXPECT_EQ(found.at(L"vid_2222&pid_aaaa&xmi_03y").interfaces,
            (std::map<int, std::wstring>{{0, L"mi_00"}, {2, L"xmi_03y"}, {3, L"mi_01"}}));
}

TEST_F(ConfigurationSearch, AnExcludedKindRefusesTheFile) {
  Install("A", "0A1B0001.did", "a,b,mi_02,c\n1");
  Install("B", "0A1B0002.did", "a,b,mi_02,c\n2, 0x1");
  Install("C", "0A1B0003.did", "a,b,mi_02,c\n\"2,3\"");
  Install("D", "0A1B0004.did", "a,b,mi_02,c\n01");
  host::ConfigurationMap found = Search();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->second.kinds, (host::KindSet{2, 3}));
  EXPECT_EQ(Search({}).size(), 4u);
}

// The folder listed last is read last, whatever the system's listing order.
TEST_F(ConfigurationSearch, LaterFileWithTheSameKeyReplacesTheEarlier) {
  Install("One", "0A1B2C3D.did", "a,b,mi_02,c");
  Install("Two", "0a1b2c3d.did", "a,b,mi_02,c\n2");
  std::vector<host::sDirectoryEntry> listed =
      host::ListDirectory(tree_.Base() + L"Images" + kSep + L"*", host::eListing::PreferDirectories);
  ASSERT_FALSE(listed.empty());
  host::ConfigurationMap found = Search();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->second.folder, Folder(listed.back().name.c_str()));
  EXPECT_EQ(found.begin()->second.kinds, listed.back().name == L"Two" ? host::KindSet{2} : host::KindSet{});
}

TEST_F(ConfigurationSearch, OnlyFilesOneLevelBelowImagesCount) {
  tree_.Write(std::filesystem::path("Images") / "0A1B2C3D.did", "a,b,mi_02,c");
  Install("Outer/Inner", "0A1B2C3D.did", "a,b,mi_02,c");
  Install("Names", "0A1B2C3D.txt", "a,b,mi_02,c");
  EXPECT_TRUE(Search().empty());
}

TEST_F(ConfigurationSearch, CarriageReturnLineEndsGiveTheSameConfiguration) {
  Install("A", "0A1B2C3D.did", "a,b,mi_02,c\r\n\"2,3\"\r\n");
  host::ConfigurationMap found = Search();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->first, L"vid_0a1b&pid_2c3d&mi_02");
  EXPECT_EQ(found.begin()->second.kinds, (host::KindSet{2, 3}));
}

TEST_F(ConfigurationSearch, NothingInstalledGivesNothing) {
  EXPECT_TRUE(Search().empty());
  tree_.MakeFolder("Images");
  Install("A", "0A1B2C3D.did", "");
  EXPECT_TRUE(Search().empty());
}

TEST(KindList, NumbersInCNotation) {
  EXPECT_EQ(host::ParseKindList(L"10, 0x1F,017, +4,\t5"), (host::KindSet{10, 31, 15, 4, 5}));
  EXPECT_EQ(host::ParseKindList(L"\"2,3\""), (host::KindSet{2, 3}));
  EXPECT_EQ(host::ParseKindList(L"\"2,3"), (host::KindSet{2, 3}));
  EXPECT_EQ(host::ParseKindList(L"4294967295"), (host::KindSet{4294967295u}));
  EXPECT_EQ(host::ParseKindList(L"7,7,007"), (host::KindSet{7}));
}

TEST(KindList, MalformedFieldsAreSkippedOneByOne) {
  EXPECT_EQ(host::ParseKindList(L"-1,7x,7 x,4294967296,9"), (host::KindSet{7, 9}));
  EXPECT_EQ(host::ParseKindList(L" -2,+-3,0x,08,0xG,x1,,\"\""), host::KindSet{});
  EXPECT_EQ(host::ParseKindList(L"99999999999999999999,3"), (host::KindSet{3}));
  EXPECT_EQ(host::ParseKindList(L""), host::KindSet{});
}

TEST(ConfigurationName, TrailingSpacesAndSeparatorsAreRemoved) {
  std::wstring name;
  host::sConfiguration configuration;
  configuration.folder = Folder(L"100% ok") + L"  ";
  ASSERT_TRUE(host::GetConfigurationName(configuration, name));
  EXPECT_EQ(name, L"100% ok");
  configuration.folder = std::wstring(L"Images") + kSep;
  EXPECT_FALSE(host::GetConfigurationName(configuration, name));
}

}  // namespace
