// Hostile input to the readers: limits on size, line length and content that stop a
// file before it costs memory or time, and the rules each format adds (VOI voxels
// inside the VMR, overlapping and out-of-run intervals, capped counts).
#include <gtest/gtest.h>
#include <nifti2_io.h>

#include <sstream>

#include "design/design_matrix.h"
#include "formats/protocols/protocol_files.h"
#include "formats/text_input.h"
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"
#include "tests/support/refusal.h"
#include "tests/support/temporary_folder.h"

using namespace tolvane::design;
using namespace tolvane::formats;

namespace {

constexpr std::array<int, 3> kVmr = {256, 256, 256};

std::vector<TextLine> allLines(const std::string& text, TextLimits limits) {
  std::istringstream in(text);
  TextLineReader reader(in, "in.txt", limits);
  std::vector<TextLine> lines;
  for (TextLine line; reader.next(line);) lines.push_back(line);
  return lines;
}

Protocol protocolFrom(const std::string& text, const char* name = "p.prt") {
  std::istringstream in(text);
  return readProtocolText(in, name);
}

VoiFile voisFrom(const std::string& text) {
  std::istringstream in(text);
  return readVoiText(in, "v.txt", kVmr);
}

}  // namespace

TEST(TextLineReader, NumbersEveryPhysicalLineDropsCarriageReturnsAndKeepsAnUnendedLastLine) {
  const auto lines = allLines("a\r\n\n# c\nlast", {100, 10});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "a");
  EXPECT_EQ(lines[2].number, 3);
  EXPECT_EQ(lines[3].text, "last");
  EXPECT_EQ(lines[3].number, 4);
}

TEST(TextLineReader, StopsAtTheFirstLineTooLongTheFirstByteTooManyOrTheFirstNul) {
  EXPECT_NE(refusal([] {
              allLines("ok\n" + std::string(11, 'x') + "\n", {100, 10});
            }).find("in.txt:2: expected a line of at most 10 characters"),
            std::string::npos);
  EXPECT_NE(refusal([] {
              allLines(std::string(60, '\n'), {50, 10});
            }).find("in.txt:51: expected at most 50 bytes of text, found more"),
            std::string::npos);
  // A stream that never ends is refused at its first NUL, not read to the end.
  EXPECT_NE(refusal([] {
              allLines(std::string("text\nmore\0", 10) + std::string(1000, 'x'), {100, 10});
            }).find("in.txt:2: expected text, found a NUL byte"),
            std::string::npos);
}

TEST(TextFiles, FoldersMissingFilesAndOversizedFilesAreRefusedBeforeReading) {
  TemporaryFolder folder;
  EXPECT_NE(refusal([&] {
              openTextFile(folder.path(), {100, 10});
            }).find("expected a text file, found a folder"),
            std::string::npos);
  EXPECT_NE(refusal([&] {
              openTextFile(folder.file("absent"), {100, 10});
            }).find("absent: cannot be opened for reading: No such file"),
            std::string::npos);
  // A sparse file: its size is claimed at once, without writing or reading 3 GiB.
  const auto huge = folder.write("huge.prt", "");
  std::filesystem::resize_file(huge, std::uint64_t{3} << 30);
  EXPECT_NE(refusal([&] {
              readProtocolFile(huge);
            }).find("huge.prt: expected a text file of at most 16 MiB, found one of 3.00 GiB"),
            std::string::npos);
}

TEST(TextFiles, MessagesShowControlCharactersAsEscapes) {
  EXPECT_EQ(inQuotes("a\tb\x1b[2Jc\x7f"), "\"a\\tb\\x1b[2Jc\\x7f\"");
  const std::string message =
      refusal([] { protocolFrom("units volumes\ncondition A\n1\x1b 2\n"); });
  EXPECT_NE(message.find("found \"1\\x1b 2\""), std::string::npos) << message;
}

