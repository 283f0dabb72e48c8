// Checking a run's options and building its session; see run_setup.h.
#include "host/run_setup.h"

#include <algorithm>
#include <cstdio>

#include "formats/atomic_file.h"
#include "formats/nifti/conform.h"
#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"

namespace hvhost {

using namespace tolvane::formats;
namespace {

constexpr double kMinTrMilliseconds = 10.0;
constexpr double kMaxTrMilliseconds = 100000.0;

// "A,B,C" with exactly `count` whole numbers.
std::vector<int> integerList(const std::string& text, std::size_t count, const std::string& option,
                             char separator) {
  std::vector<int> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const auto value = parseInt(trim(std::string_view(text).substr(start, end - start)));
    if (!value) break;
    values.push_back(*value);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (values.size() != count ||
      std::count(text.begin(), text.end(), separator) != static_cast<long>(count - 1)) {
    throw InputError(option + " expects " + std::to_string(count) +
                     " whole numbers separated by '" + separator + "', not " + inQuotes(text));
  }
  return values;
}

VtcGeometry checkedGrid(const RunOptions& options) {
  VtcGeometry grid = defaultVtcBox();
  if (!options.box.empty()) {
    const auto box = integerList(options.box, 6, "--box", ',');
    grid.xStart = box[0];
    grid.xEnd = box[1];
    grid.yStart = box[2];
    grid.yEnd = box[3];
    grid.zStart = box[4];
    grid.zEnd = box[5];
  }
  if (options.resolution < 1) throw InputError("--resolution must be 1 or more");
  grid.resolution = options.resolution;
  if (!(options.tr >= kMinTrMilliseconds && options.tr <= kMaxTrMilliseconds)) {
    throw InputError("--tr must lie between 10 and 100000 milliseconds");
  }
  grid.trMilliseconds = options.tr;
  const int starts[3] = {grid.xStart, grid.yStart, grid.zStart};
  const int ends[3] = {grid.xEnd, grid.yEnd, grid.zEnd};
  for (int axis = 0; axis < 3; ++axis) {
    if (starts[axis] < 0 || ends[axis] - starts[axis] < grid.resolution) {
      throw InputError("--box: axis " + std::string(1, "XYZ"[axis]) + " runs from " +
                       std::to_string(starts[axis]) + " to " + std::to_string(ends[axis]) +
                       "; it must start at 0 or later and span at least one VTC voxel of "
                       "resolution " +
                       std::to_string(grid.resolution));
    }
  }
  return grid;
}

std::string describeAffine(const Affine& affine) {
  std::string text;
  for (int r = 0; r < 3; ++r) {
    text += r == 0 ? "[" : "; ";
    for (int c = 0; c < 4; ++c) {
      char number[32];
      std::snprintf(number, sizeof number, "%s%g", c == 0 ? "" : " ", affine.m[r][c]);
      text += number;
    }
  }
  return text + "]";
}

// A label image names VMR voxels by their index, which is right only when it lies on
// the anatomical's grid in world space as well.
void checkPlacement(const std::filesystem::path& labelImage, const Affine& vmrVoxelToWorld) {
  const Affine labels = readAnatomicalHeader(labelImage).frame.voxelToWorld;
  if (samePlacement(labels, vmrVoxelToWorld)) return;
  throw InputError(labelImage.string() +
                   ": expected a label image placed like the VMR, "
                   "found another voxel-to-world transform: the label image has " +
                   describeAffine(labels) + ", the VMR " + describeAffine(vmrVoxelToWorld) +
                   " (rows of the 3 x 4 matrix, mm); resample the labels onto the anatomical");
}

}  // namespace

RunPlan checkRunOptions(const RunOptions& options) {
  RunPlan plan;
  plan.module = options.module;
  const auto version = integerList(options.hostVersion, 3, "--host-version", '.');
  plan.version = {version[0], version[1], version[2]};
  plan.noVmr = options.noVmr;
  plan.vmrFile = options.vmr;
  if (options.conform && options.vmr.empty()) {
    throw InputError(
        "--conform resamples the anatomical given with --vmr FILE, and none was "
        "given (without --vmr the VMR is an empty volume of 256 x 256 x 256 voxels "
        "of 1 mm already)");
  }
  plan.conform = options.conform;
  if (!options.cross.empty()) {
    if (plan.noVmr) throw InputError("--cross needs a VMR");
    const auto cross = integerList(options.cross, 3, "--cross", ',');
    plan.cross = {cross[0], cross[1], cross[2]};
  }
  plan.vtcGrid = checkedGrid(options);
  if (!options.vois.empty() && plan.noVmr) throw InputError("--voi needs a VMR");
  plan.voiFiles.assign(options.vois.begin(), options.vois.end());
  plan.protocolFile = options.protocol;
  plan.outputDir = options.outputDir;
  plan.gzipLevel = options.gzipLevel;
  return plan;
}

SessionSetup buildSessionSetup(const RunPlan& plan) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(plan.module, error)) {
    throw InputError(plan.module.string() + ": no such plug-in module");
  }
  SessionSetup setup;
  setup.version = plan.version;
  if (plan.noVmr) {
    setup.vmr.reset();
  } else if (plan.conform) {
    ConformedAnatomical conformed = conformAnatomical(plan.vmrFile);
    setup.vmr = VmrDocument(Anatomical{
        {kConformedDimension, kConformedDimension, kConformedDimension}, conformed.geometry.frame});
    setup.conformedFrom = plan.vmrFile;
    setup.conformed = std::move(conformed);
  } else if (!plan.vmrFile.empty()) {
    setup.vmr = VmrDocument(readAnatomical(plan.vmrFile));
  }
  if (plan.cross) setup.vmr->setCross(*plan.cross);
  setup.vtcGrid = plan.vtcGrid;
  for (const std::filesystem::path& file : plan.voiFiles) {
    // "--voi a.txt,b.nii.gz" names one file that does not exist; say why.
    if (file.string().find(',') != std::string::npos && !std::filesystem::exists(file, error)) {
      throw InputError("--voi " + file.string() +
                       ": no such file; --voi takes one file, so "
                       "give each its own --voi (--voi FILE1 --voi FILE2)");
    }
    VoiFile vois = readVoiFile(file, setup.vmr->dims());
    if (hasNiftiExtension(file)) checkPlacement(file, setup.vmr->frame().voxelToWorld);
    setup.vois.add(std::move(vois));
  }
  if (!plan.protocolFile.empty() && !std::filesystem::is_regular_file(plan.protocolFile, error)) {
    throw InputError(plan.protocolFile.string() + ": no such protocol file");
  }
  setup.protocolFile = plan.protocolFile.string();
  setup.gzipLevel = plan.gzipLevel;
  std::filesystem::create_directories(plan.outputDir, error);
  if (error || !std::filesystem::is_directory(plan.outputDir, error)) {
    throw InputError(plan.outputDir.string() + ": cannot be used as the output folder" +
                     (error ? ": " + error.message() : std::string()));
  }
  // Finding out now spares a simulation whose result could not be saved.
  try {
    checkFolderIsWritable(plan.outputDir);
  } catch (const OutputError& unwritable) {
    throw InputError(std::string(unwritable.what()) + "; choose another --output-dir");
  }
  setup.outputDir = plan.outputDir;
  return setup;
}

}  // namespace hvhost
