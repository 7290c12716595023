#include "tokenizer/support/error.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace tokenizer {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one (fills the buffer).
[[maybe_unused]] const char* strerror_text(char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* strerror_text(int, const char* buffer) {
  return buffer;
}

std::string_view source_path(const char* file) {
  // Builds map the source root away; this also covers builds that did not.
  std::string_view path{file};
  std::size_t at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

Error Error::from_errno(int error) {
  char buffer[256] = {};
  const char* text = strerror_text(strerror_r(error, buffer, sizeof buffer), buffer);
  std::string message = text;
  message += " (os error ";
  message += std::to_string(error);
  message += ')';
  return {ErrorKind::os, error, std::move(message)};
}

void raise_fault(std::string message, std::source_location where) {
  char name[32] = "unnamed";
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::string_view path = source_path(where.file_name());
  std::fprintf(stderr, "pairloom: internal fault in thread '%s' at %.*s:%u:%u: %s\n", name,
               static_cast<int>(path.size()), path.data(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
  std::fflush(stderr);
  throw InternalFault{std::move(message), where};
}

}  // namespace tokenizer
