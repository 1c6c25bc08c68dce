// Intel HEX files written by another tool (srec_cat, see data/make_golden.sh)
// must give the same flat image as that tool's own binary output of them.
#include <gtest/gtest.h>

#include <string>

#include "hex_test_support.h"

namespace {

struct sGolden {
  const char* name;
  uint32_t loadAddress;
  uint32_t entryAddress;
};

class HexFileGolden : public testing::TestWithParam<sGolden> {};

TEST_P(HexFileGolden, SameBytesAsTheWritersOwnImage) {
  const std::string base = std::string(ZNTV_TEST_DATA_DIR "/") + GetParam().name;
  const std::vector<uint8_t> text = hex_test::ReadFile(base + ".hex");
  const std::vector<uint8_t> expected = hex_test::ReadFile(base + ".bin");
  ASSERT_FALSE(text.empty());
  ASSERT_FALSE(expected.empty());
  hex_test::cParsedHex hex(std::string(text.begin(), text.end()));
  ASSERT_EQ(hex.Error, 0u);
  EXPECT_EQ(hex.LoadAddress, GetParam().loadAddress);
  EXPECT_EQ(hex.EntryAddress, GetParam().entryAddress);
  ASSERT_EQ(hex.ImageLength, expected.size());
  EXPECT_EQ(hex.Bytes(0, hex.ImageLength), expected);
}

INSTANTIATE_TEST_SUITE_P(SrecCat, HexFileGolden,
                         testing::Values(sGolden{"srec_two_runs", 0x0001FF00u, 0x0001FF40u},
                                         sGolden{"srec_high_run", 0x7FFFF0F0u, 0x7FFFF0F0u}),
                         [](const testing::TestParamInfo<sGolden>& param) { return std::string(param.param.name); });

}  // namespace
