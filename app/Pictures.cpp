#include "app/Pictures.h"

namespace qar {

Pixels PackPixels(const Image& image, PixelLayout layout) {
  Pixels pixels;
  pixels.width = image.width;
  pixels.height = image.height;
  const int align = layout.rowAlignment;
  const std::size_t stride =
      static_cast<std::size_t>((image.width * 3 + align - 1) / align * align);
  pixels.bytes.resize(stride * image.height);
  for (int y = 0; y < image.height; ++y) {
    const unsigned char* source = &image.rgba[static_cast<std::size_t>(y) * image.width * 4];
    const int row = layout.bottomUp ? image.height - 1 - y : y;
    unsigned char* target = &pixels.bytes[static_cast<std::size_t>(row) * stride];
    for (int x = 0; x < image.width; ++x, source += 4, target += 3) {
      target[0] = source[layout.bgr ? 2 : 0];
      target[1] = source[1];
      target[2] = source[layout.bgr ? 0 : 2];
    }
  }
  return pixels;
}

const Pixels& PictureCache::Get(PictureId id) {
  std::optional<Pixels>& slot = pictures_.at(static_cast<std::size_t>(id));
  if (!slot) {
    slot.emplace();  // before decoding: a corrupt picture is reported once
    *slot = PackPixels(DecodePicture(id), layout_);
  }
  return *slot;
}

}  // namespace qar
