#include "resources/Resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/Pictures.h"
#include "platform/Error.h"

namespace qar {
namespace {

constexpr int kPictureWidth = 700;
constexpr int kPictureHeight = 500;
constexpr int kClientWidth = 690;
constexpr int kClientHeight = 495;

struct Rect {
  int x, y, w, h;
};

// Hotspot rectangles in client coordinates, as the window lays them out.
constexpr Rect kInstallSpot{386, 195, 190, 23};
constexpr Rect kManualSpot{385, 241, 137, 21};
constexpr Rect kReaderSpot{386, 284, 306, 21};
constexpr Rect kServiceSpot{386, 327, 218, 21};
constexpr Rect kGatewaySpot{385, 368, 306, 21};
constexpr Rect kMoreInfoSpot{489, 424, 187, 31};
constexpr Rect kHomeSpot{554, 471, 55, 22};
constexpr Rect kCloseSpot{636, 471, 53, 21};

// The picture is drawn at client (-1, -2): client (x, y) shows picture
// pixel (x + 1, y + 2). Only the part inside the client area is ever seen.
Rect SeenInPicture(Rect spot) {
  const int right = std::min(spot.x + spot.w, kClientWidth);
  const int bottom = std::min(spot.y + spot.h, kClientHeight);
  return {spot.x + 1, spot.y + 2, right - spot.x, bottom - spot.y};
}

double Luma(const Image& image, int x, int y) {
  const unsigned char* p = &image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4];
  return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

double LumaVariance(const Image& image, Rect r) {
  double sum = 0, squares = 0;
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x) {
      const double v = Luma(image, x, y);
      sum += v;
      squares += v * v;
    }
  const double n = static_cast<double>(r.w) * r.h;
  return squares / n - (sum / n) * (sum / n);
}

// Rightmost column in r holding dark text.
int RightmostInk(const Image& image, Rect r) {
  int found = -1;
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x)
      if (Luma(image, x, y) < 110) found = std::max(found, x);
  return found;
}

const Image& Decoded(PictureId id) {
  static const std::array<Image, 4> pictures = {
      DecodePicture(PictureId::Install), DecodePicture(PictureId::Uninstall),
      DecodePicture(PictureId::Usb), DecodePicture(PictureId::Selvo)};
  return pictures[static_cast<int>(id)];
}

const PictureId kAllPictures[] = {PictureId::Install, PictureId::Uninstall, PictureId::Usb,
                                  PictureId::Selvo};

