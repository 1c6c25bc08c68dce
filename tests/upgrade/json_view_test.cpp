// The JSON Lines view fed with events: exact lines, escaping and the pace of
// progress events; and what --all reads back from an instance's lines.
#include "upgrade/json_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/utf8.h"
#include "upgrade/json_relay.h"

namespace {

// A view writing into lines, on a clock the test sets.
struct sRecordedView {
  std::vector<std::string> lines;
  uint64_t now = 0;
  cJsonLinesView view{[this](std::string_view json) { lines.emplace_back(json); }, [this] { return now; }};
};

// Keeps the notes handed on to the human view.
class cNoteRecorder : public report::cSink {
 public:
  void Report(const report::Event& event) override {
    if (const auto* note = std::get_if<report::sNote>(&event)) notes.push_back(note->text);
  }
  std::vector<std::wstring> notes;
};

TEST(JsonLinesView, EachEventIsOneObjectWithItsFieldsStageTimeAndLatestPort) {
  sRecordedView r;
  r.view.Report(report::sLine{report::eStage::Lookup, L"System configured for Alpha"});
  r.now = 5;
  r.view.Report(report::sPort{L"/dev/ttyUSB2"});
  r.now = 7;
  r.view.Report(report::sLine{report::eStage::Diag, L"Sending DIAG build ID request"});
  r.view.Report(report::sPort{L"/dev/ttyUSB0"});
  r.now = 1234;
  r.view.Report(report::sFailure{report::eStage::Sdl, L"Failed to receive SDL response", 0x00200000u, 3u, 17u});
  r.view.Report(report::sFailure{report::eStage::Dl, L"Failed to receive DL parameters response", {}, {}, {}});
  r.view.Report(report::sOutcome{false, 1234});
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         R"({"v":1,"event":"line","t":0,"stage":"lookup","text":"System configured for Alpha"})",
                         R"({"v":1,"event":"port","t":5,"port":"/dev/ttyUSB2"})",
                         R"({"v":1,"event":"line","t":7,"port":"/dev/ttyUSB2","stage":"diag",)"
                         R"("text":"Sending DIAG build ID request"})",
                         R"({"v":1,"event":"port","t":7,"port":"/dev/ttyUSB0"})",
                         R"({"v":1,"event":"failure","t":1234,"port":"/dev/ttyUSB0","stage":"sdl",)"
                         R"("step":"Failed to receive SDL response","address":2097152,"sequence":3,"error":17})",
                         R"({"v":1,"event":"failure","t":1234,"port":"/dev/ttyUSB0","stage":"dl",)"
                         R"("step":"Failed to receive DL parameters response"})",
                         R"({"v":1,"event":"outcome","t":1234,"port":"/dev/ttyUSB0","stage":"outcome",)"
                         R"("upgraded":false,"ms":1234})"}));
}

