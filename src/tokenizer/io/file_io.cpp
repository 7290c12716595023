#include "tokenizer/io/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "tokenizer/io/render.hpp"
#include "tokenizer/support/memory_budget.hpp"

namespace tokenizer {
namespace {

/// `path` as the NUL-terminated string the system wants. A NUL inside it would silently cut the
/// name short, so it is refused.
Result<std::string> system_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Error::invalid_input("file name contained an unexpected NUL byte");
  }
  return std::string{path};
}

// A system call interrupted by a signal is tried again, but only after `interrupt` has had
// its say: the signal may be the user's Ctrl-C, and a FIFO or a full pipe can block for ever.
Result<FileDescriptor> open_path(std::string_view path, int flags,
                                 const InterruptCheck& interrupt) {
  Result<std::string> name = system_path(path);
  if (!name.ok()) return std::move(name).error();
  for (;;) {
    int fd = ::open(name.value().c_str(), flags | O_CLOEXEC, 0666);
    if (fd >= 0) return FileDescriptor{fd};
    if (errno != EINTR) return Error::from_errno(errno);
    interrupt();
  }
}

/// Writes all of `data`, resuming after short writes and interruptions (each of which polls).
Result<> write_all(int fd, const char* data, std::size_t size, InterruptPacer& pace) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno != EINTR) return Error::from_errno(errno);
      pace.poll_now();
      continue;
    }
    // A regular file never accepts nothing without an error; do not spin if one does.
    if (written == 0) return Error::from_errno(EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  (void)close();
}

Result<> FileDescriptor::close() {
  if (fd_ < 0) return {};
  int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close is interrupted, so it is never retried.
  if (::close(fd) != 0 && errno != EINTR) return Error::from_errno(errno);
  return {};
}

Result<FileDescriptor> create_file(std::string_view path, const InterruptCheck& interrupt) {
  return open_path(path, O_CREAT | O_TRUNC | O_WRONLY, interrupt);
}

Result<FileDescriptor> open_file(std::string_view path, const InterruptCheck& interrupt) {
  return open_path(path, O_RDONLY, interrupt);
}

Result<> BufferedWriter::write_piece(std::string_view piece) {
  if (piece.size() > buffer_.size() - used_) PAIRLOOM_TRY(flush());
  if (piece.size() >= buffer_.size()) {
    pace_(piece.size());
    return write_all(file_.get(), piece.data(), piece.size(), pace_);
  }
  std::memcpy(buffer_.data() + used_, piece.data(), piece.size());
  used_ += piece.size();
  return {};
}

Result<> BufferedWriter::write_piece(std::size_t number) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
  (void)error;  // 24 digits hold any 64-bit value
  return write_piece(std::string_view{digits, static_cast<std::size_t>(end - digits)});
}

Result<> BufferedWriter::flush() {
  if (used_ == 0) return {};
  // Whatever happens, the buffer is handed over once: after a failure the file's end is
  // unknown, and writing the same bytes again could only duplicate them.
  std::size_t size = used_;
  used_ = 0;
  pace_(size);
  return write_all(file_.get(), buffer_.data(), size, pace_);
}

Result<> BufferedWriter::finish() {
  PAIRLOOM_TRY(flush());
  return file_.close();
}

Result<bool> LineReader::fill() {
  for (;;) {
    pace_(buffer_.size());
    ssize_t got = ::read(file_.get(), buffer_.data(), buffer_.size());
    if (got < 0) {
      if (errno != EINTR) return Error::from_errno(errno);
      pace_.poll_now();
      continue;
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(got);
    return got > 0;
  }
}

Result<bool> LineReader::next_line(std::size_t longest) {
  line_.clear();
  cut_ = false;
  bool any = false;
  for (;;) {
    if (begin_ == end_) {
      Result<bool> more = fill();
      if (!more.ok()) return std::move(more).error();
      if (!more.value()) break;
    }
    any = true;
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* feed = std::memchr(start, '\n', available);
    const std::size_t take =
        feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - start) : available;
    // Beyond `longest` + 1 bytes (the last may be a carriage return before the feed) the line
    // is too long whatever follows: keep one byte more and stop reading.
    if (take > longest + 1 - line_.size()) {
      line_.append(start, longest + 2 - line_.size());
      begin_ = end_;
      cut_ = true;
      return true;
    }
    // A line that never ends (a damaged file, a device) must not take the machine's memory.
    check_memory_budget(line_.size(), take);
    line_.append(start, take);
    if (feed == nullptr) {
      begin_ = end_;
      continue;
    }
    begin_ += take + 1;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    break;
  }
  if (!any) return false;
  if (!is_valid_utf8(line_)) return Error::invalid_data("stream did not contain valid UTF-8");
  return true;
}

}  // namespace tokenizer
