// The cutting of another instance's output into the lines that are relayed:
// lines split across reads, both line ends, and a last line without one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/line_assembler.h"

namespace text {
namespace {

std::vector<std::string> Cut(const std::vector<std::string>& reads) {
  std::vector<std::string> lines;
  const auto keep = [&lines](std::string_view line) { lines.emplace_back(line); };
  cLineAssembler assembler;
  for (const std::string& bytes : reads) assembler.Feed(bytes, keep);
  assembler.Finish(keep);
  return lines;
}

TEST(LineAssembler, LinesAreWholeWhereverTheReadsEnd) {
  EXPECT_EQ(Cut({"Send", "ing DIAG\nWait", "ing\n\nUp", "graded in 5 ms\n"}),
            (std::vector<std::string>{"Sending DIAG", "Waiting", "", "Upgraded in 5 ms"}));
}

TEST(LineAssembler, CarriageReturnBeforeTheLineEndIsDropped) {
  EXPECT_EQ(Cut({"a\r", "\nb\r\nc\rd\n"}), (std::vector<std::string>{"a", "b", "c\rd"}));
}

TEST(LineAssembler, LastLineWithoutItsEndIsHandedOnAtTheEnd) {
  EXPECT_EQ(Cut({"a\nhalf", " a line"}), (std::vector<std::string>{"a", "half a line"}));
  EXPECT_EQ(Cut({""}), std::vector<std::string>{});
}

}  // namespace
}  // namespace text
