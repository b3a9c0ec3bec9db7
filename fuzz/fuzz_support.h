// Shared pieces of the fuzzing harnesses: files in memory that line files open by name, the
// reference reading of a model file's bytes, and the check that stops a run on a wrong result.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace kg::fuzz {

// Ends the run with `what` on standard error when `condition` is false; libFuzzer then keeps the
// input that caused it.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "harness check failed: %s\n", what);
  std::abort();
}

// A file held in memory that any open by its name ("/proc/self/fd/N") reaches, from its start.
// Only a descriptor for reading stays open, as a writer's would keep the line files from holding
// the file against writers.
class MemoryFile {
 public:
  // Makes an empty file; ends the run when the system cannot.
  explicit MemoryFile(const char* label) {
    int made = memfd_create(label, 0);
    Require(made >= 0, "memfd_create");
    fd_ = open(("/proc/self/fd/" + std::to_string(made)).c_str(), O_RDONLY | O_CLOEXEC);
    close(made);
    Require(fd_ >= 0, "memfd reopened for reading");
    name_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& name() const { return name_; }
  int fd() const { return fd_; }

  // Makes `bytes` the whole content of the file; nothing may hold it against writers.
  void Replace(std::string_view bytes) {
    int writer = open(name_.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    Require(writer >= 0, "memfd opened for writing");
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t put =
          pwrite(writer, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      Require(put > 0, "pwrite");
      done += static_cast<std::size_t>(put);
    }
    close(writer);
  }

  // The whole content of the file.
  std::string Contents() const {
    std::string data;
    char chunk[65536];
    for (;;) {
      ssize_t got = pread(fd_, chunk, sizeof chunk, static_cast<off_t>(data.size()));
      Require(got >= 0, "pread");
      if (got == 0) return data;
      data.append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  int fd_;
  std::string name_;
};

// The readable text of a file's bytes: everything before the first byte 26.
inline std::string_view ReadableText(std::string_view bytes) {
  return bytes.substr(0, bytes.find('\x1a'));
}

// The lines of a file's bytes as a line read delivers them: the text ends at the first byte 26;
// a line ends at LF, and a CR right before the LF belongs to the line end; every other CR is
// dropped; the last line needs no line end, and a final line end is not followed by an empty line.
inline std::vector<std::string> ReferenceLines(std::string_view bytes) {
  std::string_view text = ReadableText(bytes);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t lf = text.find('\n', start);
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string line;
    for (char c : text.substr(start, end - start)) {
      if (c != '\r') line += c;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace kg::fuzz
