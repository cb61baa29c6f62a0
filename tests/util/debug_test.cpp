#include "util/debug.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace ostrand {
namespace {

struct Point {
  std::uint32_t x = 0;
  std::int8_t y = 0;
};
void debug_write(DebugWriter& w, const Point& p) {
  w.record("Point").field("x", p.x).field("y", p.y);
}

struct Wrapper {
  Point inner;
};
void debug_write(DebugWriter& w, const Wrapper& v) {
  w.tuple("Wrapper", v.inner);
}

struct Unit {};
void debug_write(DebugWriter& w, const Unit&) {
  w.raw("Unit");
}

TEST(DebugText, ShapesOfValues) {
  EXPECT_EQ(debug(Point{3, -4}), "Point { x: 3, y: -4 }");
  EXPECT_EQ(debug(Wrapper{{1, 2}}), "Wrapper(Point { x: 1, y: 2 })");
  EXPECT_EQ(debug(Unit{}), "Unit");
  EXPECT_EQ(debug(std::vector<std::uint32_t>{1, 8, 128}), "[1, 8, 128]");
  EXPECT_EQ(debug(std::vector<Unit>{}), "[]");
  EXPECT_EQ(debug(std::set<int>{3, 1}), "{1, 3}");
  EXPECT_EQ(debug(std::map<int, std::string>{{2, "b"}, {1, "a"}}), R"({1: "a", 2: "b"})");
  EXPECT_EQ(debug(std::tuple<int, bool>{7, true}), "(7, true)");
  EXPECT_EQ(debug(std::optional<Unit>{}), "None");
  EXPECT_EQ(debug(std::optional<std::uint16_t>{5}), "Some(5)");
  EXPECT_EQ(debug(std::uint64_t{18446744073709551615ULL}), "18446744073709551615");
  EXPECT_EQ(debug(std::int8_t{-128}), "-128");
}

TEST(DebugText, FormatsThroughFmt) {
  EXPECT_EQ(fmt::format("<{}>", Point{1, 2}), "<Point { x: 1, y: 2 }>");
}

TEST(DebugText, QuotedStringsAreEscaped) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"back\\slash", R"("back\\slash")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"line\nfeed", R"("line\nfeed")"},
      {"carriage\rreturn", R"("carriage\rreturn")"},
      {"tab\there", R"("tab\there")"},
      {std::string("nul\0byte", 8), R"("nul\0byte")"},
      {"bell\x07", R"("bell\u{7}")"},
      {"del\x7f", R"("del\u{7f}")"},
      {"esc\x1b[", R"("esc\u{1b}[")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                   // printable non-ASCII stays as it is
      {"zero\xe2\x80\x8bwidth", R"("zero\u{200b}width")"},  // an invisible character is shown
      {"bad\xff", "\"bad\xef\xbf\xbd\""},                   // invalid UTF-8 becomes U+FFFD
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(debug(c.text), c.expected);
  }
}

}  // namespace
}  // namespace ostrand
