// Token rendering: a token's bytes as printable text.
#pragma once

#include <string>
#include <string_view>

namespace tokenizer::basic {

/// `bytes` decoded as UTF-8 (one U+FFFD per maximal ill-formed subpart) with every C0 control,
/// DEL and C1 control written as \uXXXX (four lower-case hex digits).
std::string render_token(std::string_view bytes);

/// Appends render_token(bytes) to `out`.
void append_rendered_token(std::string& out, std::string_view bytes);

}  // namespace tokenizer::basic
