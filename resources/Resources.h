// The artwork stored with the program: the four background pictures and the
// window icon, decoded into RGBA images for hosts that draw them themselves.
// (Setup.exe takes its icon and hand cursor from its resource script.)
#pragma once

#include <cstddef>
#include <vector>

namespace qar {

enum class PictureId { Install, Uninstall, Usb, Selvo };

// Rows top-down, 4 bytes per pixel: R, G, B, A.
struct Image {
  int width = 0, height = 0;
  std::vector<unsigned char> rgba;
};

// Decodes a JPEG into an opaque image. Throws qar::Error ("Picture is corrupt:
// ...") for anything libjpeg rejects or warns about, truncation included.
Image DecodeJpeg(const unsigned char* data, std::size_t size);
// The embedded picture of a screen (700 x 500, baseline JPEG), decoded.
Image DecodePicture(PictureId id);

// Decodes the first image of an .ico or .cur file (uncompressed DIB of 1, 4
// or 8 bits per pixel with an AND mask); masked-out pixels get alpha 0.
// Throws qar::Error on a malformed file.
Image DecodeIconFile(const unsigned char* data, std::size_t size);
// The embedded window icon (one 32 x 32, 16-colour image), decoded.
Image DecodeIcon();

}  // namespace qar
