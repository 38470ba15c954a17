// A caller of the library that sees only the public header and the shared library.
#include <gtest/gtest.h>
#include <kzvideo.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

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
  tables[32].size = 200;  // the count is checked before the size
  EXPECT_EQ(KZBegin(&tables[32]), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_TOO_MANY_SESSIONS});
  tables[32].size = sizeof(KZACCESS);
  EXPECT_EQ(KZBegin(&tables[32]), 0u);
  EXPECT_EQ(KZGetLastError(), uint32_t{KZ_ERR_TOO_MANY_SESSIONS});

  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(tables[i].size, sizeof(KZACCESS));
    EXPECT_EQ(tables[i].session, ids[i]);
    EXPECT_EQ(tables[i].version, KZ_VERSION_NUMBER);
  }
  // 49 slots: size, session, version and 46 functions, none of them empty.
  static_assert(sizeof(KZACCESS) == 3 * sizeof(uint32_t) + 46 * sizeof(void*));
  const KZACCESS& a = tables[0];
  // That no slot is empty and which function each holds is checked in the frame suite;
  // here calls through the shared library show it.

  // The slots work: version, errors, stops, times, rejoin, end.
  char text[64];
  EXPECT_EQ(a.KZVersion(text, sizeof text), KZ_VERSION_NUMBER);
  EXPECT_STREQ(text, "1.000 beta - Dec 12 2001");
  EXPECT_EQ(a.KZVersion(text, 6), KZ_VERSION_NUMBER);
  EXPECT_STREQ(text, "1.000");
  EXPECT_EQ(a.KZVersion(text, 0), 0u);
  EXPECT_EQ(a.KZGetLastError(), uint32_t{KZ_ERR_TEXT_LENGTH});
  // Slots copied by value into a plain aggregate: the record is packed.
  const struct {
    int(KZAPI* stop)(uint32_t, uint32_t, KZHWND);
    uint32_t error;
  } stops[] = {{a.KZStopDisplay, KZ_ERR_NO_DISPLAY},
               {a.KZStopRecord, KZ_ERR_NO_RECORD},
               {a.KZStopPlayback, KZ_ERR_NO_PLAYBACK},
               {a.KZStopAll, KZ_ERR_NOTHING_STOPPED}};
  for (const auto& [stop, error] : stops) {
    EXPECT_EQ(stop(ids[0], 0, nullptr), 0);
    EXPECT_EQ(a.KZGetLastError(), error);
  }

  KZSYSTEMTIME noon{2000, 1, 0, 1, 12, 0, 0, 0};
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
