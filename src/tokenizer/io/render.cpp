#include "tokenizer/io/render.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace tokenizer {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr std::size_t kEscapeSize = 6;  // backslash, u, four hex digits

unsigned byte_at(std::string_view bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

bool is_printable_ascii(unsigned byte) {
  return byte >= 0x20 && byte < 0x7F;
}

/// C0 controls, DEL and C1 controls: the characters that rendering escapes.
bool is_control(char32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

/// Walks `bytes` once, telling `sink` what each stretch renders as: copied unchanged, one
/// U+FFFD, or an escape. Shared by rendering and by measuring, so the two cannot disagree.
template <class Sink>
void walk(std::string_view bytes, Sink& sink) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (is_printable_ascii(byte_at(bytes, at))) {
      // Most tokens are plain ASCII: copy the whole run at once.
      std::size_t end = at + 1;
      while (end < bytes.size() && is_printable_ascii(byte_at(bytes, end))) ++end;
      sink.copy(bytes.substr(at, end - at));
      at = end;
      continue;
    }
    Utf8Unit unit = next_utf8_unit(bytes.substr(at));
    if (!unit.well_formed) {
      sink.replacement();
    } else if (is_control(unit.code_point)) {
      sink.escape(unit.code_point);
    } else {
      sink.copy(bytes.substr(at, unit.length));
    }
    at += unit.length;
  }
}

struct Appender {
  std::string& out;

  void copy(std::string_view text) { out.append(text); }
  void replacement() { out.append(kReplacementUtf8); }
  void escape(char32_t code_point) {
    static constexpr char kHex[] = "0123456789abcdef";
    char escaped[kEscapeSize] = {
        '\\', 'u', '0', '0', kHex[(code_point >> 4) & 0xF], kHex[code_point & 0xF]};
    out.append(escaped, kEscapeSize);
  }
};

/// Counts what Appender would write. Saturates: with a 32-bit size_t, six bytes out per byte
/// in can exceed the address space, and callers must see "too big", not a wrapped count.
struct Measure {
  std::size_t size = 0;

  void add(std::size_t count) {
    size = count > std::numeric_limits<std::size_t>::max() - size
               ? std::numeric_limits<std::size_t>::max()
               : size + count;
  }
  void copy(std::string_view text) { add(text.size()); }
  void replacement() { add(kReplacementUtf8.size()); }
  void escape(char32_t) { add(kEscapeSize); }
};

}  // namespace

Utf8Unit next_utf8_unit(std::string_view bytes) {
  const unsigned lead = byte_at(bytes, 0);
  if (lead < 0x80) return {1, lead, true};
  // The continuation count and the range allowed for the second byte, which is where
  // overlong forms, surrogates and values above U+10FFFF are ruled out (Unicode table 3-7).
  std::size_t continuations = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, kReplacement, false};
  }
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (i >= bytes.size()) return {i, kReplacement, false};
    const unsigned next = byte_at(bytes, i);
    if (next < low || next > high) return {i, kReplacement, false};
    code_point = (code_point << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {continuations + 1, code_point, true};
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    // Runs of ASCII, the bulk of most texts, eight bytes at a time.
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    std::uint64_t word = 0;
    while (bytes.size() - at >= sizeof word &&
           (std::memcpy(&word, bytes.data() + at, sizeof word), (word & kHighBits) == 0)) {
      at += sizeof word;
    }
    if (at == bytes.size()) break;
    if (byte_at(bytes, at) < 0x80) {
      ++at;
      continue;
    }
    Utf8Unit unit = next_utf8_unit(bytes.substr(at));
    if (!unit.well_formed) return false;
    at += unit.length;
  }
  return true;
}

void append_rendered_token(std::string& out, std::string_view bytes) {
  Appender appender{out};
  walk(bytes, appender);
}

std::string render_token(std::string_view bytes) {
  std::string out;
  append_rendered_token(out, bytes);
  return out;
}

std::size_t rendered_size(std::string_view bytes) {
  Measure measure;
  walk(bytes, measure);
  return measure.size;
}

}  // namespace tokenizer
