#pragma once
// The one debug-text facility. Every value type of the system prints in one form:
//   Name                          a payload-free variant
//   Name(payload, ...)            a tuple variant or wrapper
//   Name { field: value, ... }    a record
//   [a, b]  {a, b}  {k: v}        lists, sets, maps
//   "text"                        strings, quoted and escaped
// A type opts in with one small `debug_write(DebugWriter&, const T&)` found by argument-dependent
// lookup; `ostrand::debug(x)` and `fmt::format("{}", x)` then both give its text.

#include <concepts>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <ranges>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include <fmt/format.h>

namespace ostrand {

class DebugWriter;

template <class T>
concept HasDebugWrite = requires(DebugWriter& w, const T& v) {
  debug_write(w, v);
};

// Appends `text` with the escapes of a quoted debug string (without the quotes): backslash, double
// quote, line feed, carriage return, tab and NUL get their two-character escapes; other control and
// invisible format characters become \u{hex}. Bytes that are not valid UTF-8 are written as U+FFFD.
void append_escaped(std::string& out, std::string_view text);

namespace detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
struct is_map : std::false_type {};
template <class K, class V, class C, class A>
struct is_map<std::map<K, V, C, A>> : std::true_type {};

template <class T>
struct is_set : std::false_type {};
template <class K, class C, class A>
struct is_set<std::set<K, C, A>> : std::true_type {};

template <class T>
struct is_tuple_like : std::false_type {};
template <class... Ts>
struct is_tuple_like<std::tuple<Ts...>> : std::true_type {};
template <class A, class B>
struct is_tuple_like<std::pair<A, B>> : std::true_type {};

template <class T>
struct is_variant : std::false_type {};
template <class... Ts>
struct is_variant<std::variant<Ts...>> : std::true_type {};

template <class T>
struct is_expected : std::false_type {};
template <class T, class E>
struct is_expected<std::expected<T, E>> : std::true_type {};
}  // namespace detail

class RecordWriter;

class DebugWriter {
 public:
  DebugWriter() = default;
  explicit DebugWriter(std::string& out) : out_(&out) {}

  [[nodiscard]] std::string& text() { return *out_; }

  // Writes the text unchanged (a type or variant name, punctuation).
  DebugWriter& raw(std::string_view text) {
    out_->append(text);
    return *this;
  }

  DebugWriter& quoted(std::string_view text) {
    out_->push_back('"');
    append_escaped(*out_, text);
    out_->push_back('"');
    return *this;
  }

  // Any value: a type with its own printer, or a number, flag, string, optional, list, set, map,
  // tuple or variant of such.
  template <class T>
  DebugWriter& value(const T& v) {
    using U = std::remove_cvref_t<T>;
    if constexpr (HasDebugWrite<U>) {
      debug_write(*this, v);
    } else if constexpr (std::same_as<U, bool>) {
      raw(v ? "true" : "false");
    } else if constexpr (std::integral<U>) {
      if constexpr (std::is_signed_v<U>) {
        fmt::format_to(std::back_inserter(*out_), "{}", static_cast<std::int64_t>(v));
      } else {
        fmt::format_to(std::back_inserter(*out_), "{}", static_cast<std::uint64_t>(v));
      }
    } else if constexpr (std::convertible_to<const U&, std::string_view>) {
      quoted(std::string_view(v));
    } else if constexpr (detail::is_optional<U>::value) {
      if (v.has_value()) {
        tuple("Some", *v);
      } else {
        raw("None");
      }
    } else if constexpr (detail::is_expected<U>::value) {
      if (v.has_value()) {
        if constexpr (std::is_void_v<typename U::value_type>) {
          raw("Ok(())");
        } else {
          tuple("Ok", *v);
        }
      } else {
        tuple("Err", v.error());
      }
    } else if constexpr (detail::is_variant<U>::value) {
      std::visit([this](const auto& alternative) { value(alternative); }, v);
    } else if constexpr (detail::is_tuple_like<U>::value) {
      raw("(");
      std::apply([this](const auto&... items) { write_separated(items...); }, v);
      raw(")");
    } else if constexpr (detail::is_map<U>::value) {
      raw("{");
      bool first = true;
      for (const auto& [key, mapped] : v) {
        if (!first) raw(", ");
        first = false;
        value(key).raw(": ").value(mapped);
      }
      raw("}");
    } else if constexpr (detail::is_set<U>::value) {
      sequence("{", v, "}");
    } else if constexpr (std::ranges::input_range<U>) {
      sequence("[", v, "]");
    } else {
      static_assert(sizeof(U) == 0, "no debug text for this type: give it a debug_write overload");
    }
    return *this;
  }

  // Name(a, b, ...)
  template <class... Ts>
  DebugWriter& tuple(std::string_view name, const Ts&... payload) {
    raw(name).raw("(");
    write_separated(payload...);
    return raw(")");
  }

  // Writes a payload-free variant of a std::variant-based type through its alternative's printer.
  template <class... Ts>
  DebugWriter& variant(const std::variant<Ts...>& v) {
    std::visit([this](const auto& alternative) { value(alternative); }, v);
    return *this;
  }

  // Name { field: value, ... }, finished when the returned writer goes out of scope.
  [[nodiscard]] RecordWriter record(std::string_view name);

  // [a, b, ...] over any range.
  template <class R>
  DebugWriter& list(const R& range) {
    return sequence("[", range, "]");
  }

 private:
  template <class R>
  DebugWriter& sequence(std::string_view open, const R& range, std::string_view close) {
    raw(open);
    bool first = true;
    for (const auto& item : range) {
      if (!first) raw(", ");
      first = false;
      value(item);
    }
    return raw(close);
  }

  template <class... Ts>
  void write_separated(const Ts&... items) {
    bool first = true;
    ((first ? void(first = false) : void(raw(", ")), value(items)), ...);
  }

  std::string owned_;
  std::string* out_ = &owned_;
};

class RecordWriter {
 public:
  RecordWriter(DebugWriter& writer, std::string_view name) : writer_(writer) { writer_.raw(name); }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;
  ~RecordWriter() {
    if (any_) writer_.raw(" }");
  }

  template <class T>
  RecordWriter& field(std::string_view name, const T& v) {
    writer_.raw(any_ ? ", " : " { ").raw(name).raw(": ").value(v);
    any_ = true;
    return *this;
  }

 private:
  DebugWriter& writer_;
  bool any_ = false;
};

inline RecordWriter DebugWriter::record(std::string_view name) {
  return RecordWriter(*this, name);
}

// The debug text of any printable value.
template <class T>
[[nodiscard]] std::string debug(const T& v) {
  std::string out;
  DebugWriter writer(out);
  writer.value(v);
  return out;
}

// The text written between double quotes for a quoted debug string.
[[nodiscard]] std::string escaped(std::string_view text);

}  // namespace ostrand

// Every type with a debug printer formats through fmt with its debug text.
template <class T>
requires ostrand::HasDebugWrite<T>
struct fmt::formatter<T> : fmt::formatter<std::string_view> {
  auto format(const T& v, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(ostrand::debug(v), ctx);
  }
};