TEST(TextFiles, MessagesKeepWellFormedUtf8AndEscapeStrayBytes) {
  // "Reiz ä €" stays; a gzip start, a lone continuation byte, an overlong form and a
  // truncated sequence do not.
  EXPECT_EQ(printable("Reiz \xc3\xa4 \xe2\x82\xac"), "Reiz \xc3\xa4 \xe2\x82\xac");
  EXPECT_EQ(printable(std::string_view("\x1f\x8b\x08\x00", 4)), "\\x1f\\x8b\\x08\\x00");
  EXPECT_EQ(printable("\xc0\xaf|\xe2\x82"), "\\xc0\\xaf|\\xe2\\x82");
}

TEST(ProtocolRules, OverlappingIntervalsAreAcceptedAndTheirPredictorIsOnWhereverAnyIsOn) {
  const Protocol protocol =
      protocolFrom("units volumes\ncondition A\n1 5\n3 8\n3 4\ncondition B\n2 6\n");
  ASSERT_EQ(protocol.conditions[0].intervals.size(), 3u);
  DesignMatrix matrix;
  matrix.addPredictor("A", 10);
  matrix.setFromCondition(0, protocol.conditions[0], TimeUnit::Volumes, 2000.0, 1.0f);
  const std::vector<float> expected = {1, 1, 1, 1, 1, 1, 1, 1, 0, 0};
  EXPECT_EQ(matrix[0].volumeValues, expected);
}

TEST(ProtocolRules, NegativeZeroAndReversedIntervalsAreRefusedWhereTheUnitForbidsThem) {
  for (const char* text :
       {"units volumes\ncondition A\n-1 3\n", "units volumes\ncondition A\n0 3\n",
        "units volumes\ncondition A\n4 3\n", "units milliseconds\ncondition A\n-5 3\n",
        "units milliseconds\ncondition A\n30 20\n"}) {
    EXPECT_NE(refusal([&] { protocolFrom(text); }).find("p.prt:3: expected a "), std::string::npos)
        << text;
  }
  // A zero-length millisecond interval is an impulse, and one volume is "5 5".
  EXPECT_EQ(
      protocolFrom("units milliseconds\ncondition A\n2500 2500\n").conditions[0].intervals.size(),
      1u);
  EXPECT_EQ(protocolFrom("units volumes\ncondition A\n5 5\n").conditions[0].intervals[0].end, 5);
}

TEST(ProtocolRules, IntervalsOutsideTheRunAreNamedWithTheirLinesAndCounted) {
  const Protocol volumes =
      protocolFrom("units volumes\ncondition A\n1 10\n8 14\n20 30\n21 22\n23 24\n");
  const auto warnings = intervalsOutsideTheRun(volumes, "p.prt", 12, 2000.0, 2);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0],
            "p.prt:4: condition \"A\": volumes 8 to 14 reach past the last volume, 12; cut there");
  EXPECT_EQ(warnings[1],
            "p.prt:5: condition \"A\": volumes 20 to 30 start after the last volume, 12; ignored");
  EXPECT_EQ(warnings[2], "p.prt: 2 more intervals reach outside the run");

  std::istringstream events("onset\tduration\n-4\t2\n-1\t2\n23\t2\n30\t1\n");
  const Protocol seconds = readEventsTsv(events, "e.tsv");
  const auto timed = intervalsOutsideTheRun(seconds, "e.tsv", 12, 2000.0, 10);
  ASSERT_EQ(timed.size(), 4u);
  EXPECT_NE(timed[0].find(
                "e.tsv:2: condition \"events\": -4000 to -2000 ms ends before the first volume"),
            std::string::npos);
  EXPECT_NE(timed[1].find("-1000 to 1000 ms starts before the first volume; cut there"),
            std::string::npos);
  EXPECT_NE(timed[2].find("23000 to 25000 ms reaches past the end of the run at 24000 ms"),
            std::string::npos);
  EXPECT_NE(timed[3].find("30000 to 31000 ms starts at or after the end of the run"),
            std::string::npos);
  EXPECT_EQ(intervalsOutsideTheRun(seconds, "e.tsv", 16, 2000.0, 10).size(), 2u);
}

