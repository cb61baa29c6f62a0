#include "util/event.hpp"

#include <string>

#include <gtest/gtest.h>

namespace ostrand {
namespace {

// A field value that records whether it was ever formatted.
struct Probe {
  mutable int* formatted;
};
void debug_write(DebugWriter& w, const Probe& p) {
  ++*p.formatted;
  w.raw("Probe");
}

TEST(Events, WithoutAReceiverFieldsAreNotFormatted) {
  ASSERT_FALSE(event_receiver_installed());
  int formatted = 0;
  event(EventLevel::Debug, "ostrand::test", "nobody listens", field("probe", Probe{&formatted}));
  EXPECT_EQ(formatted, 0);
}

TEST(Events, ACaptureReceivesTargetMessageAndFields) {
  int formatted = 0;
  {
    ScopedEventCapture capture;
    event(EventLevel::Info, "ostrand::test", "something happened", field("count", 3u), field("name", "x"),
          field("probe", Probe{&formatted}));
    const std::vector<Event> expected = {
        {EventLevel::Info,
         "ostrand::test",
         "something happened",
         {{"count", "3"}, {"name", "x"}, {"probe", "Probe"}}},
    };
    EXPECT_EQ(capture.events(), expected);
  }
  EXPECT_EQ(formatted, 1);
  EXPECT_FALSE(event_receiver_installed());  // the previous (absent) receiver is restored
}

}  // namespace
}  // namespace ostrand
