// Reading the run and its mask, fitting and writing; see fit_noise_command.h.
#include "tolvane/fit_noise/fit_noise_command.h"

#include <cmath>

#include "formats/nifti/nifti_maps.h"
#include "formats/protocols/protocol_files.h"
#include "formats/text_parsing.h"
#include "tolvane/fit_noise/fit_outputs.h"
#include "tolvane/study/automatic_mask.h"

namespace tolvane::fit_noise {
namespace {

std::vector<float> meanImageOf(const formats::FloatSeries& series) {
  const std::size_t voxels = series.geometry.voxelCount();
  std::vector<double> sums(voxels, 0.0);
  for (std::int64_t t = 0; t < series.volumes; ++t) {
    const float* volume = series.values.data() + static_cast<std::size_t>(t) * voxels;
    for (std::size_t v = 0; v < voxels; ++v) sums[v] += volume[v];
  }
  std::vector<float> mean(voxels);
  for (std::size_t v = 0; v < voxels; ++v) {
    mean[v] = static_cast<float>(sums[v] / static_cast<double>(series.volumes));
  }
  return mean;
}

std::vector<std::uint8_t> readMask(const std::filesystem::path& file,
                                   const formats::MapGeometry& run,
                                   const std::filesystem::path& bold) {
  const formats::ScalarVolume volume = formats::readScalarVolume(file);
  if (volume.geometry.dims != run.dims ||
      !formats::samePlacement(volume.geometry.frame.voxelToWorld, run.frame.voxelToWorld)) {
    throw formats::InputError(file.string() + ": the mask lies on " +
                              formats::describeGeometry(volume.geometry) + ", not on the grid of " +
                              bold.string() + " (" + formats::describeGeometry(run) +
                              "); give a mask on the run's own grid");
  }
  std::vector<std::uint8_t> mask(volume.values.size());
  for (std::size_t v = 0; v < mask.size(); ++v) mask[v] = volume.values[v] != 0.0 ? 1 : 0;
  return mask;
}

}  // namespace

FitNoiseRun fitSeries(formats::FloatSeries& series, const std::vector<std::uint8_t>* givenMask,
                      const FitNoiseRequest& request, const analysis::Progress& given) {
  const analysis::Progress progress = given ? given : [](const std::string&) {};
  if (!(request.highpassSeconds > 0.0) || !std::isfinite(request.highpassSeconds)) {
    throw formats::InputError("--highpass: expected the drift's cutoff, a number of seconds > 0");
  }
  FitNoiseRun run;
  run.geometry = series.geometry;
  run.volumes = static_cast<int>(series.volumes);
  run.trSeconds = series.trSeconds;
  std::optional<design::Protocol> protocol;
  if (request.events) protocol = formats::readProtocolFile(*request.events);
  const TemporalDesign design = buildTemporalDesign(
      run.volumes, run.trSeconds, request.highpassSeconds, protocol ? &*protocol : nullptr,
      request.events.value_or(std::filesystem::path{}), request.bold);
  run.columns = design.columnNames;
  std::vector<std::uint8_t> mask;
  if (givenMask != nullptr) {
    mask = *givenMask;
  } else {
    progress("automatic mask from the mean image");
    const std::vector<float> mean = meanImageOf(series);
    mask = study::automaticMask(mean.data(), static_cast<int>(series.geometry.dims[0]),
                                static_cast<int>(series.geometry.dims[1]),
                                static_cast<int>(series.geometry.dims[2]));
    run.automaticMask = true;
  }
  run.fit = fitNoise(series, mask, design, request.threads, request.bold, progress);
  run.fit.mask = std::move(mask);
  return run;
}

FitNoiseRun runFitNoise(const FitNoiseRequest& request, const analysis::Progress& given) {
  const analysis::Progress progress = given ? given : [](const std::string&) {};
  // The output folder is made (or found unwritable) before the work of the fit.
  formats::StagedFileSet staged = formats::StagedFileSet::beforeWork(request.output, "--output");
  progress("reading " + request.bold.string());
  formats::FloatSeries series = formats::readFloatSeries(request.bold);
  std::vector<std::uint8_t> mask;
  if (request.mask) mask = readMask(*request.mask, series.geometry, request.bold);
  FitNoiseRun run = fitSeries(series, request.mask ? &mask : nullptr, request, progress);
  series = {};  // the residuals are no longer needed
  progress("writing " + request.output.string());
  run.files = writeFitOutputs(run, request, staged);
  return run;
}

}  // namespace tolvane::fit_noise
