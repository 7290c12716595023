#include "tokenizer/io/decode.hpp"

#include <string>
#include <vector>

#include "tokenizer/io/render.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/memory_budget.hpp"

namespace tokenizer {
Result<std::string> decode(const Vocabulary& vocab, std::span<const TokenId> ids,
                           const InterruptCheck& interrupt) {
  // Paced by ids looked up and bytes measured or rendered.
  InterruptPacer pace{interrupt};
  // Look every id up first: the first unknown id fails the call before any text is built, and
  // the raw sizes bound the work of measuring (rendering never shrinks a token).
  std::vector<const TokenBytes*> tokens;
  tokens.reserve(ids.size());
  std::size_t raw_size = 0;
  for (TokenId id : ids) {
    const TokenBytes* bytes = vocab.find(id);
    if (bytes == nullptr) return Error::invalid_input("invalid token ID: " + std::to_string(id));
    // The same long token repeated can describe more text than the machine could ever hold;
    // refuse that here rather than after rendering has filled memory.
    check_memory_budget(raw_size, bytes->size());
    raw_size += bytes->size();
    tokens.push_back(bytes);
    pace();
  }
  // Escapes make the text up to six times the raw size, so measure it exactly before
  // committing memory, then allocate once.
  std::size_t text_size = 0;
  for (const TokenBytes* bytes : tokens) {
    std::size_t size = rendered_size(*bytes);
    check_memory_budget(text_size, size);
    text_size += size;
    pace(bytes->size());
  }
  std::string text;
  text.reserve(text_size);
  for (const TokenBytes* bytes : tokens) {
    append_rendered_token(text, *bytes);
    pace(bytes->size());
  }
  return text;
}

}  // namespace tokenizer
