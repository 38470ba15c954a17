// Inputs on which a fuzz target once found a fault, fed again to the same target's entry
// point (each target is built into this suite under its own name): every one must come
// back with results or error codes, no sanitizer report, no leak.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// Targets left out of a build (the AVI ones without FFmpeg) are null here.
#define KZ_FUZZ_ENTRY(name) \
  extern "C" int KzFuzz_##name(const uint8_t*, size_t) __attribute__((weak));
KZ_FUZZ_ENTRY(api_records)
KZ_FUZZ_ENTRY(avi_options)
KZ_FUZZ_ENTRY(image_load)
#undef KZ_FUZZ_ENTRY

namespace {

// Hex bytes; "XX*N" is N bytes XX (the inputs are mostly runs of zeros).
std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> out;
  const std::string s(text);
  for (size_t i = 0; i < s.size();) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    const auto byte = static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16));
    i += 2;
    size_t count = 1;
    if (i < s.size() && s[i] == '*') {
      size_t digits = 0;
      count = std::stoul(s.substr(i + 1), &digits);
      i += 1 + digits;
    }
    out.insert(out.end(), count, byte);
  }
  return out;
}

struct Case {
  const char* fault;
  int (*entry)(const uint8_t*, size_t);
  const char* input;
};

const Case kCases[] = {
    // A file's display description with extreme contrast and saturation: a chroma gain
    // multiplied a saturated table entry past 64 bits.
    {"colour gain overflow", KzFuzz_image_load,
       "4b5a5672a8000000400000000800040006 00*11 "
       "bf3877c062c742410000000044495350a0000000a0 00*11 080000000400000006 00*6 ff "
       "00*48 "
       "f6ff444d838c59626b74b9c2cbd4a1aab3bc010a131ce9f2fb04495288915e677079bec7d0d9a6af "
       "b8c1060fc6cf9ca5aeb805050e17e4edf6ff444d838c59626b74b9c2cbd4a1aab3bc010a131ce9f2 "
       "fb04495288915e677079be0fc6cf9ca5aeb805050e17e4edf6ff444d838c59626b74b9c2cbd4a1aa "
       "b3bc010a131ce9f2fb04495288915e677079bec7d0d9a6afb8c1060f18010000454e4400 "},
    // KZLoadFrame drawn with a zoom times aspect that underflows to 0: the row step became
    // infinite and its tap weights NaN.
    {"zoom underflow", KzFuzz_api_records,
       "0b 00*22 10 00*31 1d 00*41 40 00*89 02 00*44 97 00*48 03 00*15 01006040000850e6 "
       "00*45 41 00*6 ea*31 63*76 00*32 76767676 00*76 01 00*49 410001 00*9 02 00*44 97 "
       "00*48 03 00*15 01006040000850e6 00*45 41 00*6 ea*28 00*25 01 00*28 02 00*44 97 "
       "00*48 03 00*15 01006040000850e6 00*45 41 00*6 ea*28 0000000000 "},
    // H.264 options with a data rate of 4 bytes a second: x264 refused the rate of 0 kbit/s
    // and leaked what it had been set up with.
    {"x264 rate below 1 kbit/s", KzFuzz_avi_options,
       "01010000002c0000007669647348323634050000004c1d000004000000 be*8 0c 00*11 "
       "30a8000004 00*7 013a020304 "},
};

TEST(FuzzRegression, FoundInputsEndInResultsOrCodes) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.fault);
    if (!c.entry) continue;
    const std::vector<uint8_t> input = Hex(c.input);
    EXPECT_EQ(c.entry(input.data(), input.size()), 0);
  }
}

}  // namespace
