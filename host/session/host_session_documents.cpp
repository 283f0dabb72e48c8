// The session's VTC, protocol, design matrix and VOI operations; see host_session.h.
#include <array>
#include <cstring>

#include "formats/atomic_file.h"
#include "formats/protocols/design_matrix_file.h"
#include "formats/nifti/nifti_io.h"
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "formats/vtc/vtc_file.h"
#include "host/dialogues/console.h"
#include "host/session/host_session.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;
using namespace tolvane::design;
namespace {

void copyName(char* destination, std::size_t capacity, const std::string& name) {
  std::strncpy(destination, name.c_str(), capacity - 1);
  destination[capacity - 1] = '\0';
}

bool sameGrid(const VTCHeader& header, const VtcGeometry& grid) {
  return header.NumberOfTimePoints == grid.timePoints && header.XStart == grid.xStart &&
         header.XEnd == grid.xEnd && header.YStart == grid.yStart && header.YEnd == grid.yEnd &&
         header.ZStart == grid.zStart && header.ZEnd == grid.zEnd &&
         header.Resolution == grid.resolution;
}

}  // namespace

bool HostSession::createVtc(int numberOfTimePoints) {
  if (!setup_.vmr) {
    console_.warning("a VTC cannot be created without a VMR");
    return false;
  }
  if (numberOfTimePoints < 1) {
    console_.warning("a VTC needs at least one time point, not " +
                     std::to_string(numberOfTimePoints));
    return false;
  }
  const VtcGeometry& box = setup_.vtcGrid;
  const std::array<int, 3>& dims = setup_.vmr->dims();
  if (box.xEnd > dims[0] || box.yEnd > dims[1] || box.zEnd > dims[2]) {
    console_.error("the VTC's bounding box (X " + std::to_string(box.xStart) + "-" +
                   std::to_string(box.xEnd) + ", Y " + std::to_string(box.yStart) + "-" +
                   std::to_string(box.yEnd) + ", Z " + std::to_string(box.zStart) + "-" +
                   std::to_string(box.zEnd) + ") does not fit the VMR of " +
                   std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + " x " +
                   std::to_string(dims[2]) + " voxels; choose one with --box");
    return false;
  }
  VtcGeometry grid = box;
  grid.timePoints = numberOfTimePoints;
  // A new VTC has a new time axis: the old protocol link and predictors do not fit it.
  vtc_.reset();
  protocol_ = {};
  designMatrix_.clear();
  vtc_.emplace(grid, setup_.memoryLimitBytes);
  return true;
}

bool HostSession::vtcHeader(VTCHeader* header) const {
  if (!vtc_) return false;
  vtc_->fillHeader(*header);
  return true;
}

bool HostSession::setVtcHeader(const VTCHeader* header) {
  if (!vtc_) return false;
  if (!sameGrid(*header, vtc_->grid())) {
    console_.warning(
        "the VTC's grid and time points are fixed when it is created; "
        "the changed values are ignored");
  }
  const std::size_t length = strnlen(header->ProtocolFile, sizeof header->ProtocolFile);
  if (length > kMaxPathLength) {
    console_.error("the protocol path in the VTC header is longer than " +
                   std::to_string(kMaxPathLength) + " characters; no protocol is linked");
    vtc_->setProtocolFile("");
    protocol_ = {};
    return false;
  }
  linkProtocol(std::string(header->ProtocolFile, length));
  return true;
}

void HostSession::linkProtocol(const std::string& path) {
  vtc_->setProtocolFile(path);
  protocol_ = {};
  if (path.empty()) return;
  try {
    protocol_ = readProtocolFile(path);
  } catch (const InputError& error) {
    console_.error(std::string(error.what()) + "; the run is cancelled");
    inputFailed_ = true;
    return;
  }
  constexpr std::size_t kIntervalsNamed = 5;
  const VtcGeometry& grid = vtc_->grid();
  for (const std::string& warning : intervalsOutsideTheRun(protocol_, path, grid.timePoints,
                                                           grid.trMilliseconds, kIntervalsNamed)) {
    console_.warning(warning);
  }
}

float* HostSession::vtcData() { return vtc_ ? vtc_->data() : nullptr; }

bool HostSession::saveVtc(const char* fileName) {
  if (!vtc_) {
    console_.error("there is no VTC to save");
    outputFailed_ = true;
    return false;
  }
  const std::filesystem::path path = outputPath(fileName);
  // Said in hvhost's words before the NIfTI library could report it in its own.
  if (const std::string problem = problemSaving(path); !problem.empty()) {
    console_.error(problem);
    outputFailed_ = true;
    return false;
  }
  const VtcGeometry& grid = vtc_->grid();
  const std::filesystem::path staged =
      outputs_.stage(path, std::to_string(grid.dimX()) + " x " + std::to_string(grid.dimY()) +
                               " x " + std::to_string(grid.dimZ()) + " voxels, " +
                               std::to_string(grid.timePoints) + " time points");
  return writeStaged(staged, [&](const std::filesystem::path& file) {
    if (hasNiftiExtension(path)) {
      writeVtcNifti(file, grid, vmrFrame(), vtc_->data(), setup_.gzipLevel);
    } else {
      writeVtcFile(file, grid, vmrFrame(), vtc_->protocolFile(), vtc_->data());
    }
  });
}

