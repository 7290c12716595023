// Helpers shared by the fuzz targets: in-memory files that the engine opens by path, and a
// check that reports a broken property and aborts, so that libFuzzer keeps the input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace fuzz {

/// A broken property, thrown instead of aborting when the targets' checks are replayed over
/// their corpora inside the engine's test suite.
class PropertyBroken : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              const std::string& detail) {
  const std::string report =
      std::string(file) + ":" + std::to_string(line) + ": property broken: " + what + "\n" + detail;
#ifdef PAIRLOOM_FUZZ_REPLAY
  throw PropertyBroken(report);
#else
  std::fprintf(stderr, "%s\n", report.c_str());
  std::fflush(stderr);
  std::abort();
#endif
}

/// Aborts with `detail` (any expression giving a std::string) when `condition` is false.
#define FUZZ_CHECK(condition, detail)                                                    \
  do {                                                                                   \
    if (!(condition)) ::fuzz::fail(__FILE__, __LINE__, #condition, std::string(detail)); \
  } while (false)

/// A file that lives in memory only (memfd). The engine opens it by the path
/// /proc/self/fd/N, so reading and writing go through the same system calls as on disk,
/// without touching the disk and without names that concurrent jobs could share.
class MemoryFile {
 public:
  MemoryFile() : fd_{memfd_create("pairloom-fuzz", MFD_CLOEXEC)} {
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& path() const { return path_; }

  /// Replaces the content by `bytes`.
  void write(std::string_view bytes) {
    if (::ftruncate(fd_, 0) != 0) abort_on("ftruncate");
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) abort_on("pwrite");
      done += static_cast<std::size_t>(n);
    }
  }

  /// The whole content.
  std::string read() const {
    std::string bytes;
    char buffer[4096];
    for (off_t at = 0;;) {
      ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n < 0) abort_on("pread");
      if (n == 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }

 private:
  [[noreturn]] static void abort_on(const char* what) {
    std::perror(what);
    std::abort();
  }

  int fd_;
  std::string path_;
};

/// Printable form of some bytes for failure reports: C-style escapes for everything outside
/// printable ASCII.
inline std::string escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f && b != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

}  // namespace fuzz
