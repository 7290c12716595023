// Placeholder for operations still being built.
#include "tokenizer/basic/decode.hpp"
#include "tokenizer/basic/model_file.hpp"
#include "tokenizer/basic/render.hpp"
#include "tokenizer/basic/vocab_file.hpp"

namespace tokenizer::basic {

std::string render_token(std::string_view) { raise_fault("render_token is not implemented yet"); }
void append_rendered_token(std::string&, std::string_view) {
  raise_fault("render_token is not implemented yet");
}
IoResult<std::string> decode(const Vocabulary&, std::span<const TokenId>) {
  raise_fault("decode is not implemented yet");
}
IoResult<> save_model(const Tokenizer&, std::string_view) {
  raise_fault("save_model is not implemented yet");
}
IoResult<> load(Tokenizer&, std::string_view) { raise_fault("load is not implemented yet"); }
IoResult<> save_vocab(const Tokenizer&, std::string_view) {
  raise_fault("save_vocab is not implemented yet");
}

}  // namespace tokenizer::basic
