// The contents of a study's files, and writing them.
//
// JSON is written by nlohmann-json with keys in a fixed order, and nothing in any file
// depends on the time or the machine, so the same study and seed give the same bytes.
// Every file goes through the atomic writer: a file that exists is complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "formats/nifti/nifti_io.h"
#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/run_synthesis.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

// The study's identity: what a later run into the same folder must match to resume it.
std::string identityText(const study::Study& study);

// Writes each dataset-level file (descriptions, README, participants, the study file
// and its identity) unless it exists and `keepExisting`.
void writeDatasetFiles(const study::Study& study, const DatasetLayout& layout, bool keepExisting);

// Writes the group truth when the study's subjects differ (dataset_layout.h).
void writeGroupTruth(const study::Study& study, const DatasetLayout& layout, bool keepExisting);

// Writes each of a run's files unless it exists and `keepExisting`, compressing the
// bold image on `threads` threads, and on those waiting at `helpers` when given, and
// telling `progress` its volumes as they are written. An int16 run is quantised into
// `*int16Storage` when given (allocated there by the first run, and reused by the
// next ones of the study), else into a copy of its own.
void writeRunFiles(const study::Study& study, const DatasetLayout& layout, const RunFiles& files,
                   const Truth& truth, const float* data, bool keepExisting, unsigned threads,
                   const formats::VolumesWritten& progress = {},
                   formats::GzipHelpDesk* helpers = nullptr,
                   std::unique_ptr<std::int16_t[]>* int16Storage = nullptr);

}  // namespace tolvane::simulate
