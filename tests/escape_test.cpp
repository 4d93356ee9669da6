// Escaping checked directly, where the end-to-end runs cannot reach a
// buffer's exact edge.
#include "values.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

TEST(Escape, EachValueAndItsEscapedForm) {
  const struct { const char *in, *out; bool password = false; } cases[] = {
      {"", ""},
      {"plain_value", "plain_value"},
      {"a\"b", "a\\\"b"},
      {"#", "\\#"},
      {"it's", "it\\'s"},
      {"\\", "\\\\"},
      {"\\\"#'", "\\\\\\\"\\#\\'"},
      // The six word breaks in octal; other control characters pass,
      {"\t\v\f\r\n\x01 x\x7f", "\\011\\013\\014\\015\\012\x01\\040x\x7f"},
      {"\x80\xa2\xa3\xbc\xdc\xff", "\x80\xa2\xa3\xbc\xdc\xff"}, // so do high bytes
      {"a b\tc\nd", "a\\040b\\011c\\012d"},
      {"a b\tc\nd\n", "a\\040b\\011c\\012d\n", true}, // the password's line end stays
      {"\n", "\n", true},
      {"\n\n", "\\012\n", true},
  };
  for (const auto &c : cases) {
    char buffer[value_buffer_size] = {};
    std::strcpy(buffer, c.in);
    auto *escape = c.password ? escape_password : if_str_patch;
    EXPECT_EQ(escape(buffer, buffer + sizeof buffer), 0) << c.in;
    EXPECT_STREQ(buffer, c.out);
  }
}

TEST(Escape, FitsOnlyWithItsTerminatorInsideTheBuffer) {
  const struct { const char *in; bool fits; bool password = false; } cases[] = {
      {"#######", true},   // 14 characters and the terminator: 15 of 16
      {"#######a", true},  // exactly 16
      {"########", false}, // 17
      {"aaaaaaaaaaaaaa#", false}, // 15 characters: full before escaping
      {"aaa \t\n", true},  // 3 + 3 * 4 and the terminator: exactly 16
      {"aaaa \t\n", false}, // 17, though 8 characters fit unescaped
      {"aa \t\n\n", true, true},  // the line end is one byte: 16
      {"aaa \t\n\n", false, true}, // 17
  };
  for (const auto &c : cases) {
    char buffer[16] = {};
    std::strncpy(buffer, c.in, sizeof buffer - 1);
    std::string before(buffer);
    testing::internal::CaptureStdout();
    auto *escape = c.password ? escape_password : if_str_patch;
    int status = escape(buffer, buffer + sizeof buffer);
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
