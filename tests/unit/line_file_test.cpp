// Line files and console streams: line syntax, end of text, block rules, codes and sharing.
#include "runtime/line_file.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "app/merge.h"
#include "runtime/line_scan.h"
#include "tests/unit/unit_support.h"

namespace kg {
namespace {

using fake::Call;
using fake::Fake;
using Lines = std::vector<std::string>;

class LineFileReading : public FakeTest {};
class LineFileWriting : public FakeTest {};
class LineFileOpening : public FakeTest {};
class ConsoleStreams : public FakeTest {};

// The bytes of `lines` as written: each ended by CR LF.
std::string Joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

using Mode = LineFile::Mode;

// Binds `file` to `name` and opens it in `mode` (kReading or kWriting).
void Open(LineFile& file, const char* name, Mode mode) {
  file.Bind(name);
  mode == Mode::kWriting ? file.OpenForWriting() : file.OpenForReading();
}

// Reads a line file open for reading the way the tool counts and reads it: end test, read line
// of 255, skip line.
Lines ReadAllLines(LineFile& file) {
  Lines lines;
  char line[255];
  while (!file.AtEnd() && lines.size() < 100) {
    lines.emplace_back(line, file.ReadLine(line, sizeof line));
    file.SkipLine();
  }
  return lines;
}

struct ReadCase {
  const char* name;
  std::string bytes;
  Lines lines;  // whole, as CopyLineRest gives them
};

// Files and the lines they hold; four of them place a line end, a lone CR, a byte 26 and a marker
// line where a block of `block` bytes ends, three a CR where vector scans end a round.
std::vector<ReadCase> MakeReadCases(std::size_t block) {
  std::string filler(block - 2, 'x'), mark(1, kEndOfText);
  std::string mega, mega_with_crs;  // a line of a megabyte, with lone CRs in between
  for (int i = 0; mega.size() < (1 << 20); ++i) {
    std::string piece = "piece " + std::to_string(i) + ";";
    mega += piece;
    mega_with_crs += piece + "\r";
  }
  return {
      {"Empty", "", {}},
      {"NoLineEnd", "A", {"A"}},
      {"CrLfLines", "one\r\ntwo\r\n", {"one", "two"}},
      {"LfLines", "one\ntwo\n", {"one", "two"}},
      {"LoneCrIsDropped", "A\rB\r\n", {"AB"}},
      {"CrAtEndOfData", "A\r", {"A"}},
      {"MarkAfterFirstLine", "A\r\n" + mark + "B\r\n", {"A"}},
      {"MarkInsideLine", "AB" + mark + "CD\r\nEF\r\n", {"AB"}},
      {"MarkFirst", mark + "A\r\n", {}},
      {"ZeroAnd255PassThrough", std::string("\0\xff\r\n", 4), {std::string("\0\xff", 2)}},
      {"LongLine", std::string(300, 'y') + "\r\nnext", {std::string(300, 'y'), "next"}},
      {"Exactly255", std::string(255, 'z') + "\r\nB", {std::string(255, 'z'), "B"}},
      {"CrLfSplitAcrossBlocks", filler + "a\r\nB\r\n", {filler + "a", "B"}},
      {"LoneCrAtBlockEnd", filler + "a\ry\r\n", {filler + "ay"}},
      {"MarkFirstInBlock", filler + "\r\n" + mark + "C\r\n", {filler}},
      {"MegabyteLine", mega_with_crs + "\r\nnext\r\n", {mega, "next"}},
      {"MarkerAcrossBlocks", filler + "\n@3 z\r\n", {filler, "@3 z"}},
      {"LoneCrEndsA64ByteRound",
       std::string(63, 'x') + "\r" + std::string(99, 'y') + "\r\n@3\r\n",
       {std::string(63, 'x') + std::string(99, 'y'), "@3"}},
      {"CrLfAcrossTheLastVectors",
       std::string(63, 'a') + "\r\n" + std::string(14, 'b') + "\r\n" + std::string(14, 'c') + "\n",
       {std::string(63, 'a'), std::string(14, 'b'), std::string(14, 'c')}},
      {"BareLfsFirstInBothSections",
       "\n" + std::string(200, 'w') + "\r\n@3\r\n\n" + std::string(200, 'u') + "\r\n",
       {"", std::string(200, 'w'), "@3", "", std::string(200, 'u')}},
      {"LoneCrHidesAnEarlierMarker",
       std::string(70, 'v') + "\r\n@\r3 x\r\nb\r\n@3 y\r\n",
       {std::string(70, 'v'), "@3 x", "b", "@3 y"}},
  };
}

// The cases for a block size, made once.
const std::vector<ReadCase>& ReadCases(std::size_t block) {
  static std::map<std::size_t, std::vector<ReadCase>> made;
  auto found = made.find(block);
  if (found == made.end()) found = made.emplace(block, MakeReadCases(block)).first;
  return found->second;
}

// A block size, the most bytes one ReadFile delivers (0: a whole block; 1, or 61, which ends
// reads where blocks do not) and a case's index.
struct Reading {
  std::size_t block;
  std::size_t read_limit;
  std::size_t index;
};

// How GoogleTest shows a reading (in every ctest line): the case, the block size, the read style.
void PrintTo(const Reading& r, std::ostream* os) {
  *os << ReadCases(r.block)[r.index].name << ", block " << r.block << ", "
      << (r.read_limit == 0 ? "whole-block" : std::to_string(r.read_limit) + "-byte") << " reads";
}

std::vector<Reading> AllReadings() {
  std::vector<Reading> all;
  for (std::size_t block :
       {LineFile::kConsoleBlockSize, LineFile::kFileBlockSize, LineFile::kReadBlockSize}) {
    for (std::size_t limit : {0, 1, 61}) {
      for (std::size_t i = 0; i < ReadCases(block).size(); ++i) all.push_back({block, limit, i});
    }
  }
  return all;
}

class LineSyntax : public FakeTest, public ::testing::WithParamInterface<Reading> {};

INSTANTIATE_TEST_SUITE_P(Cases, LineSyntax, ::testing::ValuesIn(AllReadings()),
                         [](const ::testing::TestParamInfo<Reading>& info) {
                           const Reading& r = info.param;
                           return std::string(ReadCases(r.block)[r.index].name) + "_Block" +
                                  std::to_string(r.block) +
                                  (r.read_limit == 0
                                       ? "_WholeBlock"
                                       : "_" + std::to_string(r.read_limit) + "Byte") +
                                  "Reads";
                         });

// Reads the case's file by line and copies it line by line, from the same line file reopened;
// then, with each scan kernel this processor runs, counts it and merges it with itself as the tool
// does, which gives all its lines again.
TEST_P(LineSyntax, ReadCountAndCopy) {
  const Reading& r = GetParam();
  const ReadCase& c = ReadCases(r.block)[r.index];
  Fake().read_limit = r.read_limit;
  Fake().files = {{"in", c.bytes}};
  LineFile in(r.block), out(r.block);
  Open(in, "in", Mode::kReading);
  Lines cut;
  for (const std::string& line : c.lines) cut.push_back(line.substr(0, 255));
  EXPECT_EQ(ReadAllLines(in), cut);
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(in.ReadChar(), kEndOfText);

  in.OpenForReading();  // rewinds
  Open(out, "out", Mode::kWriting);
  while (!in.AtEnd()) {
    in.CopyLineRest(out);
    out.EndLine();
    in.SkipLine();
  }
  out.Close();
  in.Close();
  EXPECT_EQ(Fake().files["out"], Joined(c.lines));
  EXPECT_EQ(IoResult(), 0);
  EXPECT_EQ(Fake().open_handles, 0);

  // Held, sections longer than the output's block go inside the system. Unheld, the inputs are
  // printed as they are read, counted with the plain kernels and merged with these, and the
  // let-go finds the same prints however the reads cut the bytes.
  Fake().copies = true;
  for (scan::Kernels kernels : scan::kEveryKernels) {
    for (bool unheld : {false, true}) {
      if (!scan::UseKernels(unheld ? scan::Kernels::kPlain : kernels)) continue;
      if (unheld) Fake().unheld = {"in"};
      LineFile first(r.block), second(r.block), merged(r.block);
      Open(first, "in", Mode::kReading);
      Open(second, "in", Mode::kReading);
      EXPECT_EQ(first.CountLines(app::kSectionMarker), static_cast<std::int64_t>(c.lines.size()));
      EXPECT_EQ(second.CountLines(app::kSectionMarker), static_cast<std::int64_t>(c.lines.size()));
      scan::UseKernels(kernels);
      first.OpenForReading();
      second.OpenForReading();
      Open(merged, "merged", Mode::kWriting);
      app::MergeSections(first, second, merged, [](app::MergeInput) {});
      merged.Close();
      EXPECT_EQ(Fake().files["merged"], Joined(c.lines)) << "kernels " << static_cast<int>(kernels);
      EXPECT_EQ(IoResult(), 0) << "kernels " << static_cast<int>(kernels) << ", unheld " << unheld;
      Fake().unheld.clear();
    }
  }
  // Every read into a named file's block lands on an aligned address, whatever bytes the block
  // kept (a CR at its edge) and however the reads before it were cut.
  for (const void* at : Fake().read_addresses) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(at) % LineFile::kBlockAlignment, 0u) << at;
  }
}

