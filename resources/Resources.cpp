#include "resources/Resources.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h uses FILE without including it
#include <string>
#include <utility>

extern "C" {
#include <jpeglib.h>
#include <jerror.h>
}

#include "platform/Error.h"

namespace qar {

namespace embedded {
extern const unsigned char kInstallJpg[];
extern const std::size_t kInstallJpg_size;
extern const unsigned char kUninstallJpg[];
extern const std::size_t kUninstallJpg_size;
extern const unsigned char kUsbJpg[];
extern const std::size_t kUsbJpg_size;
extern const unsigned char kSelvoJpg[];
extern const std::size_t kSelvoJpg_size;
extern const unsigned char kQarIco[];
extern const std::size_t kQarIco_size;
}  // namespace embedded

namespace {

// Bytes of an embedded file; valid for the program's lifetime.
struct Blob {
  const unsigned char* data;
  std::size_t size;
};

Blob PictureJpeg(PictureId id) {
  using namespace embedded;
  switch (id) {
    case PictureId::Install:
      return {kInstallJpg, kInstallJpg_size};
    case PictureId::Uninstall:
      return {kUninstallJpg, kUninstallJpg_size};
    case PictureId::Usb:
      return {kUsbJpg, kUsbJpg_size};
    case PictureId::Selvo:
      return {kSelvoJpg, kSelvoJpg_size};
  }
  throw Error("Unknown picture");
}

Blob IconFile() { return {embedded::kQarIco, embedded::kQarIco_size}; }

}  // namespace

// ---------------------------------------------------------------------------
// JPEG

namespace {

// A corrupt header must not make us allocate gigabytes.
constexpr JDIMENSION kMaxJpegSide = 8192;

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

// Everything libjpeg touches, kept outside the frame that calls setjmp so
// that a longjmp out of libjpeg skips no destructor.
struct JpegDecoder {
  jpeg_decompress_struct cinfo;
  JpegErrorManager err;
  jpeg_source_mgr source;
};

const JOCTET kFakeEoi[2] = {0xFF, JPEG_EOI};

}  // namespace

// Callbacks run inside libjpeg's C frames: they may longjmp but never throw.
extern "C" {

static void QarJpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// libjpeg reports damaged entropy data and premature end of data only as
// warnings and then invents the missing pixels; a picture is all or nothing.
static void QarJpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) QarJpegErrorExit(cinfo);
}

static void QarJpegInitSource(j_decompress_ptr) {}

// The whole file was handed over at once, so a request for more means the
// data is truncated.
static boolean QarJpegFillInput(j_decompress_ptr cinfo) {
  WARNMS(cinfo, JWRN_JPEG_EOF);
  cinfo->src->next_input_byte = kFakeEoi;
  cinfo->src->bytes_in_buffer = sizeof kFakeEoi;
  return TRUE;
}

static void QarJpegSkipInput(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) return;
  while (static_cast<unsigned long>(count) > src->bytes_in_buffer) {
    count -= static_cast<long>(src->bytes_in_buffer);
    QarJpegFillInput(cinfo);
  }
  src->next_input_byte += count;
  src->bytes_in_buffer -= static_cast<std::size_t>(count);
}

static void QarJpegTermSource(j_decompress_ptr) {}

}  // extern "C"

namespace {

// libjpeg's message, cut to fit the record.
void SetJpegMessage(JpegDecoder& d, const char* text) {
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < sizeof d.err.message; ++i) d.err.message[i] = text[i];
  d.err.message[i] = '\0';
}

// False with d.err.message set when libjpeg gave up. This frame holds no
// object with a destructor: libjpeg's errors leave it by longjmp.
bool RunJpegDecoder(JpegDecoder& d, Image& out) {
  if (setjmp(d.err.jump)) return false;
  jpeg_create_decompress(&d.cinfo);
  d.cinfo.src = &d.source;
  jpeg_read_header(&d.cinfo, TRUE);
  if (d.cinfo.image_width > kMaxJpegSide || d.cinfo.image_height > kMaxJpegSide) {
    SetJpegMessage(d, "Image is too large");
    return false;
  }
  d.cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d.cinfo);
  if (d.cinfo.output_components != 3) {
    SetJpegMessage(d, "Unsupported colour layout");
    return false;
  }
  const JDIMENSION width = d.cinfo.output_width;
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(d.cinfo.output_height);
  out.rgba.assign(static_cast<std::size_t>(width) * d.cinfo.output_height * 4, 0xFF);
  JSAMPARRAY row = (*d.cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d.cinfo),
                                                JPOOL_IMAGE, width * 3, 1);
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    unsigned char* dst =
        out.rgba.data() + static_cast<std::size_t>(d.cinfo.output_scanline) * width * 4;
    if (jpeg_read_scanlines(&d.cinfo, row, 1) != 1) {
      SetJpegMessage(d, "No scanline data");
      return false;
    }
    const JSAMPLE* src = row[0];
    for (JDIMENSION x = 0; x < width; ++x, src += 3, dst += 4) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    }
  }
  // Also reads up to the end marker, so data cut after the last scan fails.
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

}  // namespace