bool HostSession::writeStaged(const std::filesystem::path& staged,
                              const std::function<void(const std::filesystem::path&)>& write) {
  try {
    write(staged);
  } catch (const OutputError& error) {
    console_.error(outputs_.shownAsTarget(error.what(), staged));
    outputs_.drop(staged);
    outputFailed_ = true;
    return false;
  }
  return true;
}

bool HostSession::protocolInfo(ProtocolInfo* info) const {
  std::memset(info, 0, sizeof *info);
  info->NumberOfConditions = static_cast<std::int32_t>(protocol_.conditions.size());
  return vtc_.has_value();
}

bool HostSession::protocolCondition(int index, ConditionInfo* condition) const {
  if (index < 0 || static_cast<std::size_t>(index) >= protocol_.conditions.size()) {
    condition->Name[0] = '\0';
    return false;
  }
  copyName(condition->Name, sizeof condition->Name,
           protocol_.conditions[static_cast<std::size_t>(index)].name);
  return true;
}

bool HostSession::clearDesignMatrix() {
  designMatrix_.clear();
  return true;
}

bool HostSession::addPredictor(const char* name) {
  if (!vtc_) {
    console_.warning("predictors need a VTC for their number of volumes");
    return false;
  }
  designMatrix_.addPredictor(name, vtc_->grid().timePoints);
  return true;
}

bool HostSession::setPredictorFromCondition(const char* name, int conditionIndex, float value) {
  const auto predictor = designMatrix_.findPredictor(name);
  if (!predictor) {
    console_.warning(std::string("no predictor named ") + inQuotes(name));
    return false;
  }
  if (conditionIndex < 0 ||
      static_cast<std::size_t>(conditionIndex) >= protocol_.conditions.size()) {
    console_.warning("the protocol has no condition " + std::to_string(conditionIndex + 1));
    return false;
  }
  designMatrix_.setFromCondition(*predictor,
                                 protocol_.conditions[static_cast<std::size_t>(conditionIndex)],
                                 protocol_.unit, vtc_->grid().trMilliseconds, value);
  return true;
}

bool HostSession::applyTwoGammaHrf(int predictorIndex) {
  if (predictorIndex < 0 || static_cast<std::size_t>(predictorIndex) >= designMatrix_.size()) {
    console_.warning("the design matrix has no predictor " + std::to_string(predictorIndex + 1));
    return false;
  }
  designMatrix_.applyTwoGammaHrf(static_cast<std::size_t>(predictorIndex),
                                 vtc_->grid().trMilliseconds);
  return true;
}

float* HostSession::predictor(int predictorIndex) {
  if (predictorIndex < 0 || static_cast<std::size_t>(predictorIndex) >= designMatrix_.size()) {
    return nullptr;
  }
  predictorsRead_.push_back(static_cast<std::size_t>(predictorIndex));
  return designMatrix_.volumeValues(static_cast<std::size_t>(predictorIndex));
}

bool HostSession::saveDesignMatrix(const char* fileName) {
  const std::filesystem::path path = outputPath(fileName);
  const int volumes = vtc_ ? vtc_->grid().timePoints : 0;
  const std::filesystem::path staged =
      outputs_.stage(path, std::to_string(designMatrix_.size()) + " predictors, " +
                               std::to_string(volumes) + " volumes");
  return writeStaged(staged, [&](const std::filesystem::path& file) {
    writeDesignMatrixFile(file, designMatrix_, volumes, setup_.vtcGrid.trMilliseconds);
  });
}

bool HostSession::voisInfo(VOIsInfo* info) const {
  std::memset(info, 0, sizeof *info);
  info->NumberOfVOIs = static_cast<std::int32_t>(setup_.vois.size());
  info->ReferenceSpace = setup_.vois.referenceSpace();
  return true;
}

std::int32_t* HostSession::voi(int index, VOIInfo* info) {
  if (index < 0 || static_cast<std::size_t>(index) >= setup_.vois.size()) return nullptr;
  const Voi& voi = setup_.vois[static_cast<std::size_t>(index)];
  std::memset(info, 0, sizeof *info);
  info->NumberOfVoxels = static_cast<std::int32_t>(voi.voxelCount());
  copyName(info->Name, sizeof info->Name, voi.name);
  return setup_.vois.voxelList(static_cast<std::size_t>(index));
}

}  // namespace hvhost