TEST_F(LineFileReading, EndOfDataIsAMarkThatAsksTheSystemNoMore) {
  Fake().files = {{"in", "A\r\n"}};
  LineFile in(LineFile::kConsoleBlockSize);
  Open(in, "in", Mode::kReading);
  EXPECT_EQ(ReadAllLines(in), Lines{"A"});
  int reads = fake::Calls(Call::kReadFile);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(in.ReadChar(), kEndOfText);
    in.SkipLine();
  }
  EXPECT_EQ(fake::Calls(Call::kReadFile), reads);
}

TEST_F(LineFileReading, ReopenRewindsTheSameOpenFile) {
  Fake().files = {{"in", "first\r\nsecond\r\n"}};
  LineFile in;
  Open(in, "in", Mode::kReading);
  in.SkipLine();
  in.OpenForReading();
  EXPECT_EQ(ReadAllLines(in), (Lines{"first", "second"}));
  // The name is not looked up again: whatever took it meanwhile is not what gets read.
  EXPECT_EQ(fake::Calls(Call::kCreateFile), 1);
  EXPECT_EQ(fake::Calls(Call::kCloseHandle), 0);
  EXPECT_EQ(Fake().open_handles, 1);
}

// A read that fails inside a line being copied: the output keeps the copy up to the failure,
// written out at once, and takes nothing after it.
TEST_F(LineFileReading, FailedReadKeepsTheCopyUpToIt) {
  struct {
    std::string bytes;
    std::size_t read_limit;
    const char* prefix;  // null: CopyLineRest; else CopyLinesUntil with it
    std::string kept;
  } const cases[] = {
      {"aaaa\nbbbb\nc\n", 7, "", "aaaa\r\nbb"},  // in a run
      {"aaaa\r\nbb\n", 5, "", "aaaa"},           // between a CR and what follows it
      {"x\n@3 y\n", 3, "@3", "x\r\n@"},          // in a line that may start with the prefix
      {"abcdef\n", 3, nullptr, "abc"},
  };
  for (const auto& c : cases) {
    SetUp();
    Fake().files = {{"in", c.bytes}};
    Fake().read_limit = c.read_limit;
    LineFile in, out;
    Open(in, "in", Mode::kReading);
    Open(out, "out", Mode::kWriting);
    fake::FailAt(Call::kReadFile, 2, platform::ERROR_IO_DEVICE);
    c.prefix != nullptr ? static_cast<void>(in.CopyLinesUntil(out, c.prefix))
                        : in.CopyLineRest(out);
    EXPECT_EQ(IoResult(), 1117) << c.bytes;
    out.EndLine();
    LineFile::WriteOutAllPending();
    EXPECT_EQ(Fake().files["out"], c.kept) << c.bytes;
  }
}

