// Looking over a completed run for a result without signal; see host_session.h.
//
// The plug-in completes, and hvhost exits 0, in runs whose saved data holds noise
// alone: the cluster placed outside the VTC, a predictor that is zero throughout, a
// protocol that ends long before the run, a dialogue cancelled where the plug-in then
// took 0. The plug-in's log hints at some of these in its own terms; hvhost says
// plainly what happened and what to do, on standard error, after the run.
#include <algorithm>
#include <cstdio>
#include <string>

#include "design/hrf.h"
#include "formats/text_parsing.h"
#include "host/dialogues/console.h"
#include "host/dialogues/dialogue.h"
#include "host/session/host_session.h"
#include "simulation/run_log.h"

namespace hvhost {

using namespace tolvane::formats;
using namespace tolvane::design;
namespace {

using tolvane::simulation::kSelectedPositionText;
using tolvane::simulation::kSkippedVoxelsText;
using tolvane::simulation::kStatusPrefix;

std::string seconds(double milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", milliseconds / 1000.0);
  return text;
}

}  // namespace

void HostSession::observeLogLine(std::string_view line) {
  if (!line.starts_with(kStatusPrefix)) return;
  const std::string_view status = line.substr(kStatusPrefix.size());
  if (status.starts_with(kSelectedPositionText)) sphereCluster_ = true;
  if (status.ends_with(kSkippedVoxelsText)) {
    const std::string_view count = status.substr(0, status.size() - kSkippedVoxelsText.size());
    if (const auto skipped = parseInt(count)) skippedClusterVoxels_ += *skipped;
  }
}

void HostSession::reviewCompletedRun() {
  warnOfCancelledDialogues();
  if (!vtc_) return;
  warnOfClusterOutsideTheVtc();
  warnOfZeroPredictors();
  warnOfProtocolEndingEarly();
}

void HostSession::warnOfCancelledDialogues() {
  for (const CancelledDialogue& dialogue : cancelled_) {
    const std::string went = dialogue.givenInstead == "no file"
                                 ? "went on without a file"
                                 : "went on with " + dialogue.givenInstead + " as the answer";
    console_.warning("the dialogue " + inQuotes(promptOnOneLine(dialogue.prompt)) +
                     " was cancelled, and the plug-in " + went +
                     "; if that is not what you meant, run again and answer it");
  }
}

void HostSession::warnOfClusterOutsideTheVtc() {
  if (skippedClusterVoxels_ == 0) return;
  std::int64_t clusterVoxels = 0;
  if (sphereCluster_) {
    clusterVoxels = tolvane::simulation::sphereVoxelCount();
  } else {
    for (std::size_t i = 0; i < setup_.vois.size(); ++i) {
      clusterVoxels += static_cast<std::int64_t>(setup_.vois[i].voxelCount());
    }
  }
  if (skippedClusterVoxels_ < clusterVoxels) return;
  const VtcGeometry& grid = vtc_->grid();
  console_.warning(
      "every cluster voxel lies outside the VTC's bounding box (X " + std::to_string(grid.xStart) +
      "-" + std::to_string(grid.xEnd) + ", Y " + std::to_string(grid.yStart) + "-" +
      std::to_string(grid.yEnd) + ", Z " + std::to_string(grid.zStart) + "-" +
      std::to_string(grid.zEnd) +
      "), so the simulated data holds noise alone, no signal; place the cluster inside the "
      "box (" +
      std::string(sphereCluster_ ? "--cross or the X, Y, Z answers" : "other VOIs") +
      ") or widen the box with --box");
}

void HostSession::warnOfZeroPredictors() {
  std::vector<std::size_t> used = predictorsRead_;
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  for (const std::size_t index : used) {
    if (index >= designMatrix_.size()) continue;
    const std::vector<float>& values = designMatrix_[index].volumeValues;
    if (std::any_of(values.begin(), values.end(), [](float v) { return v != 0.0f; })) continue;
    console_.warning("the predictor " + inQuotes(designMatrix_[index].name) +
                     " chosen for the cluster is zero throughout the run's " +
                     std::to_string(vtc_->grid().timePoints) +
                     " volumes: no event of its condition falls within the run, so the cluster "
                     "holds noise alone; choose a condition with events in the run, or "
                     "simulate more time points");
  }
}

void HostSession::warnOfProtocolEndingEarly() {
  if (protocol_.conditions.empty()) return;
  const VtcGeometry& grid = vtc_->grid();
  const bool inVolumes = protocol_.unit == TimeUnit::Volumes;
  double lastEnd = 0;  // in the protocol's unit
  for (const Condition& condition : protocol_.conditions) {
    for (const Interval& interval : condition.intervals) lastEnd = std::max(lastEnd, interval.end);
  }
  // Volume intervals include their last volume, which ends one TR after it starts.
  const double lastEndMilliseconds = inVolumes ? lastEnd * grid.trMilliseconds : lastEnd;
  const double runEndMilliseconds = grid.timePoints * grid.trMilliseconds;
  // After its last event a predictor follows the HRF's response for kHrfLengthSeconds
  // and is zero from then on: a shorter tail is the usual rest at a run's end.
  if (runEndMilliseconds - lastEndMilliseconds <= kHrfLengthSeconds * 1000.0) return;
  const std::string protocolEnd = inVolumes ? "volume " +
                                                  std::to_string(static_cast<long long>(lastEnd)) +
                                                  " (" + seconds(lastEndMilliseconds) + ")"
                                            : seconds(lastEndMilliseconds);
  console_.warning("the protocol's events end at " + protocolEnd + ", but the run has " +
                   std::to_string(grid.timePoints) + " volumes (" + seconds(runEndMilliseconds) +
                   "): after the events, every predictor is zero and the data holds noise "
                   "alone; give a protocol that covers the run, or simulate fewer time points");
}

}  // namespace hvhost
