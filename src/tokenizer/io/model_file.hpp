// The model file: header, pattern, special tokens and merges, one record per line.
#pragma once

#include <string_view>

#include "tokenizer/core/model.hpp"
#include "tokenizer/support/error.hpp"

namespace tokenizer {

/// The model file's first line.
inline constexpr std::string_view VERSION = "pairloom v1";

/// Writes the model file of `tokenizer` to `path` (created 0666 less the umask, or truncated):
/// the header, the pattern, the special-token count, "text id" per special token and
/// "left right" per merge, each line ending in a line feed. Merge ids are not written; the
/// reader numbers merges by position. A failed write leaves what already reached the file.
/// Polls `interrupt` as the file is written; an interruption (Interrupted thrown) leaves what
/// already reached the file, like a failed write.
Result<> save_model(const Model& tokenizer, std::string_view path,
                    const InterruptCheck& interrupt = {});

/// Reads the model file at `path` into `tokenizer`, adding to what it holds (the k-th merge
/// line gets id 256 + k), then rebuilds the vocabulary. Content faults fail with invalid data.
/// Each record takes effect as it is read and stays after a later failure (the pattern as soon
/// as its line is read); the vocabulary is rebuilt only after the whole file was read. Polls
/// `interrupt` while reading and rebuilding; an interruption leaves the same partial state as a
/// content fault at that point.
Result<> load(Model& tokenizer, std::string_view path, const InterruptCheck& interrupt = {});

}  // namespace tokenizer
