// The rules of --udev-rules for configurations made here: one block per
// identity in key order, identities that cannot be written as a rule left
// out, and configuration names that cannot break out of their comment line.
#include "upgrade/udev_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "host/file_system.h"

namespace {

host::sConfiguration Configuration(const std::wstring& key, const std::wstring& name) {
  host::sConfiguration configuration;
  configuration.key = key;
  configuration.folder = std::wstring(L"Images") + host::kPathSeparator + name + host::kPathSeparator;
  return configuration;
}

host::ConfigurationMap Configurations(std::initializer_list<std::pair<std::wstring, std::wstring>> keysAndNames) {
  host::ConfigurationMap configurations;
  for (const auto& [key, name] : keysAndNames) configurations[key] = Configuration(key, name);
  return configurations;
}

// The part of the rules after the header: the blocks of the identities.
std::wstring Blocks(const sUdevRules& rules) { return rules.text.substr(rules.text.find(L"\n\n# ") + 1); }

TEST(UdevRules, OneBlockPerIdentityInKeyOrder) {
  const sUdevRules rules =
      MakeUdevRules(Configurations({{L"vid_1d2e&pid_0f0a&mi_03", L"Beta"}, {L"vid_0a1b&pid_2c3d&mi_02", L"Alpha"}}));
  EXPECT_EQ(Blocks(rules),
            L"\n# Alpha (vid_0a1b&pid_2c3d&mi_02)\n"
            L"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0a1b\", ATTRS{idProduct}==\"2c3d\", TAG+=\"uaccess\", "
            L"GROUP=\"dialout\"\n"
            L"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0a1b\", ATTRS{idProduct}==\"2c3d\", ENV{.ZNTV_INTERFACE}==\"02\", "
            L"ENV{ID_MM_PORT_IGNORE}=\"1\"\n"
            L"\n# Beta (vid_1d2e&pid_0f0a&mi_03)\n"
            L"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1d2e\", ATTRS{idProduct}==\"0f0a\", TAG+=\"uaccess\", "
            L"GROUP=\"dialout\"\n"
            L"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1d2e\", ATTRS{idProduct}==\"0f0a\", ENV{.ZNTV_INTERFACE}==\"03\", "
            L"ENV{ID_MM_PORT_IGNORE}=\"1\"\n");
  EXPECT_TRUE(rules.skipped.empty());
  EXPECT_EQ(rules.text.find(L"ID_MM_DEVICE_IGNORE"), std::wstring::npos);
}

TEST(UdevRules, IdentityThatIsNoUsbNumberIsLeftOut) {
  const sUdevRules rules = MakeUdevRules(Configurations({{L"vid_0a1b&pid_2c3d&mi_0\"", L"Quote"},
                                                         {L"vid_0a1b&pid_2c3d&mi_02x", L"Long"},
                                                         {L"vid_zzzz&pid_2c3d&mi_02", L"Letters"},
                                                         {L"vid_0a1b&pid_2c3d&mi_02", L"Alpha"}}));
  EXPECT_EQ(rules.skipped, (std::vector<std::wstring>{L"vid_0a1b&pid_2c3d&mi_0\"", L"vid_0a1b&pid_2c3d&mi_02x",
                                                      L"vid_zzzz&pid_2c3d&mi_02"}));
  EXPECT_EQ(Blocks(rules).find(L"\n# Alpha (vid_0a1b&pid_2c3d&mi_02)\n"), 0u);
  EXPECT_EQ(Blocks(rules).find(L"\n# ", 1), std::wstring::npos) << "one block only";
}

TEST(UdevRules, NameCannotAddARule) {
  const sUdevRules rules = MakeUdevRules(Configurations({{L"vid_0a1b&pid_2c3d&mi_02", L"A\nRUN+=\"touch x\""}}));
  EXPECT_EQ(Blocks(rules).find(L"\n# A\\x0aRUN+=\"touch x\" (vid_0a1b&pid_2c3d&mi_02)\nSUBSYSTEM"), 0u)
      << Blocks(rules);
}

}  // namespace
