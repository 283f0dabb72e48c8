// The protocol, events-table and VOI text readers: what they accept, and that every
// malformed input is refused with the file, the line and what was expected.
#include <gtest/gtest.h>

#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"
#include "tests/support/refusal.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::design;
using namespace tolvane::formats;

namespace {

struct Refusal {
  const char* text;      // the file's content
  const char* expected;  // what the message says after the file name
};

// Writes each text to `name` and expects `read` to refuse it with "FILE" + expected.
template <typename Read>
void expectRefusals(const TemporaryFolder& folder, const char* name,
                    std::initializer_list<Refusal> cases, Read read) {
  for (const Refusal& c : cases) {
    const auto file = folder.write(name, c.text);
    const std::string message = refusal([&] { read(file); });
    EXPECT_NE(message.find(file.string() + c.expected), std::string::npos)
        << "input:\n"
        << c.text << "message: " << message;
  }
}

}  // namespace

TEST(ProtocolText, ReadsConditionsInOrderWithVolumeIntervals) {
  TemporaryFolder folder;
  const auto file = folder.write("block.prt",
                                 "# comment\n\nunits volumes\ncondition Rest phase\n  1 10\n"
                                 "  21 30\ncondition Task\n  11 20\r\n");
  const Protocol protocol = readProtocolFile(file);
  EXPECT_EQ(protocol.unit, TimeUnit::Volumes);
  ASSERT_EQ(protocol.conditions.size(), 2u);
  EXPECT_EQ(protocol.conditions[0].name, "Rest phase");
  ASSERT_EQ(protocol.conditions[0].intervals.size(), 2u);
  EXPECT_EQ(protocol.conditions[0].intervals[1].begin, 21);
  EXPECT_EQ(protocol.conditions[0].intervals[1].end, 30);
  EXPECT_EQ(protocol.conditions[1].name, "Task");
}

TEST(ProtocolText, AcceptsMillisecondIntervalsWithFractionsAndImpulses) {
  TemporaryFolder folder;
  const auto file =
      folder.write("events.prt", "units milliseconds\ncondition Flash\n0 0\n1500.5 3000\n");
  const Protocol protocol = readProtocolFile(file);
  EXPECT_EQ(protocol.unit, TimeUnit::Milliseconds);
  EXPECT_EQ(protocol.conditions[0].intervals[1].begin, 1500.5);
}

TEST(ProtocolText, RefusesMalformedInputNamingFileLineAndExpectation) {
  TemporaryFolder folder;
  expectRefusals(
      folder, "bad.prt",
      {
          {"condition A\n1 2\n", ":1: expected 'units volumes' or 'units milliseconds' first"},
          {"units seconds\n", ":1: expected 'units volumes' or 'units milliseconds', found units"},
          {"units volumes\n1 2\n", ":2: expected 'condition NAME' before the first interval"},
          {"units volumes\ncondition A\n5 3\n", ":3: expected a volume interval"},
          {"units volumes\ncondition A\n0 3\n", ":3: expected a volume interval"},
          {"units volumes\ncondition A\n1.5 3\n", ":3: expected a volume interval"},
          {"units volumes\ncondition A\n1 2 3\n",
           ":3: expected 'units', 'condition NAME' or an interval"},
          {"units milliseconds\ncondition A\n-1 3\n", ":3: expected a millisecond interval"},
          {"units volumes\ncondition A\ncondition A\n", ":3: expected a new condition name"},
          {"units volumes\ncondition\n", ":2: expected a condition name"},
          {"units volumes\nunits volumes\n", ":2: expected 'units' only once"},
          {"", ":1: expected 'units volumes' or 'units milliseconds', found none"},
      },
      [](const std::filesystem::path& f) { readProtocolFile(f); });
}

TEST(ProtocolText, RefusesConditionNamesTooLongForTheConditionRecord) {
  TemporaryFolder folder;
  const std::string longest(kMaxConditionNameLength, 'n');
  EXPECT_EQ(
      refusal([&] {
        readProtocolFile(folder.write("ok.prt", "units volumes\ncondition " + longest + "\n"));
      }),
      "");
  const auto file = folder.write("long.prt", "units volumes\ncondition " + longest + "x\n");
  EXPECT_NE(
      refusal([&] { readProtocolFile(file); }).find(":2: expected a condition name of at most 271"),
      std::string::npos);
}

TEST(ProtocolText, RefusesUnreadableAndBinaryFiles) {
  TemporaryFolder folder;
  EXPECT_NE(refusal([&] { readProtocolFile(folder.file("missing.prt")); }).find("cannot be opened"),
            std::string::npos);
  const auto binary = folder.write("binary.prt", std::string("units volumes\n\0\x01", 16));
  EXPECT_NE(refusal([&] { readProtocolFile(binary); }).find(":2: expected text, found a NUL byte"),
            std::string::npos);
}

