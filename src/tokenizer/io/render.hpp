// Token rendering: a token's bytes as printable text, and the UTF-8 scanning it rests on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tokenizer {

/// One step of a UTF-8 scan: a well-formed character, or a maximal ill-formed subpart.
struct Utf8Unit {
  std::size_t length = 0;    ///< bytes taken, 1 to 4; never 0 while input is left
  char32_t code_point = 0;   ///< the character; U+FFFD for an ill-formed subpart
  bool well_formed = false;  ///< false for an ill-formed subpart
};

/// The unit that starts `bytes` (which must not be empty). An ill-formed subpart is the longest
/// start of a well-formed sequence found there, or the single byte when no sequence starts with
/// it: the Unicode practice of substituting maximal subparts, which Python's decoder follows.
Utf8Unit next_utf8_unit(std::string_view bytes);

/// Whether `bytes` are well-formed UTF-8 throughout.
bool is_valid_utf8(std::string_view bytes);

/// `bytes` decoded as UTF-8 (one U+FFFD per maximal ill-formed subpart) with every C0 control,
/// DEL and C1 control written as \uXXXX (four lower-case hex digits). Not reversible: a token
/// that spells "\u000a" renders like a line feed.
std::string render_token(std::string_view bytes);

/// Appends render_token(bytes) to `out`.
void append_rendered_token(std::string& out, std::string_view bytes);

/// render_token(bytes).size(), without building the text; the largest size_t when that size
/// would not fit in one. Lets callers refuse output that would not fit in memory before they
/// start building it.
std::size_t rendered_size(std::string_view bytes);

}  // namespace tokenizer
