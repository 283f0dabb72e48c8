// Merging a fit's noise keys under a study's; see noise_from.h.
#include "tolvane/study/noise_from.h"

#include <array>
#include <fstream>
#include <string>
#include <utility>

#include "formats/text_input.h"
#include "formats/text_parsing.h"

namespace tolvane::study {
namespace {

// Pairs of noise keys of which a study's first removes the fit's second.
const std::array<std::pair<const char*, const char*>, 14> kDisplacedNoiseKeys = {{
    {"sd", "tsnr"},
    {"tsnr", "sd"},
    {"smoothness_mm", "acf"},
    {"acf", "smoothness_mm"},
    {"model", "ar"},
    {"model", "ma"},
    {"rho", "ar"},
    {"rho", "ma"},
    {"model", "spectrum"},
    {"rho", "spectrum"},
    {"ar", "spectrum"},
    {"ma", "spectrum"},
    {"spectrum", "ar"},
    {"spectrum", "ma"},
}};

// A fitted noise.toml is a few lines of text: a folder, a device or a huge file is
// none (refused by the text reader, a device at its first NUL byte).
constexpr formats::TextLimits kFittedFileLimits{1u << 20, 1u << 16};

std::string fittedText(const std::filesystem::path& file) {
  std::ifstream in = formats::openTextFile(file, kFittedFileLimits);
  formats::TextLineReader reader(in, file, kFittedFileLimits);
  std::string text;
  formats::TextLine line;
  while (reader.next(line)) text += line.text + "\n";
  return text;
}

void makeAbsolute(toml::table& table, const char* key, const std::filesystem::path& folder) {
  if (toml::node* value = table.get(key); value != nullptr && value->is_string()) {
    const std::filesystem::path path(*value->value<std::string>());
    if (path.is_relative()) *value->as_string() = (folder / path).lexically_normal().string();
  }
}

}  // namespace

void mergeFittedNoise(toml::table& document, const std::filesystem::path& studyFile) {
  const toml::node* from = document.get("noise_from");
  if (from == nullptr) return;
  const int line = static_cast<int>(from->source().begin.line);
  const auto fail = [&](const std::string& what) {
    formats::failAt(studyFile, line, "key noise_from: " + what);
  };
  if (!from->is_string()) fail("expected the path of a fitted noise.toml");
  std::filesystem::path fittedFile(*from->value<std::string>());
  if (fittedFile.is_relative()) fittedFile = studyFile.parent_path() / fittedFile;
  document.erase("noise_from");

  toml::table fitted;
  try {
    fitted = toml::parse(fittedText(fittedFile), fittedFile.string());
  } catch (const formats::InputError& error) {
    fail(error.what());
  } catch (const toml::parse_error& error) {
    fail(formats::messageAt(fittedFile, static_cast<int>(error.source().begin.line),
                            "expected the noise.toml that tolvane fit-noise writes: " +
                                std::string(error.description())));
  }
  // An empty file, or another TOML file, would leave the study without the fit.
  if (!fitted["noise"].is_table()) {
    fail(fittedFile.string() +
         ": expected the noise.toml that tolvane fit-noise writes, with its [noise] table; "
         "found none");
  }
  if (fitted.contains("noise_from")) {
    fail(fittedFile.string() +
         " has a noise_from of its own; expected the noise.toml that tolvane fit-noise writes");
  }
  const std::filesystem::path folder = fittedFile.parent_path();
  makeAbsolute(fitted, "baseline", folder);
  makeAbsolute(fitted, "mask", folder);
  if (toml::table* grid = fitted["grid"].as_table()) makeAbsolute(*grid, "anatomical", folder);
  if (toml::table* noise = fitted["noise"].as_table()) {
    makeAbsolute(*noise, "sd", folder);  // noise level images
    makeAbsolute(*noise, "tsnr", folder);
  }

  for (auto&& [key, value] : fitted) {
    if (key == "noise") continue;
    if (!document.contains(key.str())) document.insert(key, value);
  }
  if (const toml::table* fittedNoise = fitted["noise"].as_table()) {
    toml::table merged = *fittedNoise;
    if (const toml::table* own = document["noise"].as_table()) {
      for (const auto& [ownKey, ownValue] : *own) {
        for (const auto& [study, fit] : kDisplacedNoiseKeys) {
          if (ownKey == study) merged.erase(fit);
        }
        merged.insert_or_assign(ownKey, ownValue);
      }
    } else if (document.contains("noise")) {
      return;  // not a table: the reader says so
    }
    document.insert_or_assign("noise", std::move(merged));
  }
}

}  // namespace tolvane::study
