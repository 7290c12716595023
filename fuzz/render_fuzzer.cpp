// Fuzz target: token rendering against a reference written from the other direction. The
// reference knows UTF-8 only as the encoder of Unicode scalar values: it encodes every scalar
// value once, and takes a byte sequence as well formed exactly when it is such an encoding and
// as the start of one when it is a proper prefix of one. From that it substitutes maximal
// subparts (the longest start of a well-formed sequence, else one byte) by U+FFFD and escapes
// the C0 controls, DEL and the C1 controls as \uXXXX.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "tokenizer/io/render.hpp"

namespace {

using fuzz::escaped;

std::string encode_scalar(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

/// Key of a byte string of 1 to 4 bytes: the bytes, big end first, after a length byte.
std::uint64_t key_of(std::string_view bytes) {
  std::uint64_t key = bytes.size();
  for (char c : bytes) key = (key << 8) | static_cast<unsigned char>(c);
  return key;
}

/// What the encoder of all scalar values can produce: for each encoding of 1 to 4 bytes the
/// scalar value, and the set of its proper prefixes. Bitmaps indexed by key_of.
struct Utf8Oracle {
  std::vector<bool> prefix_1 = std::vector<bool>(1u << 8);
  std::vector<bool> prefix_2 = std::vector<bool>(1u << 16);
  std::vector<bool> prefix_3 = std::vector<bool>(1u << 24);
  std::vector<bool> whole_1 = std::vector<bool>(1u << 8);
  std::vector<bool> whole_2 = std::vector<bool>(1u << 16);
  std::vector<bool> whole_3 = std::vector<bool>(1u << 24);

  Utf8Oracle() {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;  // surrogates are no scalar values
      const std::string bytes = encode_scalar(c);
      for (std::size_t n = 1; n < bytes.size(); ++n) mark(prefixes(n), bytes.substr(0, n));
      if (bytes.size() < 4) mark(wholes(bytes.size()), bytes);
    }
  }

  /// A four-byte sequence is whole when its first three bytes are a proper prefix of some
  /// four-byte encoding and the last byte could complete it (every four-byte encoding ends in
  /// 80..BF, and all of those complete any prefix: no scalar value is missing from a block of 64).
  bool is_whole(std::string_view bytes) const {
    if (bytes.size() < 4) return wholes(bytes.size())[index(bytes)];
    const auto last = static_cast<unsigned char>(bytes[3]);
    return static_cast<unsigned char>(bytes[0]) >= 0xF0 && prefix_3[index(bytes.substr(0, 3))] &&
           last >= 0x80 && last <= 0xBF;
  }
  bool is_proper_prefix(std::string_view bytes) const {
    return bytes.size() < 4 && prefixes(bytes.size())[index(bytes)];
  }

  static std::size_t index(std::string_view bytes) {
    return static_cast<std::size_t>(key_of(bytes) & ((std::uint64_t{1} << (8 * bytes.size())) - 1));
  }

 private:
  const std::vector<bool>& prefixes(std::size_t n) const {
    return n == 1 ? prefix_1 : n == 2 ? prefix_2 : prefix_3;
  }
  std::vector<bool>& prefixes(std::size_t n) {
    return n == 1 ? prefix_1 : n == 2 ? prefix_2 : prefix_3;
  }
  const std::vector<bool>& wholes(std::size_t n) const {
    return n == 1 ? whole_1 : n == 2 ? whole_2 : whole_3;
  }
  std::vector<bool>& wholes(std::size_t n) { return n == 1 ? whole_1 : n == 2 ? whole_2 : whole_3; }
  static void mark(std::vector<bool>& set, std::string_view bytes) { set[index(bytes)] = true; }
};

const Utf8Oracle& oracle() {
  static const Utf8Oracle instance;
  return instance;
}

/// Decodes a whole encoding of 1 to 4 bytes.
char32_t scalar_of(std::string_view bytes) {
  static constexpr unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = static_cast<unsigned char>(bytes[0]) & kLeadMask[bytes.size()];
  for (std::size_t i = 1; i < bytes.size(); ++i)
    c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3F);
  return c;
}

struct Reference {
  std::string text;
  bool valid = true;
};

Reference reference_render(std::string_view bytes) {
  const Utf8Oracle& utf8 = oracle();
  Reference out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t whole = 0;
    for (std::size_t n = 1; n <= 4 && at + n <= bytes.size(); ++n) {
      if (utf8.is_whole(bytes.substr(at, n))) {
        whole = n;
        break;
      }
    }
    if (whole == 0) {
      std::size_t part = 1;
      for (std::size_t n = 3; n >= 2; --n) {
        if (at + n <= bytes.size() && utf8.is_proper_prefix(bytes.substr(at, n))) {
          part = n;
          break;
        }
      }
      out.text += "\xEF\xBF\xBD";
      out.valid = false;
      at += part;
      continue;
    }
    const char32_t c = scalar_of(bytes.substr(at, whole));
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out.text += escape;
    } else {
      out.text.append(bytes.substr(at, whole));
    }
    at += whole;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)oracle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tokenizer;
  const std::string_view bytes{reinterpret_cast<const char*>(data), size};
  const Reference expected = reference_render(bytes);

  const std::string rendered = render_token(bytes);
  FUZZ_CHECK(rendered == expected.text, "input " + escaped(bytes) + "\n got " + escaped(rendered) +
                                            "\nwant " + escaped(expected.text));
  FUZZ_CHECK(rendered_size(bytes) == rendered.size(), "rendered_size " + escaped(bytes));
  FUZZ_CHECK(is_valid_utf8(bytes) == expected.valid, "is_valid_utf8 " + escaped(bytes));
  FUZZ_CHECK(is_valid_utf8(rendered), "rendering is not UTF-8");

  // Appending keeps what the string held.
  std::string appended = "[";
  append_rendered_token(appended, bytes);
  FUZZ_CHECK(appended == "[" + rendered, "append_rendered_token");

  // The scan one unit at a time covers the input exactly, and a unit is well formed exactly
  // when it re-renders as itself (or its escape) rather than U+FFFD.
  for (std::size_t at = 0; at < bytes.size();) {
    const Utf8Unit unit = next_utf8_unit(bytes.substr(at));
    FUZZ_CHECK(unit.length >= 1 && unit.length <= 4 && at + unit.length <= bytes.size(),
               "unit length at " + std::to_string(at));
    const Reference alone = reference_render(bytes.substr(at, unit.length));
    FUZZ_CHECK(alone.valid == unit.well_formed, "unit at " + std::to_string(at));
    FUZZ_CHECK(unit.well_formed || unit.code_point == 0xFFFD, "ill-formed unit code point");
    at += unit.length;
  }
  return 0;
}
