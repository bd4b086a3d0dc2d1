// The one description of an entry point's parameters, and the compile-time
// check that a docstring's text-signature line agrees with it, so that a
// parameter is named in exactly one place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tesmerine {

inline constexpr std::size_t kMaxParams = 3;

// One entry point's parameters: all positional-or-keyword, the first
// `required` of them required. Every optional parameter is an integer whose
// value when absent is in `defaults`.
struct ParamSpec {
  const char* function_name;
  const char* class_name;  // nullptr for a module-level function
  std::array<const char*, kMaxParams> names;
  std::size_t count;
  std::size_t required;
  std::array<std::uint64_t, kMaxParams> defaults{};
};

// Whether the interpreter passes the instance as the first argument.
enum class Receiver { kNone, kInstance };

namespace detail {

// Removes `part` from the front of `text` if it is there.
constexpr bool take(std::string_view& text, std::string_view part) {
  if (!text.starts_with(part)) return false;
  text.remove_prefix(part.size());
  return true;
}

// Removes the decimal digits of `value` from the front of `text` if they are there.
constexpr bool take_decimal(std::string_view& text, std::uint64_t value) {
  char digits[20] = {};
  std::size_t length = 0;
  do {
    digits[length++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (length > 0) {
    if (!take(text, std::string_view(&digits[--length], 1))) return false;
  }
  return true;
}

}  // namespace detail

// True when `doc` starts with the line the interpreter turns into
// __text_signature__, written for exactly these parameters:
//   name($self, a, b=default)\n--\n\n
// ("$self" only for an instance method; "=default" for each optional one).
constexpr bool starts_with_text_signature(const ParamSpec& params, Receiver receiver, std::string_view doc) {
  using detail::take;
  if (!take(doc, params.function_name) || !take(doc, "(")) return false;
  bool first = true;
  if (receiver == Receiver::kInstance) {
    if (!take(doc, "$self")) return false;
    first = false;
  }
  for (std::size_t i = 0; i < params.count; ++i) {
    if (!first && !take(doc, ", ")) return false;
    first = false;
    if (!take(doc, params.names[i])) return false;
    if (i >= params.required && !(take(doc, "=") && detail::take_decimal(doc, params.defaults[i]))) return false;
  }
  return take(doc, ")\n--\n\n");
}

}  // namespace tesmerine
