// Escaping checked directly, where the end-to-end runs cannot reach a
// buffer's exact edge.
#include "values.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(Escape, EachValueAndItsEscapedForm) {
  const struct { const char *in, *out; } cases[] = {
      {"", ""},
      {"plain value", "plain value"},
      {"a\"b", "a\\\"b"},
      {"#", "\\#"},
      {"it's", "it\\'s"},
      {"\\", "\\\\"},
      {"\\\"#'", "\\\\\\\"\\#\\'"},
      {"\t\r\n\x01 x\x7f", "\t\r\n\x01 x\x7f"},   // control characters pass
      {"\x80\xa2\xa3\xbc\xdc\xff", "\x80\xa2\xa3\xbc\xdc\xff"}, // so do high bytes
  };
  for (const auto &c : cases) {
    char buffer[value_buffer_size] = {};
    std::strcpy(buffer, c.in);
    EXPECT_EQ(if_str_patch(buffer, buffer + sizeof buffer), 0) << c.in;
    EXPECT_STREQ(buffer, c.out);
  }
}

TEST(Escape, FitsOnlyWithItsTerminatorInsideTheBuffer) {
  const struct { const char *in; bool fits; } cases[] = {
      {"#######", true},   // 14 characters and the terminator: 15 of 16
      {"#######a", true},  // exactly 16
      {"########", false}, // 17
      {"aaaaaaaaaaaaaa#", false}, // 15 characters: full before escaping
  };
  for (const auto &c : cases) {
    char buffer[16] = {};
    std::strncpy(buffer, c.in, sizeof buffer - 1);
    std::string before(buffer);
    testing::internal::CaptureStdout();
    int status = if_str_patch(buffer, buffer + sizeof buffer);
    std::string out = testing::internal::GetCapturedStdout();
    if (c.fits) {
      EXPECT_EQ(status, 0) << c.in;
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(status, -1) << c.in;
      EXPECT_EQ(out, "Error:if_str_patch: escaped value does not fit.\n");
      EXPECT_EQ(before, buffer) << "a refused value is left as it was";
    }
  }
}
