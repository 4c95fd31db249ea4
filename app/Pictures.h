// The four screen pictures, each decoded once and packed the way a host's
// drawing call takes 24-bit pixels.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "resources/Resources.h"

namespace qar {

struct PixelLayout {
  bool bgr;          // B, G, R instead of R, G, B
  bool bottomUp;     // last row first
  int rowAlignment;  // each row padded to a multiple of this many bytes
};

// X servers take plain top-down RGB; RGBA would be blended on every paint.
constexpr PixelLayout kRgbTopDown = {false, false, 1};
// The 24-bit bottom-up DIB every Windows version draws with SetDIBitsToDevice.
constexpr PixelLayout kBgrBottomUp = {true, true, 4};

struct Pixels {
  int width = 0, height = 0;
  std::vector<unsigned char> bytes;
};

// Drops the alpha channel of an opaque image.
Pixels PackPixels(const Image& image, PixelLayout layout);

class PictureCache {
 public:
  explicit PictureCache(PixelLayout layout) : layout_(layout) {}
  // Decodes on first use. A corrupt picture raises once and is empty after.
  const Pixels& Get(PictureId id);

 private:
  PixelLayout layout_;
  std::array<std::optional<Pixels>, 4> pictures_;
};

}  // namespace qar
