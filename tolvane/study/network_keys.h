// The [[network]] sections of a study file as written: regions that share a slow
// fluctuation with a known correlation (networks.h resolves and checks them).
//
//   [[network]]
//   name = "visual"                          optional; network1, network2, ... by place
//   regions = ["V1l", "V1r", "MTl", "MTr"]   regions of the study, by name: the nodes
//   correlation = 0.5                        every pair; or a full matrix
//                                            [[1, 0.5, ...], ...]; or with modules,
//                                            { within = 0.6, between = 0.1 }
//   modules = [["V1l", "V1r"], ["MTl", "MTr"]]  with within/between only
//   band_hz = [0.01, 0.1]                    the fluctuation's band
//   amplitude = "1%"                         each node's sd: data units or % of baseline
//   profile = "uniform"                      or { fwhm_mm = 10 }: a Gaussian falloff
//
// Any correlation number may be { mean = R, sd = S }: drawn per subject (S on Fisher's
// scale); a matrix takes one sd for all its entries, { mean = [[...]], sd = S }.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tolvane/study/key_place.h"

namespace tolvane::study {

// A correlation as written, with its per-subject sd (0: the same in every subject).
struct DrawnCorrelation {
  double mean = 0.0;
  double sd = 0.0;
};

struct NetworkEntry {
  KeyPlace place;  // the network's table
  std::optional<std::string> name;
  std::vector<std::string> regions;
  KeyPlace regionsPlace;
  // One of: every pair, a full matrix (rows of the regions' order), or within and
  // between modules.
  std::optional<DrawnCorrelation> everyPair;
  std::vector<std::vector<double>> matrix;
  double matrixSd = 0.0;
  std::optional<DrawnCorrelation> within, between;
  std::vector<std::vector<std::string>> modules;
  KeyPlace correlationPlace;
  double bandLowHz = 0.01, bandHighHz = 0.1;
  KeyPlace bandPlace;
  double amplitude = 0.0;
  bool amplitudePercent = false;
  KeyPlace amplitudePlace;
  std::optional<double> fwhmMm;  // absent: a uniform profile
};

}  // namespace tolvane::study
