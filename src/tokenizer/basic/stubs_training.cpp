// Placeholder for operations still being built.
#include "tokenizer/basic/encode.hpp"
#include "tokenizer/basic/train.hpp"

namespace tokenizer::basic {

void train(Tokenizer&, std::string_view, std::size_t, const InterruptCheck&) {
  raise_fault("train is not implemented yet");
}
std::vector<TokenId> encode(const MergeTable&, std::string_view, const InterruptCheck&) {
  raise_fault("encode is not implemented yet");
}

}  // namespace tokenizer::basic
