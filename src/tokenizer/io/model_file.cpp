#include "tokenizer/io/model_file.hpp"

#include <limits>
#include <string>

#include "tokenizer/io/file_io.hpp"
#include "tokenizer/io/render.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {
namespace {

// ---- Writing ----

Result<> write_model(const Model& tokenizer, BufferedWriter& out) {
  PAIRLOOM_TRY(out.write(VERSION, "\n"));
  PAIRLOOM_TRY(out.write(tokenizer.pattern, "\n"));
  PAIRLOOM_TRY(out.write(tokenizer.special_tokens.size(), "\n"));
  for (const auto& [text, id] : tokenizer.special_tokens) {
    PAIRLOOM_TRY(out.write(text, " ", id, "\n"));
  }
  // Merge ids are implied by position, so only the pairs are written.
  for (const auto& [pair, id] : tokenizer.merges) {
    PAIRLOOM_TRY(out.write(pair.left, " ", pair.right, "\n"));
  }
  return {};
}

// ---- Reading ----

Error invalid_data(const char* message) {
  return Error::invalid_data(message);
}

/// A decimal token id: an optional '+', then digits (leading zeros allowed). The first wrong
/// character, read from the left, decides the message.
Result<TokenId> parse_token_id(std::string_view text) {
  if (text.empty()) return invalid_data("cannot parse integer from empty string");
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return invalid_data("invalid digit found in string");
  constexpr TokenId kMax = std::numeric_limits<TokenId>::max();
  TokenId value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return invalid_data("invalid digit found in string");
    const auto digit = static_cast<TokenId>(c - '0');
    if (value > (kMax - digit) / 10) return invalid_data("number too large to fit in target type");
    value = value * 10 + digit;
  }
  return value;
}

/// Byte length of the White_Space character that starts `text` (not empty, valid UTF-8), or 0.
std::size_t whitespace_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead == ' ' || (lead >= 0x09 && lead <= 0x0D)) return 1;
  if (lead < 0x80) return 0;
  const Utf8Unit unit = next_utf8_unit(text);
  switch (unit.code_point) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return unit.length;
    default:
      return unit.code_point >= 0x2000 && unit.code_point <= 0x200A ? unit.length : 0;
  }
}

/// Length of the character that starts `text`, so that a field never ends inside one.
std::size_t character_length(std::string_view text) {
  return static_cast<unsigned char>(text.front()) < 0x80 ? 1 : next_utf8_unit(text).length;
}

/// The whitespace-separated fields of `line`, and how many there are. Stops counting at three,
/// which is already one too many for any line of the file.
struct Fields {
  std::string_view field[3];
  std::size_t count = 0;
};

Fields split_fields(std::string_view line) {
  Fields fields;
  std::size_t at = 0;
  while (at < line.size() && fields.count < 3) {
    if (std::size_t space = whitespace_length(line.substr(at))) {
      at += space;
      continue;
    }
    const std::size_t start = at;
    while (at < line.size() && whitespace_length(line.substr(at)) == 0) {
      at += character_length(line.substr(at));
    }
    fields.field[fields.count++] = line.substr(start, at - start);
  }
  return fields;
}

/// True when `bytes`, cut off anywhere, is valid UTF-8 up to a last character that the cut may
/// have left incomplete.
bool valid_utf8_prefix(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return true;
  for (std::size_t dropped = 1; dropped <= 3 && dropped <= bytes.size(); ++dropped) {
    const std::string_view kept = bytes.substr(0, bytes.size() - dropped);
    if (!is_valid_utf8(kept)) continue;
    // The dropped bytes begin a character when continuation bytes can complete it; these
    // three fillers suit every lead byte's allowed second byte.
    for (const char filler : {'\x80', '\x90', '\xA0'}) {
      for (std::size_t more = 1; dropped + more <= 4; ++more) {
        std::string character{bytes.substr(kept.size())};
        character.append(more, filler);
        if (is_valid_utf8(character)) return true;
      }
    }
  }
  return false;
}

