// File access for the model file and the vocabulary listing: an owned descriptor, opening by
// path, a buffered writer and a streamed line reader.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "tokenizer/support/error.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"

namespace tokenizer {

/// Size of the write buffer and of the read buffer.
inline constexpr std::size_t kFileBufferSize = 8192;

/// An open file descriptor, closed when its owner goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_{fd} {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_{other.fd_} { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  /// The descriptor, or -1 once closed.
  int get() const { return fd_; }

  /// Closes now. Reports what only close can tell: a write that the system had deferred and
  /// that failed. Closing twice does nothing.
  Result<> close();

 private:
  int fd_ = -1;
};

/// Opens `path` for writing: created with mode 0666 less the umask, or truncated; close-on-exec.
/// An open interrupted by a signal (a FIFO without a reader blocks) polls `interrupt`, which
/// may throw Interrupted, and otherwise tries again.
Result<FileDescriptor> create_file(std::string_view path, const InterruptCheck& interrupt = {});

/// Opens `path` for reading only; close-on-exec. Interruptions as for create_file.
Result<FileDescriptor> open_file(std::string_view path, const InterruptCheck& interrupt = {});

/// Writes text to a file through an 8192-byte buffer. Each piece (a literal or one formatted
/// number) is appended whole: the buffer goes out first when the piece would not fit in the
/// space left, and a piece of a buffer's size or more goes straight to the file. Polls
/// `interrupt` (which may throw Interrupted) paced by the bytes written, and when a write is
/// interrupted by a signal.
class BufferedWriter {
 public:
  explicit BufferedWriter(FileDescriptor file, InterruptCheck interrupt = {})
      : file_{std::move(file)}, pace_{interrupt} {}

  /// Writes the pieces in order; a string_view is one piece, a number one piece in decimal.
  /// Stops at the first failure.
  template <class... Pieces>
  Result<> write(const Pieces&... pieces) {
    Result<> result;
    (void)((result = write_piece(pieces), result.ok()) && ...);
    return result;
  }

  /// Sends what the buffer holds to the file.
  Result<> flush();

  /// Flushes and closes the file; the writer is spent afterwards.
  Result<> finish();

 private:
  Result<> write_piece(std::string_view piece);
  Result<> write_piece(std::size_t number);

  FileDescriptor file_;
  InterruptPacer pace_;
  std::size_t used_ = 0;
  std::array<char, kFileBufferSize> buffer_;
};

/// Reads a file line by line through an 8192-byte buffer. A line ends at a line feed, which is
/// dropped together with a carriage return right before it; the last line may lack its line
/// feed. Only the current line is held, however long. Polls `interrupt` (which may throw
/// Interrupted) paced by the bytes read, and when a read is interrupted by a signal.
class LineReader {
 public:
  explicit LineReader(FileDescriptor file, InterruptCheck interrupt = {})
      : file_{std::move(file)}, pace_{interrupt} {}

  /// Reads the next line; false at the end of the file. Fails with the system's error, or with
  /// invalid data "stream did not contain valid UTF-8". Throws std::bad_alloc for a line
  /// longer than the memory budget allows.
  Result<bool> next_line() { return next_line(kAnyLength); }

  /// As next_line(), but a line of more than `longest` + 1 bytes before its line feed is cut
  /// short: line() holds its first `longest` + 2 bytes, unchecked, `cut()` is true, and nothing
  /// more is read. The reader is spent then.
  Result<bool> next_line(std::size_t longest);

  /// True when the last line read was cut short.
  bool cut() const { return cut_; }

  /// The line the last successful next_line read. Valid until the next call.
  std::string_view line() const { return line_; }

  /// Moves the line the last successful next_line read out of the reader (for a long line
  /// that is kept whole, to avoid holding it twice).
  std::string take_line() { return std::move(line_); }

  /// Closes the file early.
  void close() { (void)file_.close(); }

 private:
  static constexpr std::size_t kAnyLength = static_cast<std::size_t>(-1) / 2;

  /// Refills the buffer; false at the end of the file.
  Result<bool> fill();

  FileDescriptor file_;
  InterruptPacer pace_;
  std::string line_;
  bool cut_ = false;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::array<char, kFileBufferSize> buffer_;
};

}  // namespace tokenizer