// The artwork files the program embeds (the hand cursor through Setup.rc).
std::vector<unsigned char> ResourceFile(const std::string& name) {
  std::ifstream in(std::string(QAR_RESOURCES_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
std::vector<unsigned char> PictureFile(PictureId id) {
  const char* const names[] = {"install.jpg", "uninstall.jpg", "usb.jpg", "selvo.jpg"};
  return ResourceFile(names[static_cast<int>(id)]);
}

// --- Embedded pictures --------------------------------------------------

TEST(Pictures, EachDecodesToAnOpaque700x500Image) {
  for (PictureId id : kAllPictures) {
    SCOPED_TRACE(static_cast<int>(id));
    const std::vector<unsigned char> file = PictureFile(id);
    ASSERT_GT(file.size(), 1000u);
    EXPECT_LE(file.size(), 60u * 1024);  // keeps the program small
    const Image& image = Decoded(id);
    ASSERT_EQ(image.width, kPictureWidth);
    ASSERT_EQ(image.height, kPictureHeight);
    ASSERT_EQ(image.rgba.size(), 700u * 500 * 4);
    for (std::size_t i = 3; i < image.rgba.size(); i += 4) ASSERT_EQ(image.rgba[i], 0xFF);
  }
}

TEST(Pictures, AreFourDifferentPictures) {
  for (PictureId a : kAllPictures) {
    for (PictureId b : kAllPictures) {
      if (a < b) {
        EXPECT_NE(Decoded(a).rgba, Decoded(b).rgba) << int(a) << " vs " << int(b);
      }
    }
  }
}

TEST(Pictures, HeaderBandIsBlueAndContentAreaWhite) {
  // Catches swapped colour channels and bottom-up rows.
  for (PictureId id : kAllPictures) {
    const Image& image = Decoded(id);
    const unsigned char* header = &image.rgba[(10 * 700 + 350) * 4];
    EXPECT_GT(header[2], header[0] + 40) << int(id);
    const unsigned char* content = &image.rgba[(440 * 700 + 420) * 4];
    EXPECT_GT(std::min({content[0], content[1], content[2]}), 230) << int(id);
  }
}

struct ArtworkCase {
  PictureId picture;
  std::vector<Rect> drawn;  // hotspots over a drawn entry
  std::vector<Rect> blank;  // hotspots over plain background
};

TEST(Pictures, DrawnEntriesLieUnderTheirHotspots) {
  const std::vector<Rect> menu = {kInstallSpot, kManualSpot, kReaderSpot, kServiceSpot,
                                  kGatewaySpot, kHomeSpot,   kCloseSpot};
  const ArtworkCase cases[] = {
      {PictureId::Install, menu, {kMoreInfoSpot}},
      {PictureId::Uninstall, menu, {kMoreInfoSpot}},
      {PictureId::Usb, {kHomeSpot, kCloseSpot}, {kMoreInfoSpot}},
      {PictureId::Selvo, {kMoreInfoSpot, kHomeSpot, kCloseSpot}, {}},
  };
  for (const ArtworkCase& c : cases) {
    const Image& image = Decoded(c.picture);
    for (Rect spot : c.drawn) {
      const double v = LumaVariance(image, SeenInPicture(spot));
      EXPECT_GT(v, 600.0) << "picture " << int(c.picture) << " spot " << spot.x << "," << spot.y;
    }
    for (Rect spot : c.blank) {
      const double v = LumaVariance(image, SeenInPicture(spot));
      EXPECT_LT(v, 30.0) << "picture " << int(c.picture) << " spot " << spot.x << "," << spot.y;
    }
  }
}

TEST(Pictures, EntriesKeepClearOfTheHotspotEdges) {
  // Text that spills over a rectangle's edge would be half outside the
  // clickable area; check a band just outside each entry's left, top and
  // bottom edges is plain.
  const Rect entries[] = {kInstallSpot, kManualSpot, kReaderSpot, kServiceSpot, kGatewaySpot};
  for (PictureId id : {PictureId::Install, PictureId::Uninstall}) {
    for (Rect spot : entries) {
      const Rect r = SeenInPicture(spot);
      const Rect outside[] = {
          {r.x - 5, r.y, 4, r.h}, {r.x, r.y - 4, r.w, 3}, {r.x, r.y + r.h + 1, r.w, 3}};
      for (Rect band : outside)
        EXPECT_LT(LumaVariance(Decoded(id), band), 30.0)
            << int(id) << " around " << spot.x << "," << spot.y;
    }
  }
}

TEST(Pictures, MainScreensDifferOnlyInTheFirstEntry) {
  const Image& install = Decoded(PictureId::Install);
  const Image& uninstall = Decoded(PictureId::Uninstall);
  const Rect entry = SeenInPicture(kInstallSpot);
  // JPEG blocks are 16 x 16: a change touches whole blocks around the text.
  const int margin = 16;
  int inside = 0;
  for (int y = 0; y < kPictureHeight; ++y)
    for (int x = 0; x < kPictureWidth; ++x) {
      const std::size_t i = (static_cast<std::size_t>(y) * kPictureWidth + x) * 4;
      int diff = 0;
      for (int c = 0; c < 3; ++c)
        diff = std::max(diff, std::abs(install.rgba[i + c] - uninstall.rgba[i + c]));
      if (diff <= 40) continue;
      const bool near = x >= entry.x - margin && x < entry.x + entry.w + margin &&
                        y >= entry.y - margin && y < entry.y + entry.h + margin;
      ASSERT_TRUE(near) << "differs at " << x << "," << y;
      ++inside;
    }
  EXPECT_GT(inside, 200);
  // "Uninstall" is the longer text: the pictures are not swapped.
  EXPECT_GT(RightmostInk(uninstall, entry), RightmostInk(install, entry) + 10);
}

// --- JPEG decoding ------------------------------------------------------

// 16 x 16, quadrants red, green (0,200,0), blue and white; 4:4:4.
const unsigned char kQuadrantsJpeg[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
    0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0xff, 0xdb, 0x00, 0x43, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0xff, 0xc0,
    0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x10, 0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11,
    0x01, 0xff, 0xc4, 0x00, 0x16, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x0a, 0x0b, 0xff, 0xc4, 0x00, 0x14, 0x10, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff,
    0xc4, 0x00, 0x17, 0x01, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x08, 0x09, 0x0a, 0x0b, 0xff, 0xc4, 0x00, 0x14, 0x11, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xda,
    0x00, 0x0c, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00, 0x17, 0xca, 0x9d, 0x7f,
    0x05, 0x20, 0x23, 0xb1, 0x67, 0x49, 0xfb, 0x60, 0x83, 0xf8, 0x6e, 0x20, 0x80, 0x71, 0x50, 0xff,
    0xd9,
};
// 8 x 16 greyscale: top half grey 64, bottom half grey 192.
const unsigned char kGrayBandsJpeg[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00,
    0x01, 0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0xff,
    0xc0, 0x00, 0x0b, 0x08, 0x00, 0x10, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00, 0xff, 0xc4, 0x00,
    0x15, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x0a, 0x0b, 0xff, 0xc4, 0x00, 0x14, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xda, 0x00,
    0x08, 0x01, 0x01, 0x00, 0x00, 0x3f, 0x00, 0x3f, 0xea, 0x00, 0x3f, 0xff, 0xd9,
};

std::array<int, 4> PixelAt(const Image& image, int x, int y) {
  const unsigned char* p = &image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

void ExpectNear(std::array<int, 4> got, std::array<int, 4> want, const char* where) {
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], want[c], 6) << where << " channel " << c;
}

TEST(PackPixels, EachHostLayout) {
  Image image;
  image.width = 3;
  image.height = 2;
  image.rgba = {1,  2,  3,  255, 4,  5,  6,  255, 7,  8,  9,  255,
                10, 11, 12, 255, 13, 14, 15, 255, 16, 17, 18, 255};
  const struct {
    const char* what;
    PixelLayout layout;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {"X server: RGB top-down, unpadded",
       kRgbTopDown,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
      {"Windows DIB: BGR bottom-up, rows padded to four bytes",
       kBgrBottomUp,
       {12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0, 3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const Pixels pixels = PackPixels(image, c.layout);
    EXPECT_EQ(pixels.width, 3) << c.what;
    EXPECT_EQ(pixels.height, 2) << c.what;
    EXPECT_EQ(pixels.bytes, c.bytes) << c.what;
  }
}

TEST(DecodeJpeg, ColourPixelsComeOutTopDownInRgbaOrder) {
  const Image image = DecodeJpeg(kQuadrantsJpeg, sizeof kQuadrantsJpeg);
  ASSERT_EQ(image.width, 16);
  ASSERT_EQ(image.height, 16);
  ASSERT_EQ(image.rgba.size(), 16u * 16 * 4);
  ExpectNear(PixelAt(image, 3, 3), {255, 0, 0, 255}, "top left");
  ExpectNear(PixelAt(image, 12, 3), {0, 200, 0, 255}, "top right");
  ExpectNear(PixelAt(image, 3, 12), {0, 0, 255, 255}, "bottom left");
  ExpectNear(PixelAt(image, 12, 12), {255, 255, 255, 255}, "bottom right");
}

TEST(DecodeJpeg, GreyscaleIsExpandedToThreeEqualChannels) {
  const Image image = DecodeJpeg(kGrayBandsJpeg, sizeof kGrayBandsJpeg);
  ASSERT_EQ(image.width, 8);
  ASSERT_EQ(image.height, 16);
  ExpectNear(PixelAt(image, 4, 3), {64, 64, 64, 255}, "top");
  ExpectNear(PixelAt(image, 4, 12), {192, 192, 192, 255}, "bottom");
}

// The message the user sees, or "" when decoding succeeded.
std::string JpegFailure(const std::vector<unsigned char>& data) {
  try {
    DecodeJpeg(data.data(), data.size());
  } catch (const Error& e) {
    return e.Message();
  }
  return "";
}

std::vector<unsigned char> PictureBytes(PictureId id) { return PictureFile(id); }

// Offset of the first segment with the given marker, walking the headers.
std::size_t FindSegment(const std::vector<unsigned char>& jpeg, unsigned char marker) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    if (jpeg[at + 1] == marker) return at;
    at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  }
  ADD_FAILURE() << "no segment 0x" << std::hex << int(marker);
  return 0;
}

TEST(DecodeJpeg, EmptyInputIsRejected) {
  EXPECT_THROW(DecodeJpeg(nullptr, 0), Error);
  const unsigned char byte = 0xFF;
  EXPECT_THROW(DecodeJpeg(&byte, 0), Error);
  EXPECT_EQ(JpegFailure({}).rfind("Picture is corrupt: ", 0), 0u);
}

TEST(DecodeJpeg, RandomBytesAreRejected) {
  std::mt19937 random(20240601);
  for (std::size_t length : {1u, 2u, 3u, 64u, 1000u, 50000u}) {
    for (bool withStartMarker : {false, true}) {
      std::vector<unsigned char> data(length);
      for (auto& b : data) b = static_cast<unsigned char>(random());
      if (withStartMarker && length >= 2) data[0] = 0xFF, data[1] = 0xD8;
      if (!withStartMarker && length >= 2 && data[0] == 0xFF && data[1] == 0xD8) data[1] = 0;
      const std::string failure = JpegFailure(data);
      EXPECT_EQ(failure.rfind("Picture is corrupt: ", 0), 0u) << length << " " << withStartMarker;
      EXPECT_GT(failure.size(), std::string("Picture is corrupt: ").size());
    }
  }
}

TEST(DecodeJpeg, DamagedHeadersAreRejected) {
  struct Case {
    const char* name;
    std::function<void(std::vector<unsigned char>&)> damage;
    const char* reason;  // part of libjpeg's message
  };
  const Case cases[] = {
      {"no start marker", [](auto& d) { d[1] = 0xD9; }, "Not a JPEG file"},
      {"marker without its 0xFF", [](auto& d) { d[2] = 0x00; }, ""},
      {"unknown marker code", [](auto& d) { d[3] = 0x01; }, ""},
      {"frame length too short",
       [](auto& d) {
         const auto at = FindSegment(d, 0xC0);
         d[at + 2] = 0, d[at + 3] = 1;
       },
       ""},
      {"zero width",
       [](auto& d) {
         const auto at = FindSegment(d, 0xC0);
         d[at + 7] = 0, d[at + 8] = 0;
       },
       ""},
      {"absurd size",
       [](auto& d) {
         const auto at = FindSegment(d, 0xC0);
         d[at + 5] = 0x7F, d[at + 7] = 0x7F;
       },
       "too large"},
      {"bad component count", [](auto& d) { d[FindSegment(d, 0xC0) + 9] = 0; }, ""},
      {"bad Huffman table", [](auto& d) { d[FindSegment(d, 0xC4) + 5] = 0xFF; }, ""},
      {"bad quantisation table id", [](auto& d) { d[FindSegment(d, 0xDB) + 4] = 0x0F; }, ""},
      {"scan names a missing component", [](auto& d) { d[FindSegment(d, 0xDA) + 5] = 9; }, ""},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> data = PictureBytes(PictureId::Install);
    c.damage(data);
    const std::string failure = JpegFailure(data);
    EXPECT_EQ(failure.rfind("Picture is corrupt: ", 0), 0u) << c.name << ": " << failure;
    EXPECT_NE(failure.find(c.reason), std::string::npos) << c.name << ": " << failure;
  }
}

TEST(DecodeJpeg, EveryTruncationIsRejected) {
  for (PictureId id : kAllPictures) {
    const std::vector<unsigned char> full = PictureBytes(id);
    std::vector<std::size_t> cuts;
    // Densely through the headers, sparsely through the scan, and the end
    // marker's two bytes.
    const std::size_t dense = id == PictureId::Install ? 1200 : 300;
    for (std::size_t n = 1; n < dense; ++n) cuts.push_back(n);
    for (std::size_t n = dense; n < full.size(); n += id == PictureId::Install ? 97 : 997)
      cuts.push_back(n);
    cuts.push_back(full.size() - 2);
    cuts.push_back(full.size() - 1);
    for (std::size_t n : cuts) {
      const std::vector<unsigned char> cut(full.begin(), full.begin() + n);
      const std::string failure = JpegFailure(cut);
      ASSERT_EQ(failure.rfind("Picture is corrupt: ", 0), 0u) << int(id) << " cut at " << n;
    }
  }
}

TEST(DecodeJpeg, TruncationNamesLibjpegsReason) {
  std::vector<unsigned char> data = PictureBytes(PictureId::Selvo);
  data.resize(data.size() / 2);
  EXPECT_EQ(JpegFailure(data), "Picture is corrupt: Premature end of JPEG file");
}

TEST(DecodeJpeg, FlippedBytesNeverCrashOrResizeThePicture) {
  // Damage inside the compressed scan is not always detectable; the decoder
  // must still either fail cleanly or return a picture of the right size.
  const std::vector<unsigned char> full = PictureBytes(PictureId::Usb);
  const std::size_t scan = FindSegment(full, 0xDA);
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> where(scan, full.size() - 3);
  int rejected = 0;
  for (int round = 0; round < 150; ++round) {
    std::vector<unsigned char> data = full;
    for (int k = 0; k < 4; ++k)
      data[where(random)] ^= static_cast<unsigned char>(1 + random() % 255);
    try {
      const Image image = DecodeJpeg(data.data(), data.size());
      ASSERT_EQ(image.width, 700);
      ASSERT_EQ(image.rgba.size(), 700u * 500 * 4);
    } catch (const Error&) {
      ++rejected;
    }
  }
  EXPECT_GT(rejected, 0);
}

TEST(DecodeJpeg, OtherFormatsAreRejected) {
  for (const char* name : {"qar.ico", "hand.cur"}) {
    const std::vector<unsigned char> file = ResourceFile(name);
    ASSERT_FALSE(file.empty()) << name;
    EXPECT_THROW(DecodeJpeg(file.data(), file.size()), Error) << name;
  }
}

// --- Icons and cursors --------------------------------------------------

struct IconSpec {
  std::uint16_t type;  // 1 icon, 2 cursor
  int width, height, bpp;
  std::vector<std::array<unsigned char, 3>> palette;  // R, G, B
  std::vector<int> index;                             // top-down, row-major
  std::vector<bool> transparent;
};

void Put16(std::vector<unsigned char>& b, std::size_t at, unsigned v) {
  b[at] = v & 0xFF, b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// Written independently of the decoder, field by field as Windows lays out
// an .ico: directory (6), one entry (16), BITMAPINFOHEADER (40), palette,
// bottom-up colour rows, bottom-up mask rows.
std::vector<unsigned char> BuildIcon(const IconSpec& s) {
  const std::size_t xorStride = (s.width * s.bpp + 31) / 32 * 4;
  const std::size_t andStride = (s.width + 31) / 32 * 4;
  const std::size_t dibSize = 40 + s.palette.size() * 4 + (xorStride + andStride) * s.height;
  std::vector<unsigned char> b(22 + dibSize, 0);
  Put16(b, 2, s.type);
  Put16(b, 4, 1);
  b[6] = static_cast<unsigned char>(s.width);
  b[7] = static_cast<unsigned char>(s.height);
  Put32(b, 14, static_cast<std::uint32_t>(dibSize));
  Put32(b, 18, 22);
  Put32(b, 22, 40);
  Put32(b, 26, s.width);
  Put32(b, 30, s.height * 2);
  Put16(b, 34, 1);
  Put16(b, 36, s.bpp);
  Put32(b, 54, static_cast<std::uint32_t>(s.palette.size()));
  std::size_t at = 62;
  for (const auto& c : s.palette) b[at] = c[2], b[at + 1] = c[1], b[at + 2] = c[0], at += 4;
  const std::size_t xorAt = at, andAt = at + xorStride * s.height;
  for (int y = 0; y < s.height; ++y) {
    const int row = s.height - 1 - y;
    for (int x = 0; x < s.width; ++x) {
      const int bit = x * s.bpp;
      b[xorAt + row * xorStride + bit / 8] |= s.index[y * s.width + x] << (8 - s.bpp - bit % 8);
      if (s.transparent[y * s.width + x]) b[andAt + row * andStride + x / 8] |= 0x80 >> (x % 8);
    }
  }
  return b;
}

IconSpec Sample(int width, int height, int bpp) {
  IconSpec s{1, width, height, bpp, {}, {}, {}};
  const int colours = 1 << bpp;
  for (int i = 0; i < std::min(colours, 16); ++i)
    s.palette.push_back({static_cast<unsigned char>(i * 16),
                         static_cast<unsigned char>(255 - i * 15),
                         static_cast<unsigned char>(i * 7 + 3)});
  for (int i = 0; i < width * height; ++i) {
    s.index.push_back((i * 5 + i / width) % static_cast<int>(s.palette.size()));
    s.transparent.push_back(i % 7 == 3);
  }
  return s;
}

TEST(DecodeIconFile, PixelsFollowPaletteAndMask) {
  // Widths that are not a whole number of bytes or words exercise the row
  // padding.
  const IconSpec specs[] = {Sample(8, 2, 4), Sample(5, 3, 4), Sample(9, 3, 1), Sample(3, 2, 8),
                            Sample(32, 32, 4)};
  for (const IconSpec& s : specs) {
    SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " at " << s.bpp << " bpp");
    const std::vector<unsigned char> file = BuildIcon(s);
    const Image image = DecodeIconFile(file.data(), file.size());
    ASSERT_EQ(image.width, s.width);
    ASSERT_EQ(image.height, s.height);
    ASSERT_EQ(image.rgba.size(), static_cast<std::size_t>(s.width * s.height * 4));
    for (int y = 0; y < s.height; ++y)
      for (int x = 0; x < s.width; ++x) {
        const auto got = PixelAt(image, x, y);
        const int i = y * s.width + x;
        if (s.transparent[i]) {
          EXPECT_EQ(got[3], 0) << x << "," << y;
        } else {
          const auto& c = s.palette[s.index[i]];
          EXPECT_EQ(got, (std::array<int, 4>{c[0], c[1], c[2], 255})) << x << "," << y;
        }
      }
  }
}

TEST(DecodeIconFile, MalformedFilesAreRejected) {
  struct Case {
    const char* name;
    std::function<void(std::vector<unsigned char>&)> damage;
  };
  const Case cases[] = {
      {"reserved field set", [](auto& b) { b[0] = 1; }},
      {"unknown resource type", [](auto& b) { b[2] = 3; }},
      {"no images", [](auto& b) { b[4] = 0; }},
      {"image starts past the end",
       [](auto& b) { Put32(b, 18, static_cast<std::uint32_t>(b.size()) + 1); }},
      {"image runs past the end",
       [](auto& b) { Put32(b, 14, static_cast<std::uint32_t>(b.size())); }},
      {"image shorter than its header", [](auto& b) { Put32(b, 14, 20); }},
      {"old-style bitmap header", [](auto& b) { Put32(b, 22, 12); }},
      {"directory width differs", [](auto& b) { b[6] = 16; }},
      {"directory height differs", [](auto& b) { b[7] = 4; }},
      {"height not doubled for the mask", [](auto& b) { Put32(b, 30, 2); }},
      {"odd doubled height", [](auto& b) { Put32(b, 30, 5); }},
      {"negative width", [](auto& b) { Put32(b, 26, 0xFFFFFFF8u); }},
      {"bottom-up flag inverted", [](auto& b) { Put32(b, 30, 0xFFFFFFFCu); }},
      {"two planes", [](auto& b) { Put16(b, 34, 2); }},
      {"24 bits per pixel", [](auto& b) { Put16(b, 36, 24); }},
      {"compressed", [](auto& b) { Put32(b, 38, 1); }},
      {"more colours than 4 bits hold", [](auto& b) { Put32(b, 54, 17); }},
      {"index past a short palette", [](auto& b) { Put32(b, 54, 3); }},
  };
  const std::vector<unsigned char> good = BuildIcon(Sample(8, 2, 4));
  ASSERT_NO_THROW(DecodeIconFile(good.data(), good.size()));
  for (const Case& c : cases) {
    std::vector<unsigned char> file = good;
    c.damage(file);
    EXPECT_THROW(DecodeIconFile(file.data(), file.size()), Error) << c.name;
  }
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_THROW(DecodeIconFile(good.data(), n), Error) << "cut at " << n;
  EXPECT_THROW(DecodeIconFile(nullptr, 0), Error);
  const std::vector<unsigned char> jpeg = PictureFile(PictureId::Install);
  EXPECT_THROW(DecodeIconFile(jpeg.data(), jpeg.size()), Error);
}

TEST(WindowIcon, Is32x32WithSixteenColours) {
  const std::vector<unsigned char> file = ResourceFile("qar.ico");
  ASSERT_GE(file.size(), 22u + 40);
  const unsigned char* b = file.data();
  EXPECT_EQ(b[2], 1);   // icon
  EXPECT_EQ(b[6], 32);  // directory width
  EXPECT_EQ(b[7], 32);  // directory height
  EXPECT_EQ(b[8], 16);  // colour count
  const std::size_t dib = b[18] | b[19] << 8;
  EXPECT_EQ(b[dib + 14], 4);  // bits per pixel
  EXPECT_EQ(file.size(), 22u + 40 + 16 * 4 + 32 * 16 + 32 * 4);

  const Image icon = DecodeIcon();
  ASSERT_EQ(icon.width, 32);
  ASSERT_EQ(icon.height, 32);
  std::set<std::array<int, 4>> colours;
  int transparent = 0;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const auto p = PixelAt(icon, x, y);
      p[3] ? void(colours.insert(p)) : void(++transparent);
    }
  EXPECT_GE(colours.size(), 4u);
  EXPECT_LE(colours.size(), 16u);
  EXPECT_EQ(PixelAt(icon, 0, 0)[3], 0);  // rounded corners show through
  EXPECT_EQ(PixelAt(icon, 16, 16)[3], 255);
  EXPECT_LT(transparent, 32 * 32 / 4);
}

TEST(HandCursor, IsMonochromeWithItsHotspotOnTheFingertip) {
  const std::vector<unsigned char> file = ResourceFile("hand.cur");
  ASSERT_GE(file.size(), 22u);
  EXPECT_EQ(file[2], 2);  // cursor
  const int hotX = file[10] | file[11] << 8;
  const int hotY = file[12] | file[13] << 8;
  const Image cursor = DecodeIconFile(file.data(), file.size());
  ASSERT_EQ(cursor.width, 32);
  ASSERT_EQ(cursor.height, 32);
  ASSERT_LT(hotX, 32);
  ASSERT_LT(hotY, 32);
  EXPECT_EQ(PixelAt(cursor, hotX, hotY)[3], 255);
  int topmost = 32;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const auto p = PixelAt(cursor, x, y);
      if (!p[3]) continue;
      topmost = std::min(topmost, y);
      EXPECT_TRUE(
          (p == std::array<int, 4>{0, 0, 0, 255} || p == std::array<int, 4>{255, 255, 255, 255}))
          << x << "," << y;
    }
  EXPECT_EQ(topmost, hotY);
}

}  // namespace
}  // namespace qar
