// A caller of the library that sees only the public header and the shared library.
#include <gtest/gtest.h>
#include <kzvideo.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The record is packed to 4 bytes: a slot is read by value, never bound by reference.
template <class F>
F Slot(F value) {
  return value;
}

// Declared first: run alone or with the rest, it sees a process with no KZBegin yet.
TEST(Api, SessionZeroIsRefusedBeforeAnyBegin) {
  EXPECT_EQ(KZStopAll(0, 0, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_SESSION});
  EXPECT_EQ(KZEnd(0), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_SESSION});
  const uint32_t id = KZBegin(nullptr);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(KZEnd(id), 1);
  // Once a session has been opened, 0 means any session, even with none open.
  EXPECT_EQ(KZStopAll(0, 0, nullptr), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_NOTHING_STOPPED});
  EXPECT_EQ(KZEnd(0), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_SESSION});
}

TEST(Api, ThirtyTwoSessionsWithTheirTables) {
  std::vector<KZACCESS> tables(33);
  std::vector<uint32_t> ids;
  for (int i = 0; i < 32; ++i) {
    tables[i].size = sizeof(KZACCESS);
    const uint32_t id = KZBegin(&tables[i]);
    ASSERT_NE(id, 0u) << i;
    EXPECT_EQ(KZGetLastError(), 0u);
    if (!ids.empty()) {
      EXPECT_EQ(id, ids.back() + 1);
    }
    ids.push_back(id);
  }
  tables[32].size = sizeof(KZACCESS);
  EXPECT_EQ(KZBegin(&tables[32]), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_TOO_MANY_SESSIONS});

  for (int i = 0; i < 32; ++i) {
    const KZACCESS& a = tables[i];
    EXPECT_EQ(a.size, sizeof(KZACCESS));
    EXPECT_EQ(a.session, ids[i]);
    EXPECT_EQ(a.version, KZ_VERSION_NUMBER);
  }
  // 49 slots: size, session, version and 46 functions, none of them empty.
  static_assert(sizeof(KZACCESS) == 3 * sizeof(uint32_t) + 46 * sizeof(void*));
  const KZACCESS& a = tables[0];
  const auto* raw = reinterpret_cast<const unsigned char*>(&a) + 3 * sizeof(uint32_t);
  for (int i = 0; i < 46; ++i) {
    void* slot;
    std::memcpy(&slot, raw + i * sizeof(void*), sizeof slot);
    EXPECT_NE(slot, nullptr) << "slot " << i + 3;
  }
  EXPECT_EQ(Slot(a.KZBegin), &KZBegin);
  EXPECT_EQ(Slot(a.KZEnd), &KZEnd);
  EXPECT_EQ(Slot(a.KZGetLastError), &KZGetLastError);
  EXPECT_EQ(Slot(a.KZJulianToSystemTime), &KZJulianToSystemTime);
  EXPECT_EQ(Slot(a.KZStopAll), &KZStopAll);
  EXPECT_EQ(Slot(a.KZStopDisplay), &KZStopDisplay);
  EXPECT_EQ(Slot(a.KZStopPlayback), &KZStopPlayback);
  EXPECT_EQ(Slot(a.KZStopRecord), &KZStopRecord);
  EXPECT_EQ(Slot(a.KZSystemTimeToJulian), &KZSystemTimeToJulian);
  EXPECT_EQ(Slot(a.KZVersion), &KZVersion);

  // The slots work: version, errors, stops, times, rejoin, end.
  char text[64];
  EXPECT_EQ(a.KZVersion(text, sizeof text), KZ_VERSION_NUMBER);
  EXPECT_STREQ(text, "1.000 beta - Dec 12 2001");
  EXPECT_EQ(a.KZVersion(text, 6), KZ_VERSION_NUMBER);
  EXPECT_STREQ(text, "1.000");
  EXPECT_EQ(a.KZVersion(text, 0), 0u);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_TEXT_LENGTH});
  EXPECT_EQ(a.KZStopDisplay(ids[0], 0, nullptr), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_NO_DISPLAY});
  EXPECT_EQ(a.KZStopRecord(ids[0], 0, nullptr), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_NO_RECORD});
  EXPECT_EQ(a.KZStopPlayback(ids[0], 0, nullptr), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_NO_PLAYBACK});
  EXPECT_EQ(a.KZStopAll(ids[0], 0, nullptr), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_NOTHING_STOPPED});

  KZSYSTEMTIME noon{};
  noon.wYear = 2000;
  noon.wMonth = 1;
  noon.wDay = 1;
  noon.wHour = 12;
  double julian = 0.0;
  EXPECT_EQ(a.KZSystemTimeToJulian(&julian, &noon), &julian);
  EXPECT_EQ(julian, 2451545.0);
  KZSYSTEMTIME back{};
  EXPECT_EQ(a.KZJulianToSystemTime(julian, &back), 1);
  // Local time: the same instant, so converting it back gives the zone's shift in
  // whole minutes.
  double local = 0.0;
  KZSystemTimeToJulian(&local, &back);
  const double minutes = (julian - local) * 1440.0;
  EXPECT_NEAR(minutes, std::round(minutes), 1e-3);
  EXPECT_EQ(a.KZJulianToSystemTime(julian, nullptr), 0);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_NULL});

  // Rejoin through the table of the fifth session.
  KZACCESS again = tables[4];
  again.size |= KZ_REJOIN;
  EXPECT_EQ(a.KZBegin(&again), ids[4]);
  EXPECT_EQ(again.size, sizeof(KZACCESS));

  // Close every session, through the tables, newest first by id 0.
  for (int i = 31; i >= 16; --i) EXPECT_EQ(tables[i].KZEnd(0), 1) << i;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(tables[i].KZEnd(ids[i]), 1) << i;
  EXPECT_EQ(KZEnd(ids[0]), 0);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_SESSION});
  // The closed id of the rejoin record opens a new session now.
  again.size |= KZ_REJOIN;
  const uint32_t fresh = KZBegin(&again);
  EXPECT_GT(fresh, ids.back());
  EXPECT_EQ(again.session, fresh);
  EXPECT_EQ(KZEnd(fresh), 1);
}

}  // namespace
