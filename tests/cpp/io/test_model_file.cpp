// The buffered writer's flushing rule and the line reader at buffer boundaries: what the model
// file's tests through Python cannot see.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tokenizer/io/file_io.hpp"

namespace tokenizer {
namespace {

// ---- Writer: what reaches the file after each piece ----

struct FlushCase {
  std::vector<std::size_t> pieces;   // sizes of the pieces written, in order
  std::vector<std::size_t> visible;  // bytes in the file after each piece
};

class WriterTable : public testing::TestWithParam<FlushCase> {};

std::size_t pending(int fd) {
  int count = 0;
  ioctl(fd, FIONREAD, &count);
  return static_cast<std::size_t>(count);
}

TEST_P(WriterTable, BuffersUntilTheNextPieceWouldNotFit) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  FileDescriptor read_end{ends[0]};
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);  // room for every case without blocking
  BufferedWriter out{FileDescriptor{ends[1]}};
  const FlushCase& c = GetParam();
  std::size_t total = 0;
  for (std::size_t i = 0; i < c.pieces.size(); ++i) {
    ASSERT_TRUE(out.write(std::string(c.pieces[i], 'x')).ok());
    total += c.pieces[i];
    EXPECT_EQ(pending(read_end.get()), c.visible[i]) << "after piece " << i;
  }
  ASSERT_TRUE(out.finish().ok());
  EXPECT_EQ(pending(read_end.get()), total);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterTable,
    testing::Values(FlushCase{{8000, 192, 1}, {0, 0, 8192}},     // exactly full still buffers
                    FlushCase{{100, 8100}, {0, 100}},            // does not fit: flush first
                    FlushCase{{100, 8192, 5}, {0, 8292, 8292}},  // a full-size piece goes direct
                    FlushCase{{20000}, {20000}}, FlushCase{{0, 0}, {0, 0}}));

// ---- Reader ----

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/pairloom-test-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    std::ofstream{path_, std::ios::binary} << content;
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// Every line the reader gives, then "<error: message>" if it stopped on a failure.
std::vector<std::string> read_lines(const std::string& content) {
  TempFile file{content};
  Result<FileDescriptor> fd = open_file(file.path());
  EXPECT_TRUE(fd.ok());
  LineReader reader{std::move(fd).value()};
  std::vector<std::string> lines;
  for (;;) {
    Result<bool> more = reader.next_line();
    if (!more.ok()) {
      lines.push_back("<error: " + more.error().message + ">");
      return lines;
    }
    if (!more.value()) return lines;
    lines.emplace_back(reader.line());
  }
}

using Lines = std::vector<std::string>;

TEST(LineReader, SplitsLikeTheFormatSays) {
  EXPECT_EQ(read_lines(""), Lines{});
  EXPECT_EQ(read_lines("\n"), Lines{""});
  EXPECT_EQ(read_lines("a\r\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(read_lines("a\r\r\nb\r"), (Lines{"a\r", "b\r"}));  // only a CR before an LF goes
  EXPECT_EQ(read_lines("a\n\nlast"), (Lines{"a", "", "last"}));
  EXPECT_EQ(read_lines("ok\n\xFF\nnever"),
            (Lines{"ok", "<error: stream did not contain valid UTF-8>"}));
}

TEST(LineReader, LinesCrossingBufferBoundaries) {
  // Line feeds (and a CR/LF split) right at, before and after the 8192-byte refills.
  for (std::size_t first : {8190u, 8191u, 8192u, 8193u, 3 * 8192u + 7}) {
    const std::string a(first, 'a');
    const std::string b(9000, 'b');
    EXPECT_EQ(read_lines(a + "\r\n" + b + "\n" + "c"), (Lines{a, b, "c"})) << first;
    // A multi-byte character cut by a refill is still one valid character.
    const std::string wide = std::string(first, 'a') + "\xE2\x82\xAC";
    EXPECT_EQ(read_lines(wide), Lines{wide}) << first;
  }
}

}  // namespace
}  // namespace tokenizer
