// PNG encoding and data: URIs; see png_image.h.
#include "tolvane/report/png_image.h"

#include <spng.h>

#include <memory>
#include <stdexcept>

namespace tolvane::report {
namespace {

struct ContextDeleter {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

void check(int status, const char* what) {
  if (status != 0) {
    throw std::runtime_error(std::string("PNG encoding, ") + what + ": " + spng_strerror(status));
  }
}

}  // namespace

RgbImage::RgbImage(int w, int h, Rgb fill)
    : width(w), height(h), pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3) {
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    pixels[i] = fill.r;
    pixels[i + 1] = fill.g;
    pixels[i + 2] = fill.b;
  }
}

Rgb RgbImage::at(int x, int y) const {
  const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)) *
                        3;
  return {pixels[i], pixels[i + 1], pixels[i + 2]};
}

void RgbImage::set(int x, int y, Rgb colour) {
  const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                         static_cast<std::size_t>(x)) *
                        3;
  pixels[i] = colour.r;
  pixels[i + 1] = colour.g;
  pixels[i + 2] = colour.b;
}

std::string encodePng(const RgbImage& image) {
  std::unique_ptr<spng_ctx, ContextDeleter> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) throw std::runtime_error("PNG encoding: out of memory");
  check(spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1), "output to memory");
  spng_ihdr header{};
  header.width = static_cast<std::uint32_t>(image.width);
  header.height = static_cast<std::uint32_t>(image.height);
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  check(spng_set_ihdr(context.get(), &header), "header");
  check(spng_encode_image(context.get(), image.pixels.data(), image.pixels.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE),
        "image");
  int status = 0;
  std::size_t size = 0;
  void* buffer = spng_get_png_buffer(context.get(), &size, &status);
  check(status, "output");
  std::string bytes(static_cast<const char*>(buffer), size);
  std::free(buffer);
  return bytes;
}

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t available = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const auto byte = k < available ? static_cast<unsigned char>(bytes[i + k]) : 0u;
      group = (group << 8) | byte;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= available ? kAlphabet[(group >> (18 - 6 * k)) & 63u] : '=';
    }
  }
  return text;
}

std::string pngDataUri(const RgbImage& image) {
  return "data:image/png;base64," + base64(encodePng(image));
}

}  // namespace tolvane::report
