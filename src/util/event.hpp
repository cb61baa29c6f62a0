#pragma once
// Debug events: a structured facade with a target (the module path), a message and named fields.
// No receiver is installed by default, and then an event costs one atomic load: its fields are not
// even formatted. Tests install a receiver to capture events.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/debug.hpp"

namespace ostrand {

enum class EventLevel : std::uint8_t { Error, Warn, Info, Debug, Trace };

struct EventField {
  std::string name;
  std::string value;
  bool operator==(const EventField&) const = default;
};

struct Event {
  EventLevel level = EventLevel::Debug;
  std::string target;
  std::string message;
  std::vector<EventField> fields;
  bool operator==(const Event&) const = default;
};

class EventReceiver {
 public:
  virtual ~EventReceiver() = default;
  // Called from whichever thread emits the event.
  virtual void receive(const Event& event) = 0;
};

// Installs `receiver` process-wide (nullptr removes it) and returns the previous one.
std::shared_ptr<EventReceiver> install_event_receiver(std::shared_ptr<EventReceiver> receiver);

[[nodiscard]] bool event_receiver_installed();

namespace detail {
void deliver_event(Event event);

template <class T>
std::string event_field_text(const T& v) {
  if constexpr (std::convertible_to<const T&, std::string_view>) {
    return std::string(std::string_view(v));
  } else {
    return debug(v);
  }
}
}  // namespace detail

// A field value written with its display message rather than its debug text.
template <class T>
struct Displayed {
  const T& value;
};
template <class T>
Displayed(const T&) -> Displayed<T>;

template <class T>
void debug_write(DebugWriter& w, const Displayed<T>& d) {
  w.raw(display(d.value));
}

// A named field referring to a value that is formatted only when a receiver listens.
template <class T>
struct FieldRef {
  std::string_view name;
  const T& value;
};

template <class T>
[[nodiscard]] FieldRef<T> field(std::string_view name, const T& value) {
  return {name, value};
}

template <class... Ts>
void event(EventLevel level, std::string_view target, std::string_view message,
           const FieldRef<Ts>&... fields) {
  if (!event_receiver_installed()) [[likely]]
    return;
  Event e{level, std::string(target), std::string(message), {}};
  e.fields.reserve(sizeof...(Ts));
  (e.fields.push_back(EventField{std::string(fields.name), detail::event_field_text(fields.value)}), ...);
  detail::deliver_event(std::move(e));
}

// Captures events while it lives; restores the previous receiver on destruction.
class ScopedEventCapture {
 public:
  ScopedEventCapture();
  ScopedEventCapture(const ScopedEventCapture&) = delete;
  ScopedEventCapture& operator=(const ScopedEventCapture&) = delete;
  ~ScopedEventCapture();

  [[nodiscard]] std::vector<Event> events() const;

 private:
  class Capture;
  std::shared_ptr<Capture> capture_;
  std::shared_ptr<EventReceiver> previous_;
};

}  // namespace ostrand