TEST(JsonLinesView, ControlCharactersAreEscapedAndOtherTextIsUtf8) {
  sRecordedView r;
  r.view.Report(report::sNote{report::eStage::Lookup, L"held by \x1b[2Jmodem\tmanager \"mm\" \\ \x7f"});
  r.view.Report(report::sLine{report::eStage::Lookup, L"System configured for Gr\u00fc\u00dfe \u2713 \U0001F4E1"});
  EXPECT_EQ(r.lines[0],
            R"({"v":1,"event":"note","t":0,"stage":"lookup","text":"held by \u001b[2Jmodem\tmanager \"mm\" \\ )"
            "\x7f\"}");
  EXPECT_EQ(r.lines[1],
            "{\"v\":1,\"event\":\"line\",\"t\":0,\"stage\":\"lookup\",\"text\":\"System configured for "
            "Gr\xc3\xbc\xc3\x9f"
            "e \xe2\x9c\x93 \xf0\x9f\x93\xa1\"}");
}

TEST(JsonLinesView, NotesAreAlsoHandedToTheHumanView) {
  cNoteRecorder human;
  std::vector<std::string> lines;
  cJsonLinesView view([&lines](std::string_view json) { lines.emplace_back(json); }, [] { return uint64_t{0}; },
                      &human);
  view.Report(report::sNote{report::eStage::Sdl, L"the module came back as /dev/ttyUSB0"});
  view.Report(report::sLine{report::eStage::Sdl, L"Sending SDL hello request"});
  EXPECT_EQ(human.notes, std::vector<std::wstring>{L"the module came back as /dev/ttyUSB0"});
  EXPECT_EQ(lines.size(), 2u);
}

std::vector<std::string> ProgressLines(const std::vector<std::string>& lines) {
  std::vector<std::string> progress;
  for (const std::string& line : lines) {
    if (line.find(R"("event":"progress")") != std::string::npos) progress.push_back(line);
  }
  return progress;
}

TEST(JsonLinesView, ProgressIsPacedToTenASecondAndTheLastOneAlwaysGoesOut) {
  sRecordedView r;
  // 1000 acknowledgements of 1000 bytes, one every 2 ms, with a transcript
  // line beside each.
  for (uint64_t i = 1; i <= 1000; ++i) {
    r.now = i * 2;
    r.view.Report(report::sLine{report::eStage::Sdl, L"Received SDL write response"});
    r.view.Report(report::sProgress{report::eStage::Sdl, i * 1000, 1000000});
  }
  const std::vector<std::string> progress = ProgressLines(r.lines);
  EXPECT_EQ(progress.size(), 21u);  // 2 s: at 2 ms, then every 100 ms, and the last
  EXPECT_EQ(progress.front(), R"({"v":1,"event":"progress","t":2,"stage":"sdl","acknowledged":1000,"total":1000000})");
  EXPECT_EQ(progress[1], R"({"v":1,"event":"progress","t":102,"stage":"sdl","acknowledged":51000,"total":1000000})");
  EXPECT_EQ(progress.back(),
            R"({"v":1,"event":"progress","t":2000,"stage":"sdl","acknowledged":1000000,"total":1000000})");
  EXPECT_EQ(r.lines.size(), 1000u + progress.size());
}

TEST(JsonLinesView, ProgressHeldBackIsToldBeforeTheFailureThatEndsItsTransfer) {
  sRecordedView r;
  r.view.Report(report::sProgress{report::eStage::Sdl, 4096, 1000000});
  r.now = 30;
  r.view.Report(report::sProgress{report::eStage::Sdl, 8192, 1000000});
  r.now = 40;
  r.view.Report(report::sFailure{report::eStage::Sdl, L"Failed to receive SDL response", {}, {}, {}});
  ASSERT_EQ(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[1], R"({"v":1,"event":"progress","t":30,"stage":"sdl","acknowledged":8192,"total":1000000})");
  EXPECT_NE(r.lines[2].find(R"("event":"failure")"), std::string::npos);
}

TEST(JsonLinesView, ProgressHeldBackIsToldWhenTheViewEnds) {
  std::vector<std::string> lines;
  uint64_t now = 0;
  {
    cJsonLinesView view([&lines](std::string_view json) { lines.emplace_back(json); }, [&now] { return now; });
    view.Report(report::sProgress{report::eStage::Dl, 1024, 4096});
    now = 10;
    view.Report(report::sProgress{report::eStage::Dl, 2048, 4096});
  }
  EXPECT_EQ(ProgressLines(lines).size(), 2u);
}

TEST(JsonLinesView, ModulesAndSummary) {
  sRecordedView r;
  r.view.ReportModule({L"/dev/ttyUSB2", L"vid_0a1b&pid_2c3d&mi_02", L"1-4.2", L"Alpha"});
  r.view.ReportModule({L"COM5", L"USB\\VID_0A1B&PID_2C3D&MI_02\\6&1", L"", L""});
  r.view.ReportSummary(1, 2);
  EXPECT_EQ(r.lines, (std::vector<std::string>{
                         R"({"v":1,"event":"module","t":0,"port":"/dev/ttyUSB2","stage":"lookup",)"
                         R"("identity":"vid_0a1b&pid_2c3d&mi_02","location":"1-4.2","configuration":"Alpha"})",
                         R"({"v":1,"event":"module","t":0,"port":"COM5","stage":"lookup",)"
                         R"("identity":"USB\\VID_0A1B&PID_2C3D&MI_02\\6&1","location":""})",
                         R"({"v":1,"event":"summary","t":0,"stage":"outcome","upgraded":1,"modules":2})"}));
}

TEST(InstanceEvents, LineGetsTheModulesPortWhereItHasNoneAndTheModuleAlways) {
  const sInstanceEvent line = ReadInstanceEvent(
      R"({"v":1,"event":"line","t":3,"stage":"lookup","text":"System configured for Gr\u00fc\u00dfe"})",
      L"/dev/ttyUSB1", 99);
  EXPECT_EQ(line.kind, eInstanceEvent::Line);
  EXPECT_EQ(line.text, L"System configured for Gr\u00fc\u00dfe");
  EXPECT_EQ(line.json,
            "{\"v\":1,\"event\":\"line\",\"t\":3,\"stage\":\"lookup\",\"text\":\"System configured for "
            "Gr\xc3\xbc\xc3\x9f"
            "e\",\"port\":\"/dev/ttyUSB1\",\"module\":\"/dev/ttyUSB1\"}");
  const sInstanceEvent followed =
      ReadInstanceEvent(R"({"v":1,"event":"port","t":3,"port":"/dev/ttyUSB4"})", L"/dev/ttyUSB1", 99);
  EXPECT_EQ(followed.kind, eInstanceEvent::Other);
  EXPECT_EQ(followed.json, R"({"v":1,"event":"port","t":3,"port":"/dev/ttyUSB4","module":"/dev/ttyUSB1"})");
}

TEST(InstanceEvents, ProgressCarriesItsCounts) {
  const sInstanceEvent progress = ReadInstanceEvent(
      R"({"v":1,"event":"progress","t":3,"stage":"sdl","acknowledged":4096,"total":8192})", L"/dev/ttyUSB1", 99);
  EXPECT_EQ(progress.kind, eInstanceEvent::Progress);
  EXPECT_EQ(progress.stage, "sdl");
  EXPECT_EQ(progress.acknowledged, 4096u);
  EXPECT_EQ(progress.total, 8192u);
}

TEST(InstanceEvents, FieldsOfAnotherTypeAreReadAsMissing) {
  const sInstanceEvent progress = ReadInstanceEvent(
      R"({"v":1,"event":"progress","stage":5,"acknowledged":"4096","total":-1})", L"/dev/ttyUSB1", 99);
  EXPECT_EQ(progress.kind, eInstanceEvent::Progress);
  EXPECT_EQ(progress.stage, "");
  EXPECT_EQ(progress.acknowledged, 0u);
  EXPECT_EQ(progress.total, 0u);
  const sInstanceEvent line = ReadInstanceEvent(R"({"v":1,"event":"line","text":7})", L"/dev/ttyUSB1", 99);
  EXPECT_EQ(line.kind, eInstanceEvent::Line);
  EXPECT_EQ(line.text, L"");
}

TEST(InstanceEvents, ALineThatIsNoEventIsATranscriptLine) {
  for (const char* plain : {"Upgraded in 5 ms", "{not json", R"({"event":"line","text":"no version"})", "[1]", "",
                            R"({"v":"1","event":"line"})"}) {
    const sInstanceEvent line = ReadInstanceEvent(plain, L"COM5", 42);
    EXPECT_EQ(line.kind, eInstanceEvent::Line) << plain;
    EXPECT_EQ(line.text, text::Utf8ToWide(plain)) << plain;
    std::string quoted = "\"";
    for (const char c : std::string(plain)) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    EXPECT_EQ(line.json, R"({"v":1,"event":"line","t":42,"text":)" + quoted + R"(","port":"COM5","module":"COM5"})")
        << plain;
  }
}

}  // namespace
