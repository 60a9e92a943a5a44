#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "killswitch/kill_switch.h"

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEF;

struct Accepted {
  std::string_view text;
  uint32_t address;
};

// Every form scanf("%u.%u.%u.%u") took with numbers up to 255 must still be taken.
TEST(ParseIpv4, AcceptsWhatTheDottedScanAccepted) {
  const Accepted cases[] = {
      {"10.1.2.3", 0x0A010203},
      {"0.0.0.0", 0x00000000},
      {"255.255.255.255", 0xFFFFFFFF},
      {" 1.2.3.4", 0x01020304},            // leading blank
      {"1.2.3.4:443", 0x01020304},         // anything after the fourth number is ignored
      {"1.2.3.4.5", 0x01020304},           //
      {"1.2.3.4 and more", 0x01020304},    //
      {"1.2.3.0x1", 0x01020300},           // the fourth number ends at the 'x'
      {"\t1.\n2.\v3.\f\r 4", 0x01020304},  // white space before every number
      {"+1.+2.+3.+4", 0x01020304},         // the sign %u allows
      {"-0.0.-0.0", 0x00000000},           // minus zero is zero
      {"001.002.003.004", 0x01020304},     // leading zeros are decimal, not octal
      {"0000000000000000000000010.0.0.1", 0x0A000001},  // many digits, small value
      {"192.168.1.255", 0xC0A801FF},
  };
  for (const Accepted& c : cases) {
    uint32_t address = kUntouched;
    EXPECT_TRUE(KillSwitch::ParseIpv4(c.text, address)) << c.text;
    EXPECT_EQ(address, c.address) << c.text;
  }
}

TEST(ParseIpv4, RejectsEverythingElseAndLeavesTheOutputAlone) {
  const std::string_view cases[] = {
      "",           "   ",
      "1.2.3",      "1.2.3.",
      "1..2.3",     ".1.2.3",
      "256.0.0.1",  "1.2.3.256",
      "1.2.3.1000", "a.b.c.d",
      "1 .2.3.4",  // the dot is matched literally, no white space before it
      "1.2.3. x",   "+.1.2.3",
      "1.2.3.-",
      "1.2.3.- 4",  // white space between sign and digits
      "-1.0.0.0",   // %u would turn it into 4294967295
      "1.2.3.-4",   "+-1.2.3.4",
      "0x1.2.3.4",  std::string_view("1.2\0.3.4", 8),  // a NUL ends the text, as it did for scanf
  };
  for (std::string_view text : cases) {
    uint32_t address = kUntouched;
    EXPECT_FALSE(KillSwitch::ParseIpv4(text, address)) << '"' << text << '"';
    EXPECT_EQ(address, kUntouched) << '"' << text << '"';
  }
}

// A number too large for the scan's type used to be undefined and, in practice, wrapped: the user
// gave no such address, so it must fail rather than become one.
TEST(ParseIpv4, NumbersThatWouldWrapFail) {
  const std::string_view cases[] = {
      "4294967297.0.0.1",  // 2^32 + 1: wrapped to 1.0.0.1
      "4294967296.0.0.0",  // 2^32: wrapped to 0.0.0.0
      "1.2.3.4294967300",  // wrapped to 4
      "18446744073709551617.0.0.1", "99999999999999999999999999999999.1.1.1",
      "-4294967041.0.0.0",  // wrapped to 255
      "-4294967295.0.0.0",  // wrapped to 1
  };
  for (std::string_view text : cases) {
    uint32_t address = kUntouched;
    EXPECT_FALSE(KillSwitch::ParseIpv4(text, address)) << text;
    EXPECT_EQ(address, kUntouched) << text;
  }
}

}  // namespace