TEST(ProtocolRules, ConditionCountAndEventTimesAreBounded) {
  std::string many = "units volumes\n";
  for (std::size_t c = 0; c <= kMaxConditions; ++c)
    many += "condition c" + std::to_string(c) + "\n";
  EXPECT_NE(refusal([&] { protocolFrom(many); }).find(":1002: expected at most 1000 conditions"),
            std::string::npos);
  std::string types = "onset\tduration\ttrial_type\n";
  for (std::size_t c = 0; c <= kMaxConditions; ++c) types += "0\t1\tt" + std::to_string(c) + "\n";
  std::istringstream table(types);
  EXPECT_NE(
      refusal([&] { readEventsTsv(table, "e.tsv"); }).find("e.tsv:1002: expected at most 1000"),
      std::string::npos);
  std::istringstream huge("onset\tduration\n1e306\t1\n");
  EXPECT_NE(refusal([&] {
              readEventsTsv(huge, "e.tsv");
            }).find("e.tsv:2: expected a number of seconds in column onset"),
            std::string::npos);
}

TEST(VoiRules, VoxelsOutsideTheVmrAreRefusedInTheSpaceTheFileGives) {
  EXPECT_NE(
      refusal([] { voisFrom("reference-space 1\nvoi A\n0 0 0\n255 256 0\n"); })
          .find("v.txt:4: expected a voxel inside the VMR of 256 x 256 x 256 voxels, found one "
                "at VMR (255, 256, 0) in reference space 1"),
      std::string::npos);
  // In the flipped space (0, 0, 0) is the VMR's centre, and 128 along c1 is X = 0.
  EXPECT_EQ(voisFrom("reference-space 3\nvoi A\n0 0 0\n0 128 -127\n").vois[0].voxelCount(), 2u);
  EXPECT_NE(refusal([] {
              voisFrom("reference-space 3\nvoi A\n0 129 0\n");
            }).find("at VMR (-1, 128, 128)"),
            std::string::npos);
  // The smallest int, which the flip would overflow, is refused like any other.
  EXPECT_NE(refusal([] {
              voisFrom("reference-space 3\nvoi A\n-2147483648 0 0\n");
            }).find("at VMR (128, 128, 2147483776)"),
            std::string::npos);
}

TEST(VoiRules, NamesWithControlCharactersAndTooManyVoisAreRefused) {
  EXPECT_NE(refusal([] {
              voisFrom("reference-space 1\nvoi A\x1b\x42\n");
            }).find("v.txt:2: expected a VOI name without"),
            std::string::npos);
  std::string many = "reference-space 1\n";
  for (std::size_t v = 0; v <= kMaxVois; ++v) many += "voi v\n";
  EXPECT_NE(refusal([&] { voisFrom(many); }).find(":10002: expected at most 10000 VOIs"),
            std::string::npos);
}

TEST(VoiRules, LabelImageOfTheWrongSizeIsRefusedFromItsHeaderAlone) {
  TemporaryFolder folder;
  const std::int64_t dims[8] = {3, 64, 64, 64, 1, 1, 1, 1};
  nifti_image* image = nifti_make_new_nim(dims, NIFTI_TYPE_INT32, 1);
  const auto file = folder.file("labels.nii");
  ASSERT_EQ(nifti_set_filenames(image, file.c_str(), 0, 1), 0);
  nifti_image_write(image);
  nifti_image_free(image);
  // Without its voxels the image could not be loaded; the size is refused first.
  std::filesystem::resize_file(file, 352);
  EXPECT_NE(
      refusal([&] { readVoiFile(file, kVmr); })
          .find("labels.nii: expected a label image on the VMR grid of 256 x 256 x 256 voxels, "
                "found 64 x 64 x 64"),
      std::string::npos);
  EXPECT_NE(refusal([&] {
              readVoiFile(file, {64, 64, 64});
            }).find("cannot read the voxels"),
            std::string::npos);
}
