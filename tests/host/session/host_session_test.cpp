// The host's side of the operations, driven the way a run drives them: records filled
// as the run reads them, the protocol linked through the header, predictors, VOIs and
// the files saved on request.
#include <gtest/gtest.h>
#include <nifti2_io.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "formats/text_parsing.h"
#include "formats/vtc/vtc_file.h"
#include "host/dialogues/console.h"
#include "host/dialogues/default_dialogue.h"
#include "host/session/host_session.h"
#include "host/shared_names.h"
#include "tests/support/temporary_folder.h"

using namespace hvhost;
using namespace tolvane::formats;

namespace {

class HostSessionTest : public ::testing::Test {
 protected:
  HostSession& session(SessionSetup setup = {}) {
    if (setup.vtcGrid.xEnd == 0) setup.vtcGrid = defaultVtcBox();  // not chosen by the test
    setup.outputDir = folder.path();
    session_.emplace(std::move(setup), dialogue, console);
    return *session_;
  }
  void createAndLink(HostSession& host, const std::string& protocolText,
                     const char* name = "p.prt") {
    ASSERT_TRUE(host.createVtc(100));
    VTCHeader header;
    host.vtcHeader(&header);
    std::strcpy(header.ProtocolFile, folder.write(name, protocolText).c_str());
    host.setVtcHeader(&header);
  }

  TemporaryFolder folder;
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err, false};
  DefaultDialogue dialogue{console};
  std::optional<HostSession> session_;
};

const char* const kBlocks = "units volumes\ncondition Rest\n1 20\ncondition Task\n21 40\n";

}  // namespace

TEST_F(HostSessionTest, NewVtcHeaderDescribesTheDefaultGridAndItsStorage) {
  HostSession& host = session();
  int dims[3];
  EXPECT_EQ(host.currentVmr(&dims[0], &dims[1], &dims[2]), 1);
  EXPECT_EQ(dims[2], 256);
  ASSERT_TRUE(host.createVtc(250));
  VTCHeader header;
  std::memset(&header, 0xAB, sizeof header);
  ASSERT_TRUE(host.vtcHeader(&header));
  EXPECT_EQ(header.NumberOfTimePoints, 250);
  EXPECT_EQ((header.XEnd - header.XStart) / header.Resolution, 58);
  EXPECT_EQ((header.YEnd - header.YStart) / header.Resolution, 40);
  EXPECT_EQ((header.ZEnd - header.ZStart) / header.Resolution, 46);
  EXPECT_STREQ(header.ProtocolFile, "");
  float* data = host.vtcData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[58u * 40 * 46 * 250 - 1], 0.0f);  // the last value exists and starts at zero
}

TEST_F(HostSessionTest, SettingTheHeaderLinksTheProtocolItNames) {
  HostSession& host = session();
  createAndLink(host, kBlocks);
  ProtocolInfo info;
  host.protocolInfo(&info);
  EXPECT_EQ(info.NumberOfConditions, 2);
  ConditionInfo condition;
  ASSERT_TRUE(host.protocolCondition(1, &condition));
  EXPECT_STREQ(condition.Name, "Task");
  EXPECT_FALSE(host.protocolCondition(2, &condition));
  VTCHeader header;
  host.vtcHeader(&header);
  EXPECT_EQ(std::string(header.ProtocolFile), folder.file("p.prt").string());
}

TEST_F(HostSessionTest, MalformedProtocolIsReportedLeavesNoConditionsAndCancelsLaterDialogues) {
  HostSession& host = session();
  createAndLink(host, "units volumes\ncondition A\n9 x\n", "broken.prt");
  ProtocolInfo info;
  host.protocolInfo(&info);
  EXPECT_EQ(info.NumberOfConditions, 0);
  EXPECT_NE(err.str().find("broken.prt:3: expected"), std::string::npos) << err.str();
  EXPECT_TRUE(host.inputFailed());
  EXPECT_EQ(host.integerInput("Select condition:", 2, 1, 2), 0);
  EXPECT_EQ(host.yesNo("Use the cross position?"), 0);
}