TEST_F(LineFileReading, BrokenPipeIsTheEndOfTheData) {
  Fake().files = {{"in", "A\r\n"}};
  fake::FailAt(Call::kReadFile, 1, platform::ERROR_BROKEN_PIPE);
  LineFile in;
  Open(in, "in", Mode::kReading);
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(IoResult(), 0);
}

// A print is one value for the same bytes whatever the pieces and the kernels, and another for
// stripes swapped, zeros added, or the text moved by a stripe. Bytes passed by unread leave no
// print to compare: the let-go fails, and a count keeps none, unless a rewind prints them anew.
TEST(TextPrint, TheBytesInTheirOrderWhateverThePieces) {
  std::string text;
  for (int i = 0; text.size() < 3000; ++i) text += "line " + std::to_string(i * 7919) + "\r\n";
  text.resize(64 * 46 + 10);  // the zeros added below stay in the last stripe
  auto print = [](const std::string& bytes, std::size_t piece) {
    TextPrint p;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      p.Add(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    return p.Value();
  };
  scan::UseKernels(scan::Kernels::kPlain);
  const std::uint64_t whole = print(text, text.size());
  EXPECT_EQ(whole, 0xBD2B559D865E2BA2ULL) << "the same number on every processor";
  for (scan::Kernels kernels : scan::kEveryKernels) {
    if (!scan::UseKernels(kernels)) continue;
    for (std::size_t piece : {1, 7, 63, 64, 65, 1000}) {
      EXPECT_EQ(print(text, piece), whole) << static_cast<int>(kernels) << ", pieces of " << piece;
    }
  }
  std::string swapped = text;
  std::swap_ranges(swapped.begin(), swapped.begin() + 64, swapped.begin() + 64);
  for (const std::string& other :
       {swapped, text + std::string(5, '\0'), text.substr(64) + text.substr(0, 64),
        std::string(64, '\0') + text}) {
    EXPECT_NE(print(other, 1000), whole);
  }

  InputPrint input;
  input.Start();
  input.Take(text.data(), 100, 0);
  input.Take(text.data() + 200, 100, 200);
  EXPECT_EQ(input.CheckAtLetGo(), InputPrint::Check::kNotCounted);
  EXPECT_EQ(input.KeepCounted(nullptr, true), InputPrint::Kept::kNotPrinted);
  input.Rewind();  // printed anew from the first byte, no count kept: the stamp decides
  EXPECT_EQ(input.CheckAtLetGo(), InputPrint::Check::kStamp);
  input.Take(text.data(), 100, 0);
  EXPECT_EQ(input.KeepCounted(nullptr, true), InputPrint::Kept::kKept);
  EXPECT_EQ(InputPrint().KeepCounted(nullptr, true), InputPrint::Kept::kNotPrinted);
}

TEST_F(LineFileWriting, IntegersAndWidths) {
  LineFile out(LineFile::kConsoleBlockSize);
  Open(out, "out", Mode::kWriting);
  struct {
    std::int64_t value;
    int width;
  } const integers[] = {{0, 0},
                        {123, 0},
                        {-2147483648LL, 0},
                        {std::numeric_limits<std::int64_t>::max(), 0},
                        {std::numeric_limits<std::int64_t>::min(), 0},
                        {42, 5},
                        {-7, 3},
                        {12345, 3}};
  for (const auto& i : integers) {
    out.WriteInteger(i.value, i.width);
    out.WriteChar('|');
  }
  out.WriteText("ab", 4);
  out.WriteText("abc", 2);
  out.EndLine();
  out.Close();
  EXPECT_EQ(
      Fake().files["out"],
      "0|123|-2147483648|9223372036854775807|-9223372036854775808|   42| -7|12345|  ababc\r\n");
}

TEST_F(LineFileWriting, BufferedGoesOutInWholeBlocksAndTheRestAtClose) {
  LineFile out(LineFile::kConsoleBlockSize);
  Open(out, "out", Mode::kWriting);
  EXPECT_EQ(Fake().files["out"], "");  // created empty at the open
  out.WriteText("short");
  out.Flush();
  out.EndLine();
  EXPECT_TRUE(fake::WritesTo("out").empty());
  out.WriteText(std::string(300, 'a'));
  EXPECT_EQ(fake::WritesTo("out").size(), 2u);
  out.Close();
  std::string all = "short\r\n" + std::string(300, 'a');
  EXPECT_EQ(fake::WritesTo("out"),
            (Lines{all.substr(0, 128), all.substr(128, 128), all.substr(256)}));
}

TEST_F(LineFileWriting, TerminalIsWrittenAtTheEndOfEveryStatement) {
  Fake().output_type = platform::FILE_TYPE_CHAR;
  LineFile& out = StandardOutput();
  out.WriteText("File");
  out.Flush();
  out.WriteText("s ");
  out.Flush();
  out.WriteChar('x');
  EXPECT_EQ(fake::WritesTo(fake::kStdout), (Lines{"File", "s "}));
  out.EndLine();
  EXPECT_EQ(Fake().output, "Files x\r\n");
}

TEST_F(LineFileWriting, FailedWriteOutLosesItsBlockAndTheRestOfTheWrite) {
  for (std::size_t partial : {0, 50}) {
    fake::Reset();
    SetIoResult(0);
    LineFile out(LineFile::kConsoleBlockSize);
    Open(out, "out", Mode::kWriting);
    fake::FailAt(Call::kWriteFile, 1, platform::ERROR_DISK_FULL_CODE, partial);
    out.WriteText(std::string(300, 'a'));
    EXPECT_EQ(IoResult(), 101);
    out.WriteText("ok");
    out.Close();
    EXPECT_EQ(IoResult(), 101);
    EXPECT_EQ(Fake().files["out"], std::string(partial, 'a'));  // nothing after the gap
    EXPECT_EQ(out.mode(), Mode::kClosed);
  }
}

TEST_F(LineFileWriting, FailedCloseKeepsTheFileOpenOnlyWhenTheWriteOutFailed) {
  LineFile out;
  Open(out, "out", Mode::kWriting);
  out.WriteText("abc");
  fake::FailAt(Call::kWriteFile, 1, platform::ERROR_ACCESS_DENIED);
  out.Close();
  EXPECT_EQ(IoResult(), 5);
  EXPECT_EQ(out.mode(), Mode::kWriting);
  EXPECT_EQ(Fake().open_handles, 1);
  out.WriteText("def");
  fake::FailAt(Call::kCloseHandle, 1, platform::ERROR_IO_DEVICE);
  out.Close();
  EXPECT_EQ(IoResult(), 1117);
  EXPECT_EQ(out.mode(), Mode::kClosed);
  EXPECT_EQ(Fake().files["out"], "");  // the failed block is lost, and nothing follows it
}

TEST_F(LineFileOpening, SharingAndFailedOpens) {
  Fake().files = {{"a", "keep"}};
  Fake().directories = {"dir"};
  LineFile reader, second_reader, writer, other;
  Open(reader, "a", Mode::kReading);
  Open(second_reader, "a", Mode::kReading);
  EXPECT_EQ(IoResult(), 0);
  Open(writer, "a", Mode::kWriting);
  EXPECT_EQ(IoResult(), 32);
  EXPECT_EQ(writer.mode(), Mode::kClosed);
  EXPECT_EQ(Fake().files["a"], "keep");

  Open(writer, "b", Mode::kWriting);
  other.Bind("b");
  struct {
    const char* name;
    bool writing;
    std::int32_t code;
  } const failing[] = {{"b", false, 32}, {"b", true, 32}, {"c", false, 2}, {"dir", true, 5}};
  for (const auto& f : failing) {
    SetIoResult(0);
    other.Bind(f.name);
    f.writing ? other.OpenForWriting() : other.OpenForReading();
    EXPECT_EQ(IoResult(), f.code) << f.name;
    EXPECT_EQ(other.mode(), Mode::kClosed);
  }
  EXPECT_EQ(Fake().files.count("c"), 0u);
}

TEST_F(LineFileOpening, OperationsInTheWrongStateSetTheirCodes) {
  LineFile file;
  file.OpenForReading();
  EXPECT_EQ(IoResult(), 102);
  file.OpenForWriting();
  EXPECT_EQ(IoResult(), 102);
  EXPECT_EQ(file.mode(), Mode::kUnbound);
  EXPECT_EQ(fake::Calls(Call::kCreateFile), 0);

  char line[255];
  file.Bind("x");
  struct {
    const char* what;
    void (*run)(LineFile&, char*);
    std::int32_t code;
  } const cases[] = {
      {"Close", [](LineFile& f, char*) { f.Close(); }, 103},
      {"Flush", [](LineFile& f, char*) { f.Flush(); }, 103},
      {"EndLine", [](LineFile& f, char*) { f.EndLine(); }, 103},
      {"WriteText", [](LineFile& f, char*) { f.WriteText("a"); }, 105},
      {"WriteChar", [](LineFile& f, char*) { f.WriteChar('a'); }, 105},
      {"WriteInteger", [](LineFile& f, char*) { f.WriteInteger(1); }, 105},
      {"ReadLine", [](LineFile& f, char* l) { EXPECT_EQ(f.ReadLine(l, 255), 0u); }, 104},
      {"ReadChar", [](LineFile& f, char*) { EXPECT_EQ(f.ReadChar(), kEndOfText); }, 104},
      {"AtEnd", [](LineFile& f, char*) { EXPECT_TRUE(f.AtEnd()); }, 104},
      {"SkipLine", [](LineFile& f, char*) { f.SkipLine(); }, 104},
  };
  for (const auto& c : cases) {
    SetIoResult(0);
    c.run(file, line);
    EXPECT_EQ(IoResult(), c.code) << c.what;
  }
  EXPECT_TRUE(Fake().writes.empty());
}

TEST_F(LineFileOpening, HandleOfUnknownTypeIsReleasedWith105) {
  Fake().file_type = platform::FILE_TYPE_UNKNOWN;
  LineFile out;
  Open(out, "out", Mode::kWriting);
  EXPECT_EQ(IoResult(), 105);
  EXPECT_EQ(out.mode(), Mode::kClosed);
  EXPECT_EQ(Fake().open_handles, 0);

  SetIoResult(0);
  Fake().output_type = platform::FILE_TYPE_UNKNOWN;
  StandardOutput().WriteText("lost");
  EXPECT_EQ(IoResult(), 105);
  EXPECT_EQ(fake::Calls(Call::kCloseHandle), 1);  // the standard handle is never closed
}

TEST_F(ConsoleStreams, OpenOnFirstUseOnly) {
  StandardInput().Close();
  EXPECT_EQ(IoResult(), 0);
  StandardOutput().Close();
  StandardOutput().Flush();
  EXPECT_EQ(fake::Calls(Call::kGetStdHandle), 0);
  EXPECT_EQ(StandardOutput().mode(), Mode::kClosed);
  StandardOutput().WriteText("Proceed? ");
  StandardOutput().Flush();
  EXPECT_EQ(StandardOutput().mode(), Mode::kWriting);
  Fake().input = "y\r\n";
  EXPECT_EQ(StandardInput().ReadChar(), 'y');
  StandardInput().SkipLine();
  EXPECT_TRUE(Fake().writes.empty());  // reading never writes out the pending prompt
  StandardOutput().Close();
  EXPECT_EQ(Fake().output, "Proceed? ");
  EXPECT_EQ(StandardOutput().mode(), Mode::kWriting);  // keeps its handle
}

TEST_F(ConsoleStreams, AnAnswerIsOneCharacterAndTheSkipTakesTheRestOfItsLine) {
  struct {
    std::string input;
    char answer;
    char next;  // the character after the skip line that follows the answer
  } const cases[] = {
      {"\r\nY\r\n", '\r', 'Y'},   // Enter on a terminal
      {"\nY\r\nZ\n", '\n', 'Z'},  // an empty redirected line: the next line goes too
      {"yes\r\nN", 'y', 'N'},
      {"", kEndOfText, kEndOfText},
  };
  for (const auto& c : cases) {
    SetUp();
    Fake().input = c.input;
    EXPECT_EQ(StandardInput().ReadChar(), c.answer);
    StandardInput().SkipLine();
    EXPECT_EQ(StandardInput().ReadChar(), c.next);
    EXPECT_EQ(IoResult(), 0);
  }
  EXPECT_EQ(StandardInput().ReadChar(), kEndOfText);
  EXPECT_EQ(fake::Calls(Call::kReadFile), 1);
}

TEST_F(ConsoleStreams, MissingStandardHandles) {
  Fake().no_output = true;
  Fake().no_input = true;
  StandardOutput().WriteText("lost");
  EXPECT_EQ(IoResult(), 105);
  EXPECT_EQ(StandardInput().ReadChar(), kEndOfText);
  EXPECT_EQ(IoResult(), 6);  // a null input handle fails at the first block read

  SetUp();
  fake::FailAt(Call::kGetStdHandle, 1, platform::ERROR_INVALID_HANDLE);
  StandardOutput().WriteText("lost");
  EXPECT_EQ(IoResult(), 105);
  SetIoResult(0);
  StandardOutput().WriteText("kept");  // the next write tries the open again
  StandardOutput().Close();
  EXPECT_EQ(IoResult(), 0);
  EXPECT_EQ(Fake().output, "kept");
}

}  // namespace
}  // namespace kg