Image DecodeJpeg(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size == 0) throw Error("Picture is corrupt: no data");

  JpegDecoder d{};  // zeroed, so destroying it is safe even before creation
  d.cinfo.err = jpeg_std_error(&d.err.pub);
  d.err.pub.error_exit = QarJpegErrorExit;
  d.err.pub.emit_message = QarJpegEmitMessage;
  d.source.next_input_byte = data;
  d.source.bytes_in_buffer = size;
  d.source.init_source = QarJpegInitSource;
  d.source.fill_input_buffer = QarJpegFillInput;
  d.source.skip_input_data = QarJpegSkipInput;
  d.source.resync_to_restart = jpeg_resync_to_restart;
  d.source.term_source = QarJpegTermSource;

  Image image;
  bool ok = false;
  try {
    ok = RunJpegDecoder(d, image);
  } catch (...) {  // allocation failure of the pixel buffer
    jpeg_destroy_decompress(&d.cinfo);
    throw;
  }
  jpeg_destroy_decompress(&d.cinfo);
  if (!ok) throw Error(std::string("Picture is corrupt: ") + d.err.message);
  return image;
}

Image DecodePicture(PictureId id) {
  const Blob blob = PictureJpeg(id);
  return DecodeJpeg(blob.data, blob.size);
}

// ---------------------------------------------------------------------------
// Icons and cursors

namespace {

constexpr std::size_t kDirectorySize = 6;
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kInfoHeaderSize = 40;

std::uint32_t U16(const unsigned char* p) { return p[0] | (p[1] << 8); }

std::uint32_t U32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

[[noreturn]] void IconCorrupt(const std::string& reason) {
  throw Error("Icon is corrupt: " + reason);
}

}  // namespace

Image DecodeIconFile(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size < kDirectorySize + kEntrySize) IconCorrupt("too short");
  const std::uint32_t type = U16(data + 2);
  if (U16(data) != 0 || (type != 1 && type != 2)) IconCorrupt("not an icon or cursor file");
  if (U16(data + 4) == 0) IconCorrupt("no images");

  const unsigned char* entry = data + kDirectorySize;
  // A zero in the directory's one-byte width or height stands for 256.
  const std::uint32_t entryWidth = entry[0] ? entry[0] : 256;
  const std::uint32_t entryHeight = entry[1] ? entry[1] : 256;
  const std::uint32_t length = U32(entry + 8);
  const std::uint32_t offset = U32(entry + 12);
  if (offset > size || length > size - offset) IconCorrupt("image lies outside the file");
  if (length < kInfoHeaderSize) IconCorrupt("image too short");

  const unsigned char* dib = data + offset;
  const std::uint32_t headerSize = U32(dib);
  const auto width = static_cast<std::int32_t>(U32(dib + 4));
  const auto doubleHeight = static_cast<std::int32_t>(U32(dib + 8));
  const std::uint32_t planes = U16(dib + 12);
  const std::uint32_t bpp = U16(dib + 14);
  const std::uint32_t compression = U32(dib + 16);
  std::uint32_t colours = U32(dib + 32);
  if (headerSize < kInfoHeaderSize || headerSize > length) IconCorrupt("bad bitmap header");
  // The DIB's height covers the colour bitmap and the mask stacked.
  if (width <= 0 || width > 256 || doubleHeight <= 0 || doubleHeight % 2 != 0 ||
      doubleHeight / 2 > 256)
    IconCorrupt("bad image size");
  const auto height = static_cast<std::uint32_t>(doubleHeight / 2);
  if (static_cast<std::uint32_t>(width) != entryWidth || height != entryHeight)
    IconCorrupt("directory and bitmap disagree on the size");
  if (planes != 1 || compression != 0 || (bpp != 1 && bpp != 4 && bpp != 8))
    IconCorrupt("unsupported bitmap format");
  if (colours == 0) colours = 1u << bpp;
  if (colours > (1u << bpp)) IconCorrupt("palette too large");

  const std::size_t xorStride = (static_cast<std::size_t>(width) * bpp + 31) / 32 * 4;
  const std::size_t andStride = (static_cast<std::size_t>(width) + 31) / 32 * 4;
  const unsigned char* palette = dib + headerSize;
  const std::size_t needed = headerSize + colours * 4 + (xorStride + andStride) * height;
  if (needed > length) IconCorrupt("bitmap data truncated");
  const unsigned char* xorBits = palette + colours * 4;
  const unsigned char* andBits = xorBits + xorStride * height;

  Image image;
  image.width = width;
  image.height = static_cast<int>(height);
  image.rgba.assign(static_cast<std::size_t>(width) * height * 4, 0);
  const std::uint32_t perByte = 8 / bpp;
  const std::uint32_t valueMask = (1u << bpp) - 1;
  for (std::uint32_t row = 0; row < height; ++row) {
    // Bottom-up rows in the file, top-down in the image.
    const unsigned char* xorRow = xorBits + xorStride * row;
    const unsigned char* andRow = andBits + andStride * row;
    unsigned char* dst = image.rgba.data() + static_cast<std::size_t>(height - 1 - row) * width * 4;
    for (std::uint32_t x = 0; x < static_cast<std::uint32_t>(width); ++x, dst += 4) {
      if (andRow[x / 8] & (0x80 >> (x % 8))) continue;  // transparent
      const std::uint32_t shift = (perByte - 1 - x % perByte) * bpp;
      const std::uint32_t index = (xorRow[x / perByte] >> shift) & valueMask;
      if (index >= colours) IconCorrupt("colour index outside the palette");
      const unsigned char* bgr = palette + index * 4;
      dst[0] = bgr[2];
      dst[1] = bgr[1];
      dst[2] = bgr[0];
      dst[3] = 0xFF;
    }
  }
  return image;
}

Image DecodeIcon() {
  const Blob blob = IconFile();
  return DecodeIconFile(blob.data, blob.size);
}

}  // namespace qar
