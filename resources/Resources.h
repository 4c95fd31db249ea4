// The artwork stored with the program: the four background pictures, the
// window icon and the hand cursor, as the original files and as decoded
// RGBA images for hosts that draw them themselves.
#pragma once

#include <cstddef>
#include <vector>

namespace qar {

enum class PictureId { Install, Uninstall, Usb, Selvo };

// Bytes of an embedded file; valid for the program's lifetime.
struct Blob {
  const unsigned char* data;
  std::size_t size;
};

// The JPEG picture of a screen (700 x 500, baseline).
Blob PictureJpeg(PictureId id);
// The window icon as an .ico file: one 32 x 32, 16-colour image.
Blob IconFile();
// A 32 x 32 monochrome hand-point .cur file, for Windows versions without a
// system hand cursor.
Blob HandCursorFile();

// Rows top-down, 4 bytes per pixel: R, G, B, A.
struct Image {
  int width = 0, height = 0;
  std::vector<unsigned char> rgba;
};

// Decodes a JPEG into an opaque image. Throws qar::Error ("Picture is corrupt:
// ...") for anything libjpeg rejects or warns about, truncation included.
Image DecodeJpeg(const unsigned char* data, std::size_t size);
// The embedded picture of a screen, decoded.
Image DecodePicture(PictureId id);

// Decodes the first image of an .ico or .cur file (uncompressed DIB of 1, 4
// or 8 bits per pixel with an AND mask); masked-out pixels get alpha 0.
// Throws qar::Error on a malformed file.
Image DecodeIconFile(const unsigned char* data, std::size_t size);
// The embedded window icon, decoded.
Image DecodeIcon();

}  // namespace qar