TEST(EventsTsv, GroupsEventsByTrialTypeInOrderOfFirstAppearance) {
  TemporaryFolder folder;
  const auto file = folder.write("sub-01_task-motor_events.tsv",
                                 "onset\tduration\ttrial_type\tresponse_time\n"
                                 "0\t10\tleft\t0.5\n12.5\t2.5\tright\tn/a\n30\tn/a\tleft\t1\n"
                                 "40\t5\tn/a\t1\n");
  const Protocol protocol = readProtocolFile(file);
  EXPECT_EQ(protocol.unit, TimeUnit::Milliseconds);
  ASSERT_EQ(protocol.conditions.size(), 2u);
  EXPECT_EQ(protocol.conditions[0].name, "left");
  EXPECT_EQ(protocol.conditions[1].name, "right");
  ASSERT_EQ(protocol.conditions[0].intervals.size(), 2u);
  EXPECT_EQ(protocol.conditions[0].intervals[1].begin, 30000);  // an "n/a" duration is an impulse
  EXPECT_EQ(protocol.conditions[0].intervals[1].end, 30000);
  EXPECT_EQ(protocol.conditions[1].intervals[0].begin, 12500);
  EXPECT_EQ(protocol.conditions[1].intervals[0].end, 15000);
}

TEST(EventsTsv, TableWithoutTrialTypeIsOneConditionNamedAfterTheTask) {
  TemporaryFolder folder;
  const auto named =
      folder.write("sub-02_task-nback_run-1_events.tsv", "onset\tduration\n0\t4\n8\t4\n");
  const Protocol task = readProtocolFile(named);
  ASSERT_EQ(task.conditions.size(), 1u);
  EXPECT_EQ(task.conditions[0].name, "nback");
  EXPECT_EQ(task.conditions[0].intervals.size(), 2u);
  const auto plain = folder.write("timing.tsv", "duration\tonset\n4\t0\n");
  EXPECT_EQ(readProtocolFile(plain).conditions[0].name, "events");
}

TEST(EventsTsv, RefusesMalformedTablesNamingFileLineAndExpectation) {
  TemporaryFolder folder;
  expectRefusals(
      folder, "bad_events.tsv",
      {
          {"", ":1: expected a header line"},
          {"onset\ttrial_type\n", ":1: expected the tab-separated columns onset and duration"},
          {"onset duration\n", ":1: expected the tab-separated columns onset and duration"},
          {"onset\tduration\n1\t2\t3\n", ":2: expected 2 tab-separated fields, found 3"},
          {"onset\tduration\nsoon\t2\n", ":2: expected a number of seconds in column onset"},
          {"onset\tduration\n\n5\t-1\n", ":3: expected a duration of 0 seconds or more"},
      },
      [](const std::filesystem::path& f) { readProtocolFile(f); });
}

TEST(VoiText, ReadsReferenceSpaceNamesAndVoxelTriples) {
  TemporaryFolder folder;
  const auto file = folder.write("vois.txt",
                                 "# two VOIs\nreference-space 3\nvoi Left motor\n 1 2 3\n-4 5 6\n"
                                 "voi Empty\nvoi Right\n7 8 9\n");
  const VoiFile vois = readVoiFile(file, {256, 256, 256});
  EXPECT_EQ(vois.referenceSpace, 3);
  ASSERT_EQ(vois.vois.size(), 3u);
  EXPECT_EQ(vois.vois[0].name, "Left motor");
  EXPECT_EQ(vois.vois[0].voxels, (std::vector<std::int32_t>{1, 2, 3, -4, 5, 6}));
  EXPECT_EQ(vois.vois[1].voxelCount(), 0u);
  EXPECT_EQ(vois.vois[2].voxelCount(), 1u);
}

TEST(VoiText, RefusesMalformedInputNamingFileLineAndExpectation) {
  TemporaryFolder folder;
  expectRefusals(
      folder, "bad.txt",
      {
          {"voi A\n", ":1: expected 'reference-space CODE'"},
          {"reference-space three\n", ":1: expected 'reference-space CODE'"},
          {"reference-space 1\n1 2 3\n", ":2: expected 'voi NAME' before the first voxel"},
          {"reference-space 1\nvoi A\n1 2\n",
           ":3: expected 'voi NAME' or a voxel of three whole numbers"},
          {"reference-space 1\nvoi A\n1 2 3.5\n", ":3: expected 'voi NAME' or a voxel"},
          {"reference-space 1\nvoi\n", ":2: expected a VOI name of 1 to 259 characters"},
          {"# only a comment\n", ":1: expected 'reference-space CODE' first, found nothing"},
      },
      [](const std::filesystem::path& f) {
        readVoiFile(f, {256, 256, 256});
      });
}
