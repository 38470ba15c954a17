// KZSaveImage: one image as a one-frame raw recording, byte for byte, and its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "expect_call.h"
#include "recording_fixture.h"
#include "time/julian.h"

namespace kz::rectest {
namespace {

constexpr int32_t kDisplaySize = sizeof(KZDISPLAY);

using SaveImageTest = RecordTest;

TEST_F(SaveImageTest, WritesOneRawRecordWithTheDisplayChunk) {
  constexpr size_t kData = 640 * 480 * 2;
  HGLOBAL image = GlobalAlloc(GMEM_MOVEABLE, kData + 10);
  ASSERT_NE(image, nullptr);
  auto* p = static_cast<uint8_t*>(GlobalLock(image));
  for (size_t i = 0; i < kData + 10; ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
  GlobalUnlock(image);
  KZDISPLAY d{};
  d.size = sizeof d;
  d.width = 640;
  d.height = 480;
  d.format = Fourcc('U', 'Y', 'V', 'Y');
  d.bitCount = 16;
  d.left = 12;
  const std::string file = Path("image.kzv");
  const double before = CurrentJulian();
  ASSERT_EQ(KZSaveImage(image, &d, file.c_str()), 1) << KZGetLastError();
  const std::vector<uint8_t> bytes = ReadAll(file);
  ASSERT_EQ(bytes.size(), 208u + kData + 8u);
  const uint8_t head[] = {'K',  'Z', 'V',  'r', 168, 0, 0, 0, 0, 0x60, 9, 0,  // 614400
                          0x80, 2,   0xE0, 1,   4,   0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(head), std::end(head), bytes.begin()));
  const double julian = GetF64(&bytes[28]);
  EXPECT_GE(julian, before);
  EXPECT_LE(julian, CurrentJulian());
  EXPECT_EQ(GetU32(&bytes[36]), 0u);
  const uint8_t chunk[] = {'D', 'I', 'S', 'P', 160, 0, 0, 0, 160, 0, 0, 0};
  EXPECT_TRUE(std::equal(std::begin(chunk), std::end(chunk), bytes.begin() + 40));
  EXPECT_EQ(GetU32(&bytes[48 + 36]), 12u);  // the caller's block as given: left
  for (size_t i = 0; i < kData; i += 4097)
    EXPECT_EQ(bytes[208 + i], static_cast<uint8_t>(i * 7 + 1));
  const uint8_t trailer[] = {0xD8, 0x60, 0x09, 0, 'E', 'N', 'D', 0};  // 48 + 168 + 614400
  EXPECT_TRUE(std::equal(std::begin(trailer), std::end(trailer), bytes.end() - 8));

  struct Case {
    const char* what;
    HGLOBAL image;
    bool nullDisplay;
    int32_t size;
    uint32_t format;
    int32_t width;
    const char* name;
    uint32_t error;
  };
  HGLOBAL freed = GlobalAlloc(GMEM_MOVEABLE, 16);
  GlobalFree(freed);
  const std::string missing = Path("none/x.kzv");
  const Case cases[] = {
      {"null display", image, true, kDisplaySize, 4, 640, file.c_str(), KZ_ERR_NULL},
      {"null name", image, false, kDisplaySize, 4, 640, nullptr, KZ_ERR_NULL},
      {"size", image, false, kDisplaySize - 1, 4, 640, file.c_str(), KZ_ERR_RECORD_SIZE},
      {"null image", nullptr, false, kDisplaySize, 4, 640, file.c_str(), KZ_ERR_IMAGE_NULL},
      {"freed image", freed, false, kDisplaySize, 4, 640, file.c_str(), KZ_ERR_IMAGE_HANDLE},
      {"format", image, false, kDisplaySize, 99, 640, file.c_str(), KZ_ERR_PIXEL_FORMAT},
      {"too small", image, false, kDisplaySize, 4, 644, file.c_str(), KZ_ERR_IMAGE_SIZE},
      {"no folder", image, false, kDisplaySize, 4, 640, missing.c_str(), KZ_ERR_CREATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KZDISPLAY b = d;
    b.size = static_cast<uint32_t>(c.size);
    b.format = c.format;
    b.width = c.width;
    EXPECT_CALL_ERR(KZSaveImage(c.image, c.nullDisplay ? nullptr : &b, c.name), 0, c.error);
  }
  // A full disk: error 42, the partial file stays.
  kzwinFailWritesAfter(1000);
  EXPECT_CALL_ERR(KZSaveImage(image, &d, file.c_str()), 0, KZ_ERR_WRITE);
  kzwinFailWritesAfter(-1);
  EXPECT_EQ(std::filesystem::file_size(file), 1000u);
  GlobalFree(image);
}

}  // namespace
}  // namespace kz::rectest