TEST_F(HostSessionTest, PredictorsFollowTheirConditionsThroughTheHrf) {
  HostSession& host = session();
  createAndLink(host, kBlocks);
  ConditionInfo condition;
  host.clearDesignMatrix();
  for (int i = 0; i < 2; ++i) {
    host.protocolCondition(i, &condition);
    host.addPredictor(condition.Name);
    ASSERT_TRUE(host.setPredictorFromCondition(condition.Name, i, 1.0f));
    ASSERT_TRUE(host.applyTwoGammaHrf(i));
  }
  const float* rest = host.predictor(0);
  const float* task = host.predictor(1);
  ASSERT_NE(rest, nullptr);
  ASSERT_NE(task, nullptr);
  EXPECT_NEAR(rest[19], 1.0f, 1e-6f);
  EXPECT_NEAR(task[39], 1.0f, 1e-6f);
  EXPECT_EQ(task[0], 0.0f);
  EXPECT_EQ(host.predictor(2), nullptr);
  EXPECT_EQ(host.predictor(-1), nullptr);
  EXPECT_FALSE(host.setPredictorFromCondition("Missing", 0, 1.0f));
  EXPECT_FALSE(host.setPredictorFromCondition("Rest", 5, 1.0f));

  ASSERT_TRUE(host.saveDesignMatrix("plugin_created.rtc"));
  host.finishRun(true);
  EXPECT_TRUE(std::filesystem::exists(folder.file("plugin_created.rtc")));
}

TEST_F(HostSessionTest, VoisAreServedWithTheirNamesAndTheHostsVoxelStorage) {
  SessionSetup setup;
  setup.vois.add({kFlippedVoiSpace, {{"Left", {0, 0, 0, 1, 2, 3}}, {"Empty", {}}}});
  HostSession& host = session(std::move(setup));
  VOIsInfo vois;
  host.voisInfo(&vois);
  EXPECT_EQ(vois.NumberOfVOIs, 2);
  EXPECT_EQ(vois.ReferenceSpace, kFlippedVoiSpace);
  VOIInfo voi;
  const std::int32_t* voxels = host.voi(0, &voi);
  ASSERT_NE(voxels, nullptr);
  EXPECT_EQ(voi.NumberOfVoxels, 2);
  EXPECT_STREQ(voi.Name, "Left");
  EXPECT_EQ(voxels[5], 3);
  EXPECT_NE(host.voi(1, &voi), nullptr);
  EXPECT_EQ(voi.NumberOfVoxels, 0);
  EXPECT_EQ(host.voi(2, &voi), nullptr);
}

TEST_F(HostSessionTest, LabelImageOnTheVmrGridBecomesOneVoiPerLabel) {
  const std::int64_t dims[8] = {3, 256, 256, 256, 1, 1, 1, 1};
  nifti_image* image = nifti_make_new_nim(dims, NIFTI_TYPE_UINT8, 1);
  auto* labels = static_cast<std::uint8_t*>(image->data);
  labels[(120u * 256 + 110) * 256 + 100] = 5;  // VMR voxel (100, 110, 120)
  labels[(120u * 256 + 110) * 256 + 101] = 5;
  labels[7] = 2;
  const auto file = folder.file("labels.nii.gz");
  nifti_set_filenames(image, file.c_str(), 0, 1);
  nifti_image_write(image);
  nifti_image_free(image);

  const VoiFile vois = readVoiFile(file, {256, 256, 256});
  EXPECT_EQ(vois.referenceSpace, kVmrReferenceSpace);
  ASSERT_EQ(vois.vois.size(), 2u);
  EXPECT_EQ(vois.vois[0].name, "label 2");
  EXPECT_EQ(vois.vois[0].voxels, (std::vector<std::int32_t>{7, 0, 0}));
  EXPECT_EQ(vois.vois[1].name, "label 5");
  EXPECT_EQ(vois.vois[1].voxels, (std::vector<std::int32_t>{100, 110, 120, 101, 110, 120}));
  EXPECT_THROW(readVoiFile(file, {256, 256, 128}), InputError);
}

TEST_F(HostSessionTest, SavedVtcGoesIntoTheOutputFolderInTheFormatOfItsExtension) {
  HostSession& host = session();
  createAndLink(host, kBlocks);
  host.vtcData()[0] = 95.5f;
  ASSERT_TRUE(host.saveVtc("Simulated.vtc"));
  ASSERT_TRUE(host.saveVtc("Simulated.nii.gz"));
  host.finishRun(true);
  const VtcFileHeader header = readVtcFileHeader(folder.file("Simulated.vtc"));
  EXPECT_EQ(header.grid.timePoints, 100);
  EXPECT_EQ(header.protocolFile, folder.file("p.prt").string());
  nifti_image* image = nifti_image_read(folder.file("Simulated.nii.gz").c_str(), 0);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->nt, 100);
  nifti_image_free(image);
  EXPECT_FALSE(host.outputFailed());

  EXPECT_FALSE(host.saveVtc("missing-folder/Simulated.vtc"));
  EXPECT_TRUE(host.outputFailed());
  EXPECT_NE(err.str().find("missing-folder/Simulated.vtc: cannot be saved: the folder"),
            std::string::npos)
      << err.str();
}

