// Whole runs of the tool in-process over the fake platform, and a failure at every platform call.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/main_sequence.h"
#include "runtime/process.h"
#include "tests/unit/unit_support.h"

namespace kg {
namespace {

using fake::Call;
using fake::Fake;

class ToolRun : public FakeTest {};

const std::string kPause = "\r\n   ... press <Enter> to continue ...\r\n";

// The failure that ended the last run, released once the run is over (a real process ends).
Exception* raised_failure = nullptr;

void RunMainSequenceNotingTheFailure() {
  try {
    app::RunMainSequence();
  } catch (const RaisedFailure& raised) {
    raised_failure = raised.failure;
    throw;
  }
}

// A run that wrote the completion line had let go of every input it opened, verifying its text,
// before that line went out: no input's check is left to the order of the calls.
void ExpectInputsVerifiedBeforeCompletion() {
  std::size_t completion = 0;
  while (completion < Fake().writes.size() &&
         (Fake().writes[completion].target != fake::kStdout ||
          Fake().writes[completion].bytes.find("has created") == std::string::npos)) {
    ++completion;
  }
  if (completion == Fake().writes.size()) return;
  for (const fake::VerifiedOpen& input : Fake().verified_opens) {
    EXPECT_LE(input.let_go_after_writes, completion) << input.name << " not verified";
  }
}

// Runs the tool with `args` after the program's name; returns its exit code.
platform::DWORD RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/k_graft");
  std::vector<char*> argv;
  for (std::string& word : args) argv.push_back(word.data());
  argv.push_back(nullptr);
  try {
    RunProgram(static_cast<int>(args.size()), argv.data(), &RunMainSequenceNotingTheFailure);
  } catch (const fake::FakeExit& exit) {
    if (raised_failure != nullptr) ReleaseFailure(raised_failure);
    raised_failure = nullptr;
    ExpectInputsVerifiedBeforeCompletion();
    return exit.code;
  }
}

// The second line of the one failure report shown, or a note that there was none.
std::string ReportMessage() {
  if (Fake().boxes.size() != 1) return "<" + std::to_string(Fake().boxes.size()) + " reports>";
  const std::string& text = Fake().boxes[0].text;
  return text.substr(text.find("\r\n") + 2);
}

// Two inputs of `count` lines each, larger than a file block, with their marker lines inside;
// the first mixes LF and CR LF line ends. Returns the merged output they give.
std::string ArrangeInputs(int count) {
  std::string first, second, network_section, behaviour_section;
  for (int i = 0; i < count; ++i) {
    std::string network = i == count / 2 ? "@3 first" : "network line " + std::to_string(i);
    std::string behaviour = i == count / 3 ? "@3 behaviour" : "behaviour " + std::to_string(i);
    first += network + (i % 2 == 0 ? "\n" : "\r\n");
    second += behaviour + "\r\n";
    if (i < count / 2) network_section += network + "\r\n";
    if (i >= count / 3) behaviour_section += behaviour + "\r\n";
  }
  Fake().files = {{"a.mo", first}, {"b.mo", second}};
  return network_section + behaviour_section;
}

TEST_F(ToolRun, UsageTextWithTooFewArguments) {
  EXPECT_EQ(RunTool({"a.mo", "b.mo"}), 0u);
  EXPECT_EQ(Fake().output,
            "The program K_Graft must be called with 3 parameters.\r\n"
            "The first and second must be existing .mo files,\r\n"
            "and they will be merged in the third .mo file\r\n"
            "with the network specification taken from the first,\r\n"
            "and the behavior specification taken from the second file.\r\n"
            "You have not given three parameters, so the program now stops.\r\n" +
                kPause);
  EXPECT_TRUE(Fake().boxes.empty());
}

TEST_F(ToolRun, MergeWritesTheOutputAndTheCompletionLine) {
  std::string merged = ArrangeInputs(12);
  std::map<std::string, std::string> inputs = Fake().files;
  EXPECT_EQ(RunTool({"a.mo", "b.mo", "c.mo", "ignored"}), 0u);
  EXPECT_EQ(Fake().files["c.mo"], merged);
  EXPECT_EQ(Fake().files["a.mo"], inputs["a.mo"]);
  EXPECT_EQ(Fake().files["b.mo"], inputs["b.mo"]);
  EXPECT_EQ(Fake().output, "K_Graft has created file c.mo, and now is ready.\r\n" + kPause);
  EXPECT_EQ(Fake().open_handles, 0);

  // A writer asks for b.mo, and the system, out of patience, lets it change b.mo: after the
  // count, or during a copy inside the system; or b.mo changes with its hold still there. Read
  // unheld, b.mo changes one byte at the rewind, keeping its size; or it is cut at the rewind and
  // put back as it was before its let-go, so that the merge met its end early. The run fails
  // where b.mo is let go, before a warning or the completion line could tell of a text never
  // counted.
  enum class Change { kRewrite, kRewriteAndLapse, kOneByte, kCutThenPutBack };
  for (auto [unheld, when, change] :
       {std::tuple{false, Call::kSetFilePointer, Change::kRewriteAndLapse},
        std::tuple{false, Call::kCopyFileRange, Change::kRewriteAndLapse},
        std::tuple{false, Call::kSetFilePointer, Change::kRewrite},
        std::tuple{true, Call::kSetFilePointer, Change::kOneByte},
        std::tuple{true, Call::kSetFilePointer, Change::kCutThenPutBack}}) {
    SetUp();
    ArrangeInputs(20000);
    Fake().copies = true;
    Fake().read_limit = 40000;  // b.mo's behaviour section does not fit one read
    if (unheld) Fake().unheld = {"b.mo"};
    Fake().before_call = [when, change, saved = std::string(), done = false](Call call) mutable {
      std::string& b = Fake().files["b.mo"];
      if (call == Call::kVerifyAndLetGo && fake::Calls(call) == 1 && !saved.empty()) b = saved;
      if (call != when || done) return;
      done = true;
      if (change == Change::kOneByte) b[b.size() / 2] ^= 1;
      if (change == Change::kCutThenPutBack) saved = b, b.resize(b.size() / 2);
      if (change != Change::kRewrite && change != Change::kRewriteAndLapse) return;
      std::erase(b, '\r');
      b.insert(0, "@3 new\n");
      if (change == Change::kRewriteAndLapse) Fake().unheld = {"b.mo"};
    };
    EXPECT_EQ(RunTool({"a.mo", "b.mo", "d.mo"}), 1u);
    EXPECT_EQ(ReportMessage(), "I/O error 32.\r\n");
    EXPECT_EQ(Fake().output, "");
  }
  // So after unequal counts: the count report would tell of a text that may not be the file's.
  for (int input : {1, 2}) {
    SetUp();
    ArrangeInputs(12);
    Fake().files["b.mo"] += "one line more\r\n";
    fake::FailAt(Call::kVerifyAndLetGo, input, 32);
    EXPECT_EQ(RunTool({"a.mo", "b.mo", "c.mo"}), 1u);
    EXPECT_EQ(ReportMessage(), "I/O error 32.\r\n");
    EXPECT_EQ(Fake().output, "");
  }
}

TEST_F(ToolRun, DeclinedOverwriteLeavesTheOutputAlone) {
  ArrangeInputs(4);
  Fake().files["c.mo"] = "old";
  Fake().input = "n\r\nY\r\n";
  EXPECT_EQ(RunTool({"a.mo", "b.mo", "c.mo"}), 0u);
  EXPECT_EQ(Fake().files["c.mo"], "old");
  EXPECT_EQ(Fake().output,
            "A file named <c.mo> already exists in this directory.\r\n"
            "If you proceed, it will be overwritten.\r\n"
            "Do you wish to proceed? (Y/N): \r\n" +
                kPause);
}

TEST_F(ToolRun, ReportComesBeforeTheConsoleTextStillHeld) {
  ArrangeInputs(4);
  std::string first = Fake().files["a.mo"];
  Fake().input = "Y\r\n";
  EXPECT_EQ(RunTool({"a.mo", "b.mo", "a.mo"}), 1u);
  EXPECT_EQ(ReportMessage(), "I/O error 32.\r\n");
  EXPECT_EQ(Fake().boxes[0].caption, "Application Error");
  std::string said =
      "A file named <a.mo> already exists in this directory.\r\n"
      "If you proceed, it will be overwritten.\r\n"
      "Do you wish to proceed? (Y/N): \r\n";
  EXPECT_EQ(Fake().output, said);
  EXPECT_EQ(Fake().boxes[0].output_size, said.size() / 128 * 128);  // whole blocks only
  EXPECT_EQ(Fake().files["a.mo"], first);
}

// Standard output a disk file: what it held at standard input's first and last read (the answer,
// the pause). A person at a terminal has seen all of it; a script's blocks stay whole, also when
// standard input is a character device that is no console (as /dev/null is). A write-out failing
// there ends the run before an answer is read.
TEST_F(ToolRun, HeldTextGoesOutBeforeATerminalIsRead) {
  const std::string question =
      "A file named <c.mo> already exists in this directory.\r\nIf you proceed, it will be "
      "overwritten.\r\nDo you wish to proceed? (Y/N): ";
  const std::string said =
      question + "\r\nK_Graft has created file c.mo, and now is ready.\r\n" + kPause;
  for (auto [type, console, at_answer, at_pause] :
       {std::tuple{platform::FILE_TYPE_CHAR, true, question, said},
        std::tuple{platform::FILE_TYPE_CHAR, false, std::string(), said.substr(0, 128)},
        std::tuple{platform::FILE_TYPE_PIPE, false, std::string(), said.substr(0, 128)}}) {
    SetUp();
    ArrangeInputs(4);
    Fake().files["c.mo"] = "old";
    Fake().input = "y\r\n";
    Fake().input_type = type;
    Fake().input_console = console;
    std::vector<std::string> at_reads;
    Fake().before_call = [&at_reads](Call call) {
      if (call == Call::kReadFile) at_reads.push_back(Fake().output);
    };
    EXPECT_EQ(RunTool({"a.mo", "b.mo", "c.mo"}), 0u);
    EXPECT_EQ(Fake().output, said);
    ASSERT_GE(at_reads.size(), 2u);
    EXPECT_EQ(at_reads.front(), at_answer) << "input type " << type << ", console " << console;
    EXPECT_EQ(at_reads.back(), at_pause) << "input type " << type << ", console " << console;
  }
  SetUp();
  ArrangeInputs(4);
  Fake().files["c.mo"] = "old";
  Fake().input_type = platform::FILE_TYPE_CHAR;
  Fake().input_console = true;
  fake::FailAt(Call::kWriteFile, 1, platform::ERROR_NO_DATA);  // the reader of a pipe has gone
  EXPECT_EQ(RunTool({"a.mo", "b.mo", "c.mo"}), 1u);
  EXPECT_EQ(ReportMessage(), "I/O error 232.\r\n");
  EXPECT_EQ(fake::Calls(Call::kReadFile), 0);
  EXPECT_EQ(Fake().files["c.mo"], "old");
}

TEST_F(ToolRun, MissingStandardOutputFailsAtTheFirstMessage) {
  Fake().no_output = true;
  EXPECT_EQ(RunTool({}), 1u);
  EXPECT_EQ(ReportMessage(), "I/O error 105.\r\n");
  EXPECT_EQ(Fake().output, "");
}

// Every platform call of a successful merge fails in turn: the run ends with exit code 1 and the
// report of that call's code, the inputs stay as they were, standard output (a terminal) holds
// what was written before the failure, and the output keeps what had reached it: a prefix of the
// merge. A copy inside the system that is refused for any reason but the output's own limits, and
// a hold against writers that cannot be asked about, change nothing of the merge; a hold that the
// system ended before it was let go fails the run.
// With `unheld`, the inputs are verified by their prints, read again at the let-go.
void FailEveryPlatformCallOfAMerge(bool unheld) {
  SCOPED_TRACE(unheld ? "inputs read unheld" : "inputs held");
  auto arrange = [unheld] {
    fake::Reset();
    Fake().output_type = platform::FILE_TYPE_CHAR;
    Fake().read_limit = 40000;
    Fake().copies = true;
    Fake().copy_limit = 50001;  // copies cut short inside a line
    if (unheld) Fake().unheld = {"a.mo", "b.mo"};
    return ArrangeInputs(20000);
  };
  std::string merged = arrange();
  std::map<std::string, std::string> inputs = Fake().files;
  ASSERT_EQ(RunTool({"a.mo", "b.mo", "c.mo"}), 0u);
  ASSERT_EQ(Fake().files["c.mo"], merged);
  std::string said = Fake().output;
  int success_calls[static_cast<int>(Call::kCount)];
  for (int k = 0; k < static_cast<int>(Call::kCount); ++k) success_calls[k] = Fake().calls[k];
  ASSERT_GE(fake::WritesTo("c.mo").size(), 2u);
  ASSERT_GE(success_calls[static_cast<int>(Call::kReadFile)], 10);
  ASSERT_GE(success_calls[static_cast<int>(unheld ? Call::kReadFileAt : Call::kCopyFileRange)], 2);
  const char* const kGoesOn = "";  // the merge completes all the same

  struct {
    Call call;
    platform::DWORD code;
    const char* message;
  } const kinds[] = {{Call::kCreateFile, 32, "I/O error 32.\r\n"},
                     {Call::kReadFile, 5, "File access denied.\r\n"},
                     {Call::kWriteFile, 101, "Disk full.\r\n"},
                     {Call::kCloseHandle, 1117, "I/O error 1117.\r\n"},
                     {Call::kGetStdHandle, 6, nullptr},
                     {Call::kSetFilePointer, 6, "I/O error 6.\r\n"},
                     {Call::kCopyFileRange, 101, "Disk full.\r\n"},
                     {Call::kCopyFileRange, 223, "I/O error 223.\r\n"},
                     {Call::kCopyFileRange, 5, kGoesOn},
                     {Call::kCopyFileRange, 1117, kGoesOn},
                     {Call::kKeepsWritersOut, 0, kGoesOn},
                     {Call::kVerifyAndLetGo, 32, "I/O error 32.\r\n"},
                     {Call::kReadFileAt, 1117, "I/O error 1117.\r\n"}};
  for (const auto& kind : kinds) {
    int n = 1;
    for (;; ++n) {
      SCOPED_TRACE("call kind " + std::to_string(static_cast<int>(kind.call)) + ", call " +
                   std::to_string(n));
      arrange();
      SetIoResult(0);
      fake::FailAt(kind.call, n, kind.code);
      Fake().fail_onwards = kind.call == Call::kGetStdHandle;  // a handle lookup fails for good
      platform::DWORD code = RunTool({"a.mo", "b.mo", "c.mo"});
      if (!Fake().failed || kind.message == kGoesOn) {
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(Fake().files["c.mo"], merged);
        EXPECT_EQ(Fake().output, said);
        if (Fake().failed) continue;
        break;
      }
      EXPECT_EQ(code, 1u);
      std::string message = kind.message != nullptr ? kind.message
                            : Fake().failed_selector == platform::STD_OUTPUT_HANDLE
                                ? "I/O error 105.\r\n"
                                : "I/O error 104.\r\n";
      EXPECT_EQ(ReportMessage(), message);
      const std::string& report = Fake().boxes[0].text;
      EXPECT_EQ(report.substr(0, report.find(" at ")),
                "Exception EInOutError in module k_graft.exe");
      EXPECT_EQ(Fake().files["a.mo"], inputs["a.mo"]);
      EXPECT_EQ(Fake().files["b.mo"], inputs["b.mo"]);
      EXPECT_EQ(Fake().output, said.substr(0, Fake().output_at_failure));
      // The output keeps what had reached it; pending text is written out at the exit.
      auto before = Fake().files_at_failure.find("c.mo");
      if (before != Fake().files_at_failure.end()) {
        const std::string& output = Fake().files["c.mo"];
        EXPECT_TRUE(output.compare(0, before->second.size(), before->second) == 0);
        EXPECT_TRUE(merged.compare(0, before->second.size(), before->second) == 0);
        EXPECT_TRUE(merged.compare(0, output.size(), output) == 0);  // nothing after a gap
        if (kind.call == Call::kCloseHandle) {
          EXPECT_TRUE(output == merged);
        }
      }
    }
    EXPECT_EQ(n - 1, success_calls[static_cast<int>(kind.call)]);
  }
}

TEST_F(ToolRun, FailureAtEveryPlatformCallOfAMerge) {
  FailEveryPlatformCallOfAMerge(false);
  FailEveryPlatformCallOfAMerge(true);
}

}  // namespace
}  // namespace kg
