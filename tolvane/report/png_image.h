// Pictures for the report: 8-bit RGB raster images, encoded as PNG by libspng and
// embedded in the page as data: URIs, so that the page needs no other file.
//
// Pixels are stored row by row from the top, three bytes (red, green, blue) each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::report {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

struct RgbImage {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 3

  RgbImage() = default;
  RgbImage(int w, int h, Rgb fill = {});
  Rgb at(int x, int y) const;
  void set(int x, int y, Rgb colour);
};

// The image as PNG bytes (8-bit RGB, no interlace). Throws std::runtime_error with
// libspng's message when encoding fails.
std::string encodePng(const RgbImage& image);

// Standard base64 (RFC 4648, with '=' padding).
std::string base64(const std::string& bytes);

// "data:image/png;base64,..." for an <img> element's src.
std::string pngDataUri(const RgbImage& image);

}  // namespace tolvane::report