TEST_F(HostSessionTest, FilesSavedInARunReplaceEarlierOnesOnlyWhenTheRunCompletes) {
  HostSession& host = session();
  createAndLink(host, kBlocks);
  const auto earlier = folder.write("plugin_created.rtc", "the earlier design matrix\n");
  const auto readBack = [&] {
    std::ifstream in(earlier);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  ASSERT_TRUE(host.saveDesignMatrix("plugin_created.rtc"));
  ASSERT_TRUE(host.saveVtc("Simulated.vtc"));
  EXPECT_EQ(readBack(), "the earlier design matrix\n");
  host.finishRun(false);
  EXPECT_EQ(readBack(), "the earlier design matrix\n");
  EXPECT_EQ(folder.entryCount(), 2u);  // the earlier file and the protocol: nothing staged left
  EXPECT_NE(err.str().find("Simulated.vtc was not saved"), std::string::npos) << err.str();

  ASSERT_TRUE(host.saveDesignMatrix("plugin_created.rtc"));
  host.finishRun(true);
  EXPECT_EQ(readBack().rfind("# hvhost design matrix", 0), 0u);
  EXPECT_EQ(folder.entryCount(), 2u);
}

TEST_F(HostSessionTest, VtcTooLargeForMemoryIsRefusedWithTheSizeItNeeds) {
  SessionSetup setup;
  setup.memoryLimitBytes = 1 << 20;
  HostSession& host = session(std::move(setup));
  try {
    host.createVtc(1000);
    FAIL() << "a VTC larger than the memory limit was created";
  } catch (const StorageError& error) {
    EXPECT_NE(
        std::string(error.what()).find("58 x 40 x 46 voxels and 1000 time points needs 0.40 GiB"),
        std::string::npos)
        << error.what();
  }
  EXPECT_EQ(host.vtcData(), nullptr);
}

TEST_F(HostSessionTest, FileDialoguesFillTheRunsBufferOrReportCancellation) {
  SessionSetup setup;
  setup.protocolFile = folder.write("block.prt", kBlocks).string();
  HostSession& host = session(std::move(setup));
  char buffer[kMaxPathLength + 1];
  ASSERT_EQ(host.openFileName("Provide a protocol file:", "", "Protocol Files (*.prt)", buffer), 1);
  EXPECT_EQ(std::string(buffer), folder.file("block.prt").string());
  ASSERT_EQ(host.saveFileName("Save:", "Simulated.vtc", "", buffer), 1);
  EXPECT_STREQ(buffer, "Simulated.vtc");
  EXPECT_EQ(host.integerInput("Select condition:", 2, 1, 1), 1);  // brought into range
}

TEST_F(HostSessionTest, BoundingBoxBeyondTheVmrCreatesNoVtc) {
  SessionSetup setup;
  setup.vtcGrid = defaultVtcBox();
  setup.vtcGrid.zEnd = 260;
  HostSession& host = session(std::move(setup));
  EXPECT_FALSE(host.createVtc(10));
  EXPECT_EQ(host.vtcData(), nullptr);
  EXPECT_NE(err.str().find("does not fit the VMR of 256 x 256 x 256 voxels"), std::string::npos);
}

TEST_F(HostSessionTest, WithoutAVmrThereIsNoVtcToCreate) {
  SessionSetup setup;
  setup.vmr.reset();
  HostSession& host = session(std::move(setup));
  int dims[3];
  EXPECT_EQ(host.currentVmr(&dims[0], &dims[1], &dims[2]), 0);
  EXPECT_FALSE(host.createVtc(10));
  EXPECT_EQ(host.vtcData(), nullptr);
}

TEST(VoiSet, ConvertsLaterFilesIntoTheReferenceSpaceOfTheFirst) {
  VoiSet set;
  set.add({kFlippedVoiSpace, {{"flipped", {0, 0, 0}}}});
  set.add({kVmrReferenceSpace, {{"vmr", {128, 128, 128, 100, 110, 120}}}});
  EXPECT_EQ(set.referenceSpace(), kFlippedVoiSpace);
  // VMR (X, Y, Z) = (100, 110, 120) is the flipped triple (128-Z, 128-X, 128-Y).
  EXPECT_EQ(set[1].voxels, (std::vector<std::int32_t>{0, 0, 0, 8, 28, 18}));

  VoiSet vmrFirst;
  vmrFirst.add({2, {}});
  vmrFirst.add({kFlippedVoiSpace, {{"flipped", {8, 28, 18}}}});
  EXPECT_EQ(vmrFirst.referenceSpace(), 2);
  EXPECT_EQ(vmrFirst[0].voxels, (std::vector<std::int32_t>{100, 110, 120}));
}

TEST(VoiSet, HandsOutStorageEvenForAVoiWithoutVoxels) {
  VoiSet set;
  set.add({kVmrReferenceSpace, {{"empty", {}}}});
  EXPECT_NE(set.voxelList(0), nullptr);
}
