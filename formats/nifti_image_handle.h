// An owning handle for libnifti2's images, freed with the library's own function.
#pragma once

#include <nifti2_io.h>

#include <memory>

namespace tolvane::formats {

struct NiftiImageDeleter {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

}  // namespace tolvane::formats
