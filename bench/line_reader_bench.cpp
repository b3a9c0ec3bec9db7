// Micro-benchmarks of the line reader: counting, reading and copying model lines through LineFile.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "runtime/io_result.h"
#include "runtime/line_file.h"
#include "runtime/platform/platform.h"

namespace {

// The path of a cached 16 MiB model file of CR LF lines of 20 to 120 characters, made on first
// use in $TMPDIR (or /tmp) and removed at exit.
const std::string& ModelFile() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr ? dir : "/tmp") + "/kg-line-reader-bench-" +
                       std::to_string(getpid()) + ".mo";
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::mt19937 random(1);
    std::uniform_int_distribution<int> length(20, 120);
    std::uniform_int_distribution<int> printable(33, 126);
    std::string line;
    for (std::size_t written = 0; written < (16u << 20); written += line.size()) {
      line.assign(static_cast<std::size_t>(length(random)), ' ');
      for (char& c : line) c = static_cast<char>(printable(random));
      line += "\r\n";
      std::fwrite(line.data(), 1, line.size(), file);
    }
    std::fclose(file);
    return name;
  }();
  return path;
}

// Opens the model file for reading in `file`; stops the benchmark when that fails.
bool OpenModel(benchmark::State& state, kg::LineFile& file) {
  file.Bind(ModelFile());
  file.OpenForReading();
  if (kg::IoResult() == 0) return true;
  state.SkipWithError("the model file cannot be opened");
  return false;
}

// Counts the model file's lines one at a time with AtEnd and SkipLine (the tool counts with
// LineFile::CountLines, in one scan); the argument is the block size.
void BM_CountLines(benchmark::State& state) {
  kg::LineFile file(static_cast<std::size_t>(state.range(0)));
  std::int64_t bytes = 0;
  for (auto _ : state) {
    if (!OpenModel(state, file)) return;
    std::int64_t lines = 0;
    while (!file.AtEnd()) {
      file.SkipLine();
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
    file.Close();
    bytes += static_cast<std::int64_t>(16u << 20);
  }
  state.SetBytesProcessed(bytes);
}

// Reads every line whole into a buffer with ReadLine, then skips its line end.
void BM_ReadLines(benchmark::State& state) {
  kg::LineFile file(static_cast<std::size_t>(state.range(0)));
  char line[256];
  std::int64_t bytes = 0;
  for (auto _ : state) {
    if (!OpenModel(state, file)) return;
    std::size_t characters = 0;
    while (!file.AtEnd()) {
      characters += file.ReadLine(line, sizeof line);
      file.SkipLine();
    }
    benchmark::DoNotOptimize(characters);
    file.Close();
    bytes += static_cast<std::int64_t>(16u << 20);
  }
  state.SetBytesProcessed(bytes);
}

// Copies every line to a named output file beside the model file, the way the merge does:
// a two-character prefix by ReadLine, the rest by CopyLineRest, then EndLine and SkipLine.
void BM_CopyLines(benchmark::State& state) {
  kg::LineFile file(static_cast<std::size_t>(state.range(0)));
  kg::LineFile output(static_cast<std::size_t>(state.range(0)));
  const std::string output_name = ModelFile() + ".out";
  char prefix[2];
  std::int64_t bytes = 0;
  for (auto _ : state) {
    if (!OpenModel(state, file)) return;
    output.Bind(output_name);
    output.OpenForWriting();
    while (!file.AtEnd()) {
      output.WriteText(std::string_view(prefix, file.ReadLine(prefix, sizeof prefix)));
      file.CopyLineRest(output);
      output.EndLine();
      file.SkipLine();
    }
    file.Close();
    output.Close();
    if (kg::IoResult() != 0) {
      state.SkipWithError("the copy failed");
      return;
    }
    bytes += static_cast<std::int64_t>(16u << 20);
  }
  state.SetBytesProcessed(bytes);
  std::remove(output_name.c_str());
}

BENCHMARK(BM_CountLines)->Arg(kg::LineFile::kConsoleBlockSize)->Arg(kg::LineFile::kFileBlockSize);
BENCHMARK(BM_ReadLines)->Arg(kg::LineFile::kConsoleBlockSize)->Arg(kg::LineFile::kFileBlockSize);
BENCHMARK(BM_CopyLines)->Arg(kg::LineFile::kFileBlockSize);

}  // namespace

// Runs the benchmarks, then removes the model file.
int main(int argc, char** argv) {
  kg::platform::InitializeProcess(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(ModelFile().c_str());
  return 0;
}
