// Token rendering: fixed cases, and random bytes against a reference decoder written from the
// definition of well-formed UTF-8 rather than from its table of byte ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/io/render.hpp"

namespace tokenizer {
namespace {

struct RenderCase {
  std::string bytes;
  std::string rendered;
};

const std::string kFffd = "\xEF\xBF\xBD";

class RenderTable : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderTable, RendersAsExpected) {
  const RenderCase& c = GetParam();
  EXPECT_EQ(render_token(c.bytes), c.rendered);
  EXPECT_EQ(rendered_size(c.bytes), c.rendered.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderTable,
    testing::Values(RenderCase{"", ""}, RenderCase{"hi", "hi"},
                    RenderCase{std::string(1, '\0'), "\\u0000"}, RenderCase{"\n", "\\u000a"},
                    RenderCase{"\x1f\x7f", "\\u001f\\u007f"},
                    RenderCase{"\xC2\x85", "\\u0085"},                  // C1 control
                    RenderCase{"\xC2\x9F\xC2\xA0", "\\u009f\xC2\xA0"},  // no-break space stays
                    RenderCase{"\xC3", kFffd}, RenderCase{"\xC3\xA9", "\xC3\xA9"},
                    RenderCase{"\xE2\x82", kFffd}, RenderCase{"\xE2\x82\xAC", "\xE2\x82\xAC"},
                    RenderCase{"\xE2\x82x", kFffd + "x"},
                    RenderCase{"\xED\xA0\x80", kFffd + kFffd + kFffd},  // surrogate
                    RenderCase{"\xC0\xAF", kFffd + kFffd},              // overlong
                    RenderCase{"\xF0\x9F\x98", kFffd},
                    RenderCase{"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // > U+10FFFF
                    RenderCase{"[\\u000a] \\", "[\\u000a] \\"}));

// ---- The reference: decides well-formedness by decoding and re-encoding ----

std::string encode_utf8(char32_t cp) {
  std::string out;
  auto push = [&](unsigned value) { out.push_back(static_cast<char>(value)); };
  if (cp < 0x80) {
    push(cp);
  } else if (cp < 0x800) {
    push(0xC0 | (cp >> 6)), push(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    push(0xE0 | (cp >> 12)), push(0x80 | ((cp >> 6) & 0x3F)), push(0x80 | (cp & 0x3F));
  } else {
    push(0xF0 | (cp >> 18)), push(0x80 | ((cp >> 12) & 0x3F));
    push(0x80 | ((cp >> 6) & 0x3F)), push(0x80 | (cp & 0x3F));
  }
  return out;
}

/// What a sequence of bytes can still become: the encoded length its lead byte announces and
/// the range of values its bits leave open. Length 0 for a byte that cannot lead.
struct Candidates {
  std::size_t length = 0;
  char32_t low = 0;
  char32_t high = 0;
};

Candidates candidates(const std::string& s) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned lead = byte(0);
  std::size_t length = lead < 0x80             ? 1
                       : (lead & 0xE0) == 0xC0 ? 2
                       : (lead & 0xF0) == 0xE0 ? 3
                       : (lead & 0xF8) == 0xF0 ? 4
                                               : 0;
  if (length == 0 || s.size() > length) return {};
  char32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < s.size(); ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {};
    value = (value << 6) | (byte(i) & 0x3F);
  }
  const unsigned open_bits = static_cast<unsigned>(6 * (length - s.size()));
  return {length, value << open_bits, (value << open_bits) | ((char32_t{1} << open_bits) - 1)};
}

/// Whether `s` is the whole encoding of a scalar value (then `cp` is that value).
bool is_encoding(const std::string& s, char32_t& cp) {
  Candidates c = candidates(s);
  if (c.length != s.size()) return false;
  cp = c.low;
  return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && encode_utf8(cp) == s;
}

/// Whether some scalar value's shortest encoding begins with `s`.
bool is_prefix(const std::string& s) {
  Candidates c = candidates(s);
  if (c.length == 0) return false;
  static constexpr char32_t kFirst[] = {0, 0, 0x80, 0x800, 0x10000};
  static constexpr char32_t kLast[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  char32_t low = std::max(c.low, kFirst[c.length]);
  char32_t high = std::min(c.high, kLast[c.length]);
  return low <= high && !(low >= 0xD800 && high <= 0xDFFF);
}

struct Reference {
  std::string rendered;
  bool substituted = false;
};

Reference reference_render(const std::string& bytes) {
  Reference out;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t longest = 0;
    char32_t cp = 0;
    bool whole = false;
    for (std::size_t n = 1; n <= 4 && at + n <= bytes.size(); ++n) {
      if (is_encoding(bytes.substr(at, n), cp)) {
        whole = true;
        longest = n;
        break;
      }
      if (!is_prefix(bytes.substr(at, n))) break;
      longest = n;
    }
    if (!whole) {
      out.rendered += kFffd;
      out.substituted = true;
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
      out.rendered += escape;
    } else {
      out.rendered += bytes.substr(at, longest);
    }
    at += longest == 0 ? 1 : longest;
  }
  return out;
}

TEST(Render, AgreesWithTheReferenceOnRandomBytes) {
  std::mt19937 random{20240611};
  // Weighted towards lead and continuation bytes, where the interesting cases are.
  std::discrete_distribution<int> kind{{3, 4, 3, 1}};
  auto draw = [&]() -> char {
    switch (kind(random)) {
      case 0:
        return static_cast<char>(random() % 0x80);
      case 1:
        return static_cast<char>(0x80 + random() % 0x40);
      case 2:
        return static_cast<char>(0xC0 + random() % 0x40);
      default:
        return static_cast<char>(random() % 0x100);
    }
  };
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 10, '\0');
    for (char& b : bytes) b = draw();
    const Reference expected = reference_render(bytes);
    ASSERT_EQ(render_token(bytes), expected.rendered) << "round " << round;
    ASSERT_EQ(rendered_size(bytes), expected.rendered.size());
    ASSERT_EQ(is_valid_utf8(bytes), !expected.substituted) << "round " << round;
    // The same amid ASCII runs of every length around the eight-byte steps.
    const std::string padded =
        std::string(random() % 20, 'a') + bytes + std::string(random() % 20, 'b');
    ASSERT_EQ(is_valid_utf8(padded), !expected.substituted) << "round " << round;
  }
}

}  // namespace
}  // namespace tokenizer
