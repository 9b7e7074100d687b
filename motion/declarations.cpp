#include "motion/declarations.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

// White space as the C locale's isspace sees it.
bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int lower(int c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

int digit_value(int c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f') return lower(c) - 'a' + 10;
  return -1;
}

void skip_space(InputStream& in) {
  for (int c = peek_byte(in); c >= 0 && is_space(c); c = peek_byte(in))
    ++in.pos;
}

// "%*s": white space, then one or more non-white bytes. False at the end of the input.
bool skip_word(InputStream& in) {
  skip_space(in);
  if (peek_byte(in) < 0) return false;
  for (int c = peek_byte(in); c >= 0 && !is_space(c); c = peek_byte(in))
    ++in.pos;
  return true;
}

// Consumes an optional sign; true when it was a minus.
bool take_sign(InputStream& in) {
  int c = peek_byte(in);
  if (c != '+' && c != '-') return false;
  ++in.pos;
  return c == '-';
}

// "%d". Like scanf, the longest prefix of a number is consumed even when it turns out not
// to be one ("-" alone). Unlike scanf, a value beyond 32 bits saturates instead of being
// undefined.
bool scan_int(InputStream& in, std::int32_t& value) {
  skip_space(in);
  bool negative = take_sign(in);
  int c = peek_byte(in);
  if (digit_value(c, 10) < 0) return false;
  std::int64_t magnitude = 0;
  for (; digit_value(c, 10) >= 0; c = peek_byte(in)) {
    if (magnitude <= INT64_C(0xFFFFFFFF)) magnitude = magnitude * 10 + (c - '0');
    ++in.pos;
  }
  std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > INT32_MAX) signed_value = INT32_MAX;
  if (signed_value < INT32_MIN) signed_value = INT32_MIN;
  value = static_cast<std::int32_t>(signed_value);
  return true;
}

// Matches the rest of `word` case-insensitively; false at the first byte that differs.
bool take_word(InputStream& in, const char* word) {
  for (; *word; ++word) {
    if (lower(peek_byte(in)) != *word) return false;
    ++in.pos;
  }
  return true;
}

// "inf", "infinity", "nan" or "nan(chars)", after the sign.
bool scan_special(InputStream& in, bool negative, float& value) {
  if (lower(peek_byte(in)) == 'i') {
    if (!take_word(in, "inf")) return false;
    if (lower(peek_byte(in)) == 'i' && !take_word(in, "inity")) return false;
    value =
        negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return true;
  }
  if (!take_word(in, "nan")) return false;
  if (peek_byte(in) == '(') {
    ++in.pos;
    for (int c = peek_byte(in);
         c == '_' || digit_value(c, 10) >= 0 || (lower(c) >= 'a' && lower(c) <= 'z');
         c = peek_byte(in)) {
      ++in.pos;
    }
    if (peek_byte(in) != ')') return false;
    ++in.pos;
  }
  value = std::copysign(std::numeric_limits<float>::quiet_NaN(), negative ? -1.0f : 1.0f);
  return true;
}

// The significant digits of a number of any length, kept to a fixed number of places.
// Digits past that only move the exponent or, when not zero, set a sticky last digit,
// which is enough for correct rounding to a float.
struct Mantissa {
  static const int kKeep = 200;
  char digits[kKeep + 1];
  int count = 0;
  std::int64_t exponent_shift = 0;  // in digit places
  bool sticky = false;
  bool seen_digit = false;
};

void add_digit(Mantissa& m, int c, bool after_point) {
  m.seen_digit = true;
  if (m.count == 0 && c == '0') {
    if (after_point) --m.exponent_shift;
    return;
  }
  if (m.count < Mantissa::kKeep) {
    m.digits[m.count++] = static_cast<char>(c);
    if (after_point) --m.exponent_shift;
    return;
  }
  if (!after_point) ++m.exponent_shift;
  if (c != '0') m.sticky = true;
}

// "%f": decimal or hexadecimal, with optional exponent, or infinity or NaN. An incomplete
// number ("1e", "0x", ".") fails after consuming what it had matched, as scanf does.
bool scan_float(InputStream& in, float& value) {
  skip_space(in);
  bool negative = take_sign(in);
  int c = peek_byte(in);
  if (lower(c) == 'i' || lower(c) == 'n') return scan_special(in, negative, value);

  int base = 10;
  Mantissa m;
  if (c == '0') {
    ++in.pos;
    c = peek_byte(in);
    if (lower(c) == 'x') {
      ++in.pos;
      c = peek_byte(in);
      base = 16;
    } else {
      m.seen_digit = true;
    }
  }
  for (; digit_value(c, base) >= 0; ++in.pos, c = peek_byte(in))
    add_digit(m, c, false);
  if (c == '.') {
    ++in.pos;
    for (c = peek_byte(in); digit_value(c, base) >= 0; ++in.pos, c = peek_byte(in)) {
      add_digit(m, c, true);
    }
  }
  if (!m.seen_digit) return false;

  std::int64_t exponent = 0;
  if (lower(c) == (base == 16 ? 'p' : 'e')) {
    ++in.pos;
    bool exponent_negative = take_sign(in);
    c = peek_byte(in);
    if (digit_value(c, 10) < 0) return false;
    for (; digit_value(c, 10) >= 0; ++in.pos, c = peek_byte(in)) {
      if (exponent < 100000000) exponent = exponent * 10 + (c - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }

  if (m.count == 0) {
    value = negative ? -0.0f : 0.0f;
    return true;
  }
  if (m.sticky) {
    m.digits[m.count++] = '1';
    --m.exponent_shift;
  }
  // Hexadecimal digit places are four binary places each.
  exponent += base == 16 ? 4 * m.exponent_shift : m.exponent_shift;
  if (exponent > 100000) exponent = 100000;
  if (exponent < -100000) exponent = -100000;
  char text[Mantissa::kKeep + 32];
  std::snprintf(text, sizeof text, "%s%s%.*s%c%lld", negative ? "-" : "", base == 16 ? "0x" : "",
                m.count, m.digits, base == 16 ? 'p' : 'e', static_cast<long long>(exponent));
  value = std::strtof(text, nullptr);
  return true;
}

}  // namespace

void scan_declarations(InputStream& in, MotionInfo& info) {
  // "%*s %d\n"
  if (skip_word(in)) {
    std::int32_t count;
    if (scan_int(in, count)) {
      info.frame_count = count;
      skip_space(in);
    }
  }
  // "%*s %*s %f\n"
  if (skip_word(in) && skip_word(in)) {
    float seconds;
    if (scan_float(in, seconds)) {
      info.frame_time = seconds;
      skip_space(in);
    }
  }
}
