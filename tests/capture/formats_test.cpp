// KZEnumFormats, KZGetFormat and the formats store.
#include <array>

#include "capture_fixture.h"
#include "image/pixfmt.h"
#include "expect_call.h"

namespace kz::test {
namespace {

using Formats = CaptureTest;

constexpr DWORD kYuy2 = MAKEFOURCC('Y', 'U', 'Y', '2');
constexpr DWORD kUyvy = MAKEFOURCC('U', 'Y', 'V', 'Y');

// What the default camera accepts of the candidate sizes (it takes 160x120 to 1920x1080),
// every pixel format at each, in probing order, after its current 320x240 YUY2.
std::vector<std::array<int32_t, 3>> DefaultCameraList() {
  const std::pair<int, int> sizes[] = {{640, 480},  {1280, 960}, {320, 240}, {160, 120},
                                       {1024, 768}, {800, 600},  {352, 288}, {176, 144}};
  std::vector<std::array<int32_t, 3>> list{{320, 240, 6}};
  for (auto [w, h] : sizes) {
    for (const PixelFormat& row : kPixelFormats) {
      if (w == 320 && h == 240 && row.code == 6) continue;
      list.push_back({w, h, row.code});
    }
  }
  return list;
}

std::vector<std::array<int32_t, 3>> Listed(uint32_t session, uint32_t source, uint32_t mode) {
  std::vector<KZFORMAT> list(200);
  int32_t n = KZEnumFormats(session, source, list.data(), 200, mode);
  std::vector<std::array<int32_t, 3>> out;
  for (int32_t i = 0; i < n; ++i) {
    out.push_back({list[i].width, list[i].height, list[i].format});
    EXPECT_EQ(list[i].bitCount, static_cast<int32_t>(FormatByCode(list[i].format)->bits));
  }
  return out;
}

TEST_F(Formats, ProbeOnceThenAnswerFromTheStore) {
  KZFORMAT one;
  EXPECT_CALL_ERR(KZEnumFormats(session_, 1, &one, 1, 3), 0, KZ_ERR_NOT_STORED);

  const auto expected = DefaultCameraList();
  ASSERT_EQ(expected.size(), 112u);
  EXPECT_CALL_ERR(Listed(session_, 1, 0), expected, 0u);
  // Stored exactly: 12 little-endian bytes per format, in list order.
  DWORD type = 0;
  std::vector<uint8_t> raw = StoredBytes(1, &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  ASSERT_EQ(raw.size(), 112u * 12);
  const std::vector<uint8_t> head(raw.begin(), raw.begin() + 24);
  EXPECT_EQ(head, Entries({{320, 240, 6}, {640, 480, 4}}));
  // The probe left the driver where it was.
  KZFORMAT current{};
  ASSERT_EQ(KZGetFormat(session_, 1, &current), 1);
  EXPECT_EQ(Of(current), (Four{320, 240, 6, 16}));

  // Modes 0 and 3 now answer without the driver, which cannot even connect any more.
  SetCamera(0, [](KZWIN_CAMERA& c) { c.failConnect = TRUE; });
  EXPECT_EQ(Listed(session_, 1, 0), expected);
  EXPECT_EQ(Listed(session_, 1, 3), expected);
  EXPECT_CALL_ERR(KZEnumFormats(session_, 1, nullptr, 0, 1), 0, KZ_ERR_SOURCE);  // mode 1 probes
}

TEST_F(Formats, CapacitiesOfTheList) {
  StoreBytes(2,
             Entries({{640, 480, 6}, {320, 240, 5}, {160, 120, 7}, {176, 144, 1}, {352, 288, 14}}));
  struct Case {
    bool withList;
    int32_t capacity;
    int32_t result;
    int32_t written;
    uint32_t error;
  } cases[] = {
      {false, 0, 5, 0, 0},
      {false, 3, 5, 0, 0},
      {true, 0, 0, 0, KZ_ERR_FORMAT_LIST_SHORT},
      {true, 2, 2, 2, KZ_ERR_FORMAT_LIST_SHORT},
      {true, 5, 5, 5, 0},
      {true, 8, 5, 5, 0},
      {true, -3, 0, 0, KZ_ERR_FORMAT_LIST_SHORT},  // a negative capacity is no room
  };
  for (const Case& c : cases) {
    KZFORMAT list[8];
    std::memset(list, 0x5A, sizeof list);
    EXPECT_EQ(KZEnumFormats(session_, 2, c.withList ? list : nullptr, c.capacity, 3), c.result)
        << c.capacity;
    EXPECT_EQ(KZGetLastError(), c.error) << c.capacity;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(list[i].width == 0x5A5A5A5A, i >= c.written) << c.capacity << " " << i;
    }
  }
}

TEST_F(Formats, ProbingFollowsWhatTheDriverAccepts) {
  // Only 320x240 YUY2, which is also current: one format, stored as 12 bytes.
  SetCamera(1, [](KZWIN_CAMERA& c) {
    c.onlyCount = 1, c.only[0] = {kYuy2, 16}, c.onlyWidth = 320, c.onlyHeight = 240;
  });
  EXPECT_EQ(Listed(session_, 2, 1), (std::vector<std::array<int32_t, 3>>{{320, 240, 6}}));
  EXPECT_EQ(StoredBytes(2), Entries({{320, 240, 6}}));

  // A camera that refuses YUY2 and 24-bit RGB never has them listed.
  SetCamera(2, [](KZWIN_CAMERA& c) {
    StartIn(c, 640, 480, kUyvy, 16);
    c.refusedCount = 2, c.refused[0] = {kYuy2, 16}, c.refused[1] = {BI_RGB, 24};
  });
  auto list = Listed(session_, 3, 2);
  EXPECT_EQ(list.size(), 8u * 12);
  EXPECT_EQ(list.front(), (std::array<int32_t, 3>{640, 480, 4}));
  for (const auto& f : list) EXPECT_TRUE(f[2] != 6 && f[2] != 1) << f[0] << "x" << f[1];
}

TEST_F(Formats, ProbeOfAnUnreadableDriverRestoresNothingForeign) {
  Listed(session_, 1, 1);  // leaves driver 0's 320x240 YUY2 as the remembered header
  auto odd = [](KZWIN_CAMERA& c) { StartIn(c, 640, 480, MAKEFOURCC('M', 'J', 'P', 'G'), 24); };
  SetCamera(1, odd);
  auto list = Listed(session_, 2, 1);
  ASSERT_EQ(list.size(), 112u);  // the probe's sets only; the first read found nothing
  EXPECT_EQ(list.front(), (std::array<int32_t, 3>{640, 480, 4}));
  // The driver stays in the last format it accepted, not in driver 0's.
  KZFORMAT current{};
  ASSERT_EQ(KZGetFormat(session_, 2, &current), 1);
  EXPECT_EQ(Of(current), (Four{176, 144, 14, 8}));
  EXPECT_EQ(list.back(), (std::array<int32_t, 3>{176, 144, 14}));

  // A driver that takes nothing and reports an unknown format: error 10, an empty value,
  // and the next mode-0 call probes again.
  SetCamera(2, [&](KZWIN_CAMERA& c) { odd(c), c.refuseAllFormats = TRUE; });
  EXPECT_CALL_ERR(KZEnumFormats(session_, 3, nullptr, 0, 0), 0, KZ_ERR_NO_FORMAT);
  bool found = false;
  EXPECT_TRUE(StoredBytes(3, nullptr, &found).empty());
  EXPECT_TRUE(found);
  SetCamera(2, [](KZWIN_CAMERA&) {});
  EXPECT_EQ(KZEnumFormats(session_, 3, nullptr, 0, 0), 112);
}

TEST_F(Formats, DamagedStoredValues) {
  struct Case {
    std::vector<uint8_t> data;
    DWORD type;
    std::vector<std::array<int32_t, 3>> expected;  // empty: error 13 in mode 3
  } cases[] = {
      {Entries({{640, 480, 6}, {320, 240, 1}}), REG_BINARY, {{640, 480, 6}, {320, 240, 1}}},
      // 30 bytes: two whole entries, the six bytes after them never read.
      {[] {
         auto d = Entries({{640, 480, 6}, {320, 240, 1}});
         d.resize(30, 0xEE);
         return d;
       }(),
       REG_BINARY,
       {{640, 480, 6}, {320, 240, 1}}},
      {std::vector<uint8_t>(11, 1), REG_BINARY, {}},
      {{}, REG_BINARY, {}},
      {Entries({{640, 480, 6}}), REG_SZ, {}},  // another type counts as empty
      {Entries({{640, 480, 0}, {320, 240, 15}, {1, 2, -1}, {160, 120, 14}}),
       REG_BINARY,
       {{160, 120, 14}}},  // codes outside 1..14 are ignored
  };
  for (const Case& c : cases) {
    StoreBytes(4, c.data, c.type);
    auto list = Listed(session_, 4, 3);
    EXPECT_EQ(list, c.expected) << c.data.size();
    EXPECT_EQ(KZGetLastError(), c.expected.empty() ? uint32_t{KZ_ERR_NOT_STORED} : 0u);
  }
}

TEST_F(Formats, CurrentFormatOfDriversAndStreams) {
  SetCamera(1, [](KZWIN_CAMERA& c) { StartIn(c, 320, 240, BI_RGB, 16); });
  KZFORMAT f{};
  ASSERT_EQ(KZGetFormat(session_, 2, &f), 1);
  EXPECT_EQ(Of(f), (Four{320, 240, 2, 16}));  // 16-bit BI_RGB is RGB16 for a driver, not UYVY

  // With a stream on the source: its window answers, mode 1 is refused, mode 0 uses the store.
  StoreBytes(1, Entries({{800, 600, 5}}));
  FakeStream(1, session_, kDisplayBit | kGrabBit, true);
  ASSERT_EQ(KZGetFormat(session_, 1, &f), 1);
  EXPECT_EQ(Of(f), (Four{320, 240, 6, 16}));
  EXPECT_CALL_ERR(KZEnumFormats(session_, 1, nullptr, 0, 1), 0, KZ_ERR_SOURCE_IN_USE);
  EXPECT_CALL_ERR(KZEnumFormats(session_, 1, nullptr, 0, 0), 1, 0u);
}

}  // namespace
}  // namespace kz::test
