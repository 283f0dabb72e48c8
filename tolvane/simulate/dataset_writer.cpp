// Writing a study's files; see dataset_writer.h.
#include "tolvane/simulate/dataset_writer.h"

#include <cstdint>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "formats/errors.h"
#include "formats/nifti/nifti_io.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/protocols/events_tsv_writer.h"
#include "formats/text_parsing.h"
#include "tolvane/simulate/confounds_table.h"
#include "tolvane/simulate/int16_quantisation.h"
#include "tolvane/simulate/int16_scale.h"
#include "tolvane/simulate/network_truth_files.h"
#include "tolvane/study/head_motion.h"
#include "tolvane/study/run_events.h"
#include "tolvane/study/run_seeds.h"
#include "tolvane/version.h"

namespace tolvane::simulate {
namespace {

using Json = nlohmann::ordered_json;
constexpr const char* kBidsVersion = "1.8.0";

void writeText(const std::filesystem::path& file, const std::string& text) {
  formats::createFolders(file.parent_path());
  formats::writeTextFile(file, text);
}

void writeJson(const std::filesystem::path& file, const Json& json) {
  writeText(file, json.dump(2) + "\n");
}

bool needed(const std::filesystem::path& file, bool keepExisting) {
  return !(keepExisting && std::filesystem::exists(file));
}

Json generatedBy() {
  return Json::array({{{"Name", "tolvane"},
                       {"Version", kTolvaneVersion},
                       {"Description", "tolvane simulate: simulated runs with known effects"}}});
}

// One row per label of the truth image: the regions, then their overlaps, each with
// the number of voxels the image gives that label.
std::string regionTableText(const study::Study& study, const Truth& truth) {
  std::string text =
      "index\tname\tshape\tcentre_x_mm\tcentre_y_mm\tcentre_z_mm\tradius_mm\t"
      "voxel_count\teffects_as_written";
  for (const design::Condition& condition : study.protocol.conditions) {
    text += "\teffect_" + condition.name;
  }
  const bool shapesGiven = truth.responses && truth.responses->shapesGiven;
  if (shapesGiven) text += responseColumnsHeader();
  text += '\n';
  for (std::size_t label = 0; label < truth.labelTable.size(); ++label) {
    const TruthLabel& entry = truth.labelTable[label];
    text += std::to_string(label + 1) + '\t' + entry.name + '\t';
    if (entry.regions.size() > 1) {
      text +=
          "overlap\tn/a\tn/a\tn/a\tn/a\t" + std::to_string(entry.voxelCount) + '\t' + entry.name;
      for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
        float sum = 0.0f;
        for (const std::size_t r : entry.regions) sum += truth.regionAmplitudes[r][c];
        text += '\t' + formats::shortestText(sum);
      }
      if (shapesGiven) text += responseColumns(*truth.responses, std::nullopt);
      text += '\n';
      continue;
    }
    const std::size_t r = entry.regions.front();
    const study::Region& region = study.regions[r];
    text += region.kind == study::RegionKind::Sphere ? "sphere"
            : region.kind == study::RegionKind::Voi  ? "voi"
                                                     : "labels";
    // The centre where this subject has the region.
    const formats::Affine toWorld =
        formats::compose(study.frame.voxelToWorld, study.grid.gridToVmr());
    const std::array<int, 3>& offset = truth.regionOffsets[r];
    for (int axis = 0; axis < 3; ++axis) {
      double centre = region.centreMm[static_cast<std::size_t>(axis)];
      for (int k = 0; k < 3; ++k) {
        if (offset[static_cast<std::size_t>(k)] != 0) {
          centre += toWorld.m[axis][k] * offset[static_cast<std::size_t>(k)];
        }
      }
      text += '\t' + formats::shortestText(centre);
    }
    text += '\t' + (region.radiusMm ? formats::shortestText(*region.radiusMm) : std::string("n/a"));
    text += '\t' + std::to_string(entry.voxelCount) + '\t';
    for (std::size_t i = 0; i < region.effectsAsWritten.size(); ++i) {
      text += (i ? ";" : "") + region.effectsAsWritten[i];
    }
    if (region.effectsAsWritten.empty()) text += "n/a";  // a network's node without effects
    for (const double amplitude : truth.regionAmplitudes[r])
      text += '\t' + formats::shortestText(amplitude);
    if (shapesGiven) text += responseColumns(*truth.responses, r);
    text += '\n';
  }
  return text;
}

// Each value in the shortest form that reads back as the same float.
std::string predictorTableText(const study::Study& study, const DatasetLayout& layout,
                               int runPlace) {
  const std::vector<std::vector<float>>& design = study.runDesign(runPlace).predictors;
  std::string text;
  for (std::size_t c = 0; c < design.size(); ++c) {
    text += (c ? "\t" : "") + layout.conditionLabels()[c];
  }
  text += '\n';
  for (int t = 0; t < study.grid.timePoints; ++t) {
    for (std::size_t c = 0; c < design.size(); ++c) {
      text += (c ? "\t" : "") + formats::shortestText(design[c][static_cast<std::size_t>(t)]);
    }
    text += '\n';
  }
  return text;
}

std::string readmeText(const study::Study& study) {
  return study.name +
         "\n\nSimulated fMRI data written by tolvane simulate from the study file "
         "code/tolvane/" +
         study.file.filename().string() + " (seed " + std::to_string(study.seed) + ", generator " +
         study::generatorName(study.generator) + ", signal " + study::signalName(study.signal) +
         "): " + std::to_string(study.subjects) + " subject(s) of " + std::to_string(study.runs) +
         " run(s). The effects put into the data, voxel by voxel, are under "
         "derivatives/tolvane/.\n";
}

// Every parameter that made a run with per-voxel levels, in the study file's units (a
// study without them keeps its two numbers, Baseline and NoiseStandardDeviation).
Json noiseDescription(const study::Study& study) {
  const study::VoxelLevelMaps& levels = *study.voxelLevels;
  const study::NoiseModels& noise = study.noise;
  Json json;
  if (study.baselineImage) {
    json["BaselineImage"] = *study.baselineImage;
    json["BaselineScale"] = study.baselineScale;
  } else {
    json["Baseline"] = study.levels.baseline;
  }
  json["Mask"] = study.maskImage        ? Json(*study.maskImage)
                 : levels.automaticMask ? Json("automatic")
                                        : Json("every voxel");
  json["MaskVoxels"] = levels.maskVoxels;
  if (study.tsnr) {
    json["TemporalSNR"] = *study.tsnr;
  } else if (study.tsnrImage) {
    json["TemporalSNRImage"] = *study.tsnrImage;
  } else if (study.noiseSdImage) {
    json["NoiseStandardDeviationImage"] = *study.noiseSdImage;
  } else {
    json["NoiseStandardDeviation"] = study.levels.noiseAmplitude;
  }
  if (study.snr) json["ThermalSNR"] = *study.snr;
  json["ThermalStandardDeviation"] = levels.thermalSd;
  json["ThermalOnlyMaskShare"] = levels.thermalOnlyShare;
  json["Magnitude"] = levels.magnitude;
  if (noise.acf) {
    json["SpatialAutocorrelation"] = {{"Model", "mixed"},
                                      {"A", noise.acf->a},
                                      {"BMillimetres", noise.acf->bMm},
                                      {"CMillimetres", noise.acf->cMm}};
  } else if (noise.smoothnessMm > 0.0) {
    json["SpatialAutocorrelation"] = {{"Model", "gaussian"},
                                      {"FWHMMillimetres", noise.smoothnessMm}};
    if (noise.smoothnessAxesMm) {
      json["SpatialAutocorrelation"]["FWHMMillimetres"] = *noise.smoothnessAxesMm;
    }
  } else {
    json["SpatialAutocorrelation"] = {{"Model", "white"}};
  }
  if (!noise.arma.ar.empty() || !noise.arma.ma.empty()) {
    json["TemporalModel"] = {{"Model", "arma"}, {"AR", noise.arma.ar}, {"MA", noise.arma.ma}};
  } else if (!noise.spectrum.empty()) {
    json["TemporalModel"] = {{"Model", "spectrum"}, {"RelativePower", noise.spectrum}};
  } else if (noise.autoregressive) {
    json["TemporalModel"] = {{"Model", "ar1"}, {"Rho", noise.rho}};
  } else {
    json["TemporalModel"] = {{"Model", "white"}};
  }
  if (noise.physio) {
    Json physio = {{"Share", noise.physio->share},
                   {"CardiacHz", noise.physio->rates.cardiacHz},
                   {"RespiratoryHz", noise.physio->rates.respiratoryHz}};
    if (study.physioMapImage) physio["Map"] = *study.physioMapImage;
    json["Physiological"] = physio;
  }
  if (noise.driftSd > 0.0f) {
    json["Drift"] = {{"StandardDeviation", noise.driftSd},
                     {"CutoffSeconds", noise.driftCutoffSeconds}};
  }
  return json;
}

Json boldSidecar(const study::Study& study, const RunFiles& files) {
  Json json = {{"RepetitionTime", study.grid.trMilliseconds / 1000.0},
               {"TaskName", study.task},
               {"Generator", study::generatorName(study.generator)},
               {"StudySeed", study.seed},
               {"RunPlace", files.place}};
  if (study.generator == study::Generator::Ran1) {
    json["Ran1RunSeed"] = study::ran1RunSeed(study.seed, files.place);
  }
  if (study.sliceTiming) {
    json["SliceTiming"] = study.sliceTiming->timesSeconds;
    if (study.sliceTiming->multiband > 1) {
      json["MultibandAccelerationFactor"] = study.sliceTiming->multiband;
    }
  }
  json["SignalMode"] = study::signalName(study.signal);
  if (study.voxelLevels) {
    json["Noise"] = noiseDescription(study);
  } else {
    json["Baseline"] = study.levels.baseline;
    json["NoiseStandardDeviation"] = study.levels.noiseAmplitude;
  }
  json["StudyFile"] = "code/tolvane/" + study.file.filename().string();
  json["StudyFileSHA256"] = study.fileSha256;
  return json;
}

}  // namespace

