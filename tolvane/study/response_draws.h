// The haemodynamic responses of a study's regions: the hrf keys resolved, checked and
// drawn per subject (docs/haemodynamics.md).
//
// A region's response takes each key from the region's hrf table when given there, else
// from the study's, else the default (the canonical two-gamma's parameters, FIR step:
// the TR). A parameter's value for subject s in region r is
//   (mean + sd z_s) + region_sd z_sr
// in double, z_s shared by every region of the subject and z_sr the region's own. Both
// come from the subject's draw sequence of purpose Response (study_random.h): five
// standard normals z_s in the order of ResponseParameter, then five z_sr for each region
// in the regions' order. They are drawn whether or not a spread is 0, so changing one
// spread leaves every other draw.
#pragma once

#include <cstddef>
#include <vector>

#include "design/response_shapes.h"
#include "tolvane/study/response_model.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

// One response per region, or none when the study file has no hrf key: every region
// then has the canonical response, exactly as before the key existed. Checks the
// models and the means, and every subject's drawn values; throws InputError naming the
// key, and for a draw the subject and region.
std::vector<RegionResponse> resolveResponses(const StudyFile& file, const Study& study);

// Whether the parameter (by ResponseParameter) shapes the model's response.
bool usedByModel(design::ResponseModel model, std::size_t parameter);

// Subject `subject`'s (from 1) response in region `region`.
design::ResponseShape drawnResponse(const Study& study, std::size_t region, int subject);

}  // namespace tolvane::study