/// Reads the first line and checks it is VERSION. No valid first line is longer, so a longer
/// one is refused as soon as a little more has been read, rather than read to its end (a
/// device can make it endless). The message is the one reading it whole would give, unless
/// the part never read would have failed differently (invalid UTF-8, a failing read).
Result<> read_version(LineReader& reader) {
  Result<bool> first = reader.next_line(VERSION.size());
  if (!first.ok()) return std::move(first).error();
  if (!first.value()) return invalid_data("missing version");
  if (reader.cut() && !valid_utf8_prefix(reader.line())) {
    return invalid_data("stream did not contain valid UTF-8");
  }
  if (reader.cut() || reader.line() != VERSION) return invalid_data("invalid version");
  return {};
}

/// Reads the next line into the reader, or fails with `missing` at the end of the file.
Result<> require_line(LineReader& reader, const char* missing) {
  Result<bool> more = reader.next_line();
  if (!more.ok()) return std::move(more).error();
  if (!more.value()) return invalid_data(missing);
  return {};
}

// The tables grow through make_room, which polls while a table of millions moves.

Result<> read_special_token(Model& tokenizer, std::string_view line, InterruptPacer& pacer) {
  const Fields fields = split_fields(line);
  if (fields.count != 2) return invalid_data("invalid special token entry");
  Result<TokenId> id = parse_token_id(fields.field[1]);
  if (!id.ok()) return std::move(id).error();
  tokenizer.special_tokens.make_room(pacer);
  tokenizer.special_tokens.insert_or_assign(fields.field[0], id.value());
  return {};
}

Result<> read_merge(Model& tokenizer, std::string_view line, TokenId id, InterruptPacer& pacer) {
  const Fields fields = split_fields(line);
  if (fields.count != 2) return invalid_data("invalid merge entry");
  Result<TokenId> left = parse_token_id(fields.field[0]);
  if (!left.ok()) return std::move(left).error();
  Result<TokenId> right = parse_token_id(fields.field[1]);
  if (!right.ok()) return std::move(right).error();
  tokenizer.merges.make_room(pacer);
  tokenizer.merges.insert_or_assign(TokenPair{left.value(), right.value()}, id);
  return {};
}

/// Reads the whole file into `tokenizer`. Every record takes effect as it is read, so a failure
/// leaves what came before it in place.
Result<> read_model(Model& tokenizer, LineReader& reader, InterruptPacer& pacer) {
  PAIRLOOM_TRY(read_version(reader));

  PAIRLOOM_TRY(require_line(reader, "missing pattern"));
  tokenizer.pattern = reader.take_line();  // moved, not copied: a pattern can be megabytes

  PAIRLOOM_TRY(require_line(reader, "missing number of special tokens"));
  Result<TokenId> count = parse_token_id(reader.line());
  if (!count.ok()) return std::move(count).error();
  // No reservation from the count: a damaged file can claim billions of entries.
  for (TokenId i = 0; i < count.value(); ++i) {
    PAIRLOOM_TRY(require_line(reader, "not enough special tokens"));
    PAIRLOOM_TRY(read_special_token(tokenizer, reader.line(), pacer));
  }

  for (TokenId id = kFirstMergeId;; ++id) {
    Result<bool> more = reader.next_line();
    if (!more.ok()) return std::move(more).error();
    if (!more.value()) return {};
    PAIRLOOM_TRY(read_merge(tokenizer, reader.line(), id, pacer));
  }
}

}  // namespace

Result<> save_model(const Model& tokenizer, std::string_view path,
                    const InterruptCheck& interrupt) {
  Result<FileDescriptor> file = create_file(path, interrupt);
  if (!file.ok()) return std::move(file).error();
  BufferedWriter out{std::move(file).value(), interrupt};
  PAIRLOOM_TRY(write_model(tokenizer, out));
  return out.finish();
}

Result<> load(Model& tokenizer, std::string_view path, const InterruptCheck& interrupt) {
  Result<FileDescriptor> file = open_file(path, interrupt);
  if (!file.ok()) return std::move(file).error();
  LineReader reader{std::move(file).value(), interrupt};
  InterruptPacer pacer{interrupt};
  PAIRLOOM_TRY(read_model(tokenizer, reader, pacer));
  reader.close();
  build_vocab(tokenizer, interrupt);
  return {};
}

}  // namespace tokenizer