std::string identityText(const study::Study& study) {
  const Json json = {{"StudyFile", study.file.filename().string()},
                     {"StudyFileSHA256", study.fileSha256},
                     {"Seed", study.seed},
                     {"Subjects", study.subjects},
                     {"Runs", study.runs}};
  return json.dump(2) + "\n";
}

void writeDatasetFiles(const study::Study& study, const DatasetLayout& layout, bool keepExisting) {
  if (needed(layout.identity(), keepExisting)) writeText(layout.identity(), identityText(study));
  if (needed(layout.studyCopy(), keepExisting)) writeText(layout.studyCopy(), study.fileBytes);
  if (needed(layout.description(), keepExisting)) {
    writeJson(layout.description(), {{"Name", study.name},
                                     {"BIDSVersion", kBidsVersion},
                                     {"DatasetType", "raw"},
                                     {"GeneratedBy", generatedBy()}});
  }
  if (needed(layout.readme(), keepExisting)) writeText(layout.readme(), readmeText(study));
  if (needed(layout.participants(), keepExisting)) {
    std::string text = "participant_id\n";
    for (int s = 1; s <= study.subjects; ++s) text += layout.subjectEntity(s) + "\n";
    writeText(layout.participants(), text);
  }
  if (needed(layout.truthDescription(), keepExisting)) {
    writeJson(layout.truthDescription(), {{"Name", study.name + ": ground truth"},
                                          {"BIDSVersion", kBidsVersion},
                                          {"DatasetType", "derivative"},
                                          {"GeneratedBy", generatedBy()},
                                          {"SourceDatasets", Json::array({{{"URL", "../../"}}})}});
  }
}

void writeGroupTruth(const study::Study& study, const DatasetLayout& layout, bool keepExisting) {
  if (!study.subjectsDiffer()) return;
  const Truth truth = groupTruth(study);
  for (std::size_t c = 0; c < study.protocol.conditions.size(); ++c) {
    if (needed(layout.groupEffectMap(c), keepExisting)) {
      formats::createFolders(layout.truthRoot());
      formats::writeFloatMapNifti(layout.groupEffectMap(c),
                                  formats::mapGeometryOf(study.grid, study.frame),
                                  truth.amplitudes[c].data(), {}, formats::kDefaultGzipLevel);
    }
    if (needed(layout.groupEffectSidecar(c), keepExisting)) {
      writeJson(layout.groupEffectSidecar(c),
                {{"Condition", study.protocol.conditions[c].name},
                 {"Description",
                  "Group truth: the population's mean effect, per unit of the condition's "
                  "HRF-convolved predictor, in data units, each region where the study file "
                  "puts it; the subjects' and runs' own effects are in their folders"},
                 {"DescLabel", layout.conditionLabels()[c]}});
    }
  }
}

void writeRunFiles(const study::Study& study, const DatasetLayout& layout, const RunFiles& files,
                   const Truth& truth, const float* data, bool keepExisting, unsigned threads,
                   const formats::VolumesWritten& progress, formats::GzipHelpDesk* helpers,
                   std::unique_ptr<std::int16_t[]>* int16Storage) {
  formats::createFolders(files.bold.parent_path());
  formats::createFolders(files.labels.parent_path());
  const int level = formats::kDefaultGzipLevel;
  if (needed(files.bold, keepExisting)) {
    std::optional<formats::Int16Volumes> int16;
    std::unique_ptr<std::int16_t[]> ownCopy;
    std::unique_ptr<std::int16_t[]>& copy = int16Storage ? *int16Storage : ownCopy;
    if (study.datatype == study::StoredType::Int16) {
      const formats::Int16Scale scale = [&] {
        try {
          return int16Scale(valueSpan(data, study.grid.valueCount(), threads),
                            smallestTemporalNoiseSd(study), files.bold.filename().string());
        } catch (const formats::InputError& error) {
          throw formats::InputError(study.file.string() + ": key datatype = \"int16\": " +
                                    error.what());
        }
      }();
      try {
        if (!copy) copy.reset(new std::int16_t[study.grid.valueCount()]);
      } catch (const std::bad_alloc&) {
        throw formats::OutputError(files.bold.string() + ": cannot be written: not enough memory");
      }
      quantiseVolumes(study.grid, data, scale, copy.get(), threads);
      int16 = formats::Int16Volumes{scale, copy.get()};
    }
    formats::writeVtcNifti(files.bold, study.grid, study.frame, data, level,
                           {threads, std::string("tolvane ") + kTolvaneVersion + " simulated run",
                            progress, int16, helpers});
  }
  if (needed(files.boldSidecar, keepExisting)) {
    writeJson(files.boldSidecar, boldSidecar(study, files));
  }
  if (needed(files.events, keepExisting)) {
    // Rest is the implicit baseline, and events past the run's end are not the run's.
    formats::writeEventsTsv(
        files.events,
        study::runEvents(study.runDesign(files.place).protocol, study.runMilliseconds(),
                         study.grid.trMilliseconds, study.rest),
        study.grid.trMilliseconds);
  }
  if (needed(files.labels, keepExisting)) {
    formats::writeLabelMapNifti(files.labels, formats::mapGeometryOf(study.grid, study.frame),
                                truth.labels.data(), level);
  }
  if (needed(files.regionTable, keepExisting)) {
    writeText(files.regionTable, regionTableText(study, truth));
  }
  if (needed(files.predictors, keepExisting)) {
    writeText(files.predictors, predictorTableText(study, layout, files.place));
  }
  if (study.voxelLevels) {
    const formats::MapGeometry geometry = formats::mapGeometryOf(study.grid, study.frame);
    const study::VoxelLevelMaps& levels = *study.voxelLevels;
    if (needed(files.mask, keepExisting)) {
      const std::vector<std::int32_t> mask(levels.mask.begin(), levels.mask.end());
      formats::writeLabelMapNifti(files.mask, geometry, mask.data(), level);
    }
    if (needed(files.expectedTsnr, keepExisting)) {
      formats::writeFloatMapNifti(files.expectedTsnr, geometry, levels.expectedTsnr.data(), {},
                                  level);
    }
  }
  if (!files.trials.empty() && needed(files.trials, keepExisting)) {
    writeText(files.trials, trialTableText(study, files.place, *truth.responses));
  }
  if (!files.peakLatency.empty() && needed(files.peakLatency, keepExisting)) {
    formats::writeFloatMapNifti(files.peakLatency, formats::mapGeometryOf(study.grid, study.frame),
                                truth.peakLatency.data(), {}, level);
  }
  if (!files.peakLatencySidecar.empty() && needed(files.peakLatencySidecar, keepExisting)) {
    writeJson(files.peakLatencySidecar,
              {{"Description",
                "Time from a brief event's onset to the peak of each voxel's haemodynamic "
                "response, as this run's subject has it in the voxel's region; 0 outside "
                "every region, NaN where regions whose responses peak at different times "
                "overlap"},
               {"Units", "s"}});
  }
  if (!study.networks.empty()) writeNetworkTruth(study, files, truth.networks, keepExisting);
  if (!files.patternSimilarity.empty()) writePatternTruth(study, files, keepExisting);
  if (study.motion && needed(files.confounds, keepExisting)) {
    writeText(files.confounds, confoundsTableText(study::runTrajectory(study, files.place)));
  }
  if (study.motion && needed(files.confoundsSidecar, keepExisting)) {
    writeText(files.confoundsSidecar, confoundsSidecarText(study));
  }
  for (std::size_t c = 0; c < files.effectMaps.size(); ++c) {
    if (needed(files.effectMaps[c], keepExisting)) {
      formats::writeFloatMapNifti(files.effectMaps[c],
                                  formats::mapGeometryOf(study.grid, study.frame),
                                  truth.amplitudes[c].data(), {}, level);
    }
    if (needed(files.effectSidecars[c], keepExisting)) {
      writeJson(files.effectSidecars[c],
                {{"Condition", study.protocol.conditions[c].name},
                 {"Description",
                  "Amplitude added to each voxel per unit of the condition's "
                  "HRF-convolved predictor, in data units"},
                 {"DescLabel", layout.conditionLabels()[c]}});
    }
  }
}

}  // namespace tolvane::simulate
