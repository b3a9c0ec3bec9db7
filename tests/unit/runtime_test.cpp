// Arguments, the file probe, failure objects, both reports, exhausted memory, and the lines of the
// system's table of locks and leases.
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/failures.h"
#include "runtime/platform/posix_lock_table.h"
#include "runtime/platform/posix_overlays.h"
#include "runtime/probe.h"
#include "runtime/process.h"
#include "runtime/report.h"
#include "tests/unit/unit_support.h"

namespace kg {
namespace {

using fake::Fake;
using fake::FakeExit;

class Arguments : public FakeTest {};
class FileProbe : public FakeTest {};
class Failures : public FakeTest {};
class FailureReport : public FakeTest {};
class RuntimeErrorReport : public FakeTest {};
class ExhaustedMemory : public FakeTest {};

// A code address at `offset` in the executable's image.
const void* InModule(std::uintptr_t offset) {
  return reinterpret_cast<const void*>(fake::kModuleBase + offset);
}

TEST_F(Arguments, NextArgumentStopsAtAZeroByte) {
  std::string_view text("ab\0cd", 5);
  SplitArgument first = NextArgument(text, 0);
  EXPECT_EQ(first.argument, "ab");
  EXPECT_EQ(first.next, 2u);
  EXPECT_EQ(NextArgument(text, first.next).argument, "");
}

TEST_F(Arguments, FromACommandLine) {
  struct {
    const char* line;
    std::vector<std::string> words;
  } const cases[] = {
      {"k one.mo two.mo out.mo", {"one.mo", "two.mo", "out.mo"}},
      {"k\tone.mo \t  two.mo\tout.mo \t ", {"one.mo", "two.mo", "out.mo"}},
      {"k \x01"
       "a\x1f"
       "b",
       {"a", "b"}},
      {"k \"my file.mo\" b", {"my file.mo", "b"}},
      {"k my\" \"file.mo", {"my file.mo"}},
      {"k ab\"cd\"ef", {"abcdef"}},
      {"k \"\" one.mo two.mo out.mo", {"one.mo", "two.mo", "out.mo"}},
      {"k \"\"\"\" \"\"", {}},
      {"k \"", {}},
      {"k one.mo \"two.mo out.mo", {"one.mo", "two.mo out.mo"}},
      {"k a b c d", {"a", "b", "c", "d"}},
      {"k \x7f\x80\xff x", {"\x7f\x80\xff", "x"}},
      {"\"C:\\Program Files\\k.exe\" a", {"a"}},
      {"C:\\Program Files\\k.exe a", {"Files\\k.exe", "a"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Fake().command_line = c.line;
    auto count = static_cast<std::int32_t>(c.words.size());
    EXPECT_EQ(ArgumentCount(), count);
    for (std::int32_t i = 1; i <= count; ++i) EXPECT_EQ(ArgumentAt(i), c.words[i - 1]);
    EXPECT_EQ(ArgumentAt(count + 1), "");
    EXPECT_EQ(ArgumentAt(-1), "");
    EXPECT_EQ(ArgumentAt(0), fake::kModulePath);
  }
}

TEST_F(Arguments, FromAWordListSkippingEmptyWords) {
  char program[] = "/usr/bin/k_graft", a[] = "a.mo", empty[] = "", spaced[] = "b c.mo";
  char* argv[] = {program, a, empty, spaced, empty};
  Fake().argc = 5;
  Fake().argv = argv;
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(ArgumentAt(0), fake::kModulePath);
  EXPECT_EQ(ArgumentAt(1), "a.mo");
  EXPECT_EQ(ArgumentAt(2), "b c.mo");
  EXPECT_EQ(ArgumentAt(3), "");
  EXPECT_EQ(ArgumentAt(-2147483647 - 1), "");
}

TEST_F(FileProbe, PresentOnlyForAnExistingFile) {
  Fake().files = {{"a.mo", ""}};
  Fake().directories = {"dir"};
  EXPECT_TRUE(FileIsPresent("a.mo"));
  EXPECT_FALSE(FileIsPresent("dir"));
  EXPECT_FALSE(FileIsPresent(""));
  EXPECT_FALSE(FileIsPresent("missing.mo"));
  EXPECT_FALSE(FileIsPresent(std::string_view("a.mo\0x", 6)));
}

TEST_F(Failures, MakeInOutFailureMessages) {
  struct {
    std::int32_t code;
    const char* message;
  } const cases[] = {{2, "File not found"},
                     {3, "Invalid filename"},
                     {4, "Too many open files"},
                     {5, "File access denied"},
                     {100, "Read beyond end of file"},
                     {101, "Disk full"},
                     {106, "Invalid numeric input"},
                     {32, "I/O error 32"},
                     {105, "I/O error 105"},
                     {-1, "I/O error -1"},
                     {-2147483647 - 1, "I/O error -2147483648"}};
  for (const auto& c : cases) {
    SetIoResult(c.code);
    EInOutError* failure = MakeInOutFailure();
    EXPECT_EQ(failure->MessageText(), c.message);
    EXPECT_EQ(failure->IoResultCode(), c.code);
    EXPECT_EQ(IoResult(), 0);
    delete failure;
  }
}

TEST_F(Failures, ClassNames) {
  TObject object;
  Exception exception("");
  EInOutError io("", 0);
  EHeapException heap("");
  EOutOfMemory memory("");
  const TObject* all[] = {&object, &exception, &io, &heap, &memory};
  std::vector<std::string> names;
  for (const TObject* o : all) names.push_back(o->ClassName());
  EXPECT_EQ(names, (std::vector<std::string>{"TObject", "Exception", "EInOutError",
                                             "EHeapException", "EOutOfMemory"}));
}

TEST_F(Failures, ReleaseKeepsHeapFailuresUnlessAllowed) {
  struct Watched : EHeapException {
    explicit Watched(bool* gone) : EHeapException("x"), gone(gone) {}
    ~Watched() override { *gone = true; }
    bool* gone;
  };
  bool gone = false;
  auto* failure = new Watched(&gone);
  ReleaseFailure(failure);
  EXPECT_FALSE(gone);
  failure->set_release_allowed(true);
  ReleaseFailure(failure);
  EXPECT_TRUE(gone);
}

TEST_F(FailureReport, ExactText) {
  EInOutError denied("File access denied", 5);
  Exception done("Done."), empty(""), outside("Outside");
  struct {
    const Exception* failure;
    const void* location;
    std::string report;
  } const cases[] = {
      {&denied, InModule(0xABCD),
       "Exception EInOutError in module k_graft.exe at 0000ABCD.\r\nFile access denied.\r\n"},
      {&done, InModule(0x12345678),
       "Exception Exception in module k_graft.exe at 12345678.\r\nDone.\r\n"},
      {&empty, nullptr, "Exception Exception in module k_graft.exe at 00000000.\r\n\r\n"},
      {&outside, reinterpret_cast<const void*>(0x51000),
       "Exception Exception in module k_graft.exe at 00050000.\r\nOutside.\r\n"},
  };
  for (const auto& c : cases) {
    char report[kFailureReportCapacity];
    std::size_t length = ComposeFailureReport(*c.failure, c.location, report, sizeof report);
    EXPECT_EQ(std::string(report, length), c.report);
    EXPECT_EQ(report[length], '\0');
  }
}

TEST_F(FailureReport, CutToItsCapacity) {
  EInOutError failure(std::string(2000, 'm'), 0);
  char report[kFailureReportCapacity];
  ASSERT_EQ(ComposeFailureReport(failure, InModule(0x10), report, sizeof report), 1023u);
  std::string head = "Exception EInOutError in module k_graft.exe at 00000010.\r\n";
  EXPECT_EQ(std::string(report), head + std::string(1023 - head.size(), 'm'));
}

TEST_F(FailureReport, ShownInAnErrorBox) {
  ShowFailureReport(EInOutError("I/O error 32", 32), InModule(0x20));
  ASSERT_EQ(Fake().boxes.size(), 1u);
  EXPECT_EQ(Fake().boxes[0].text,
            "Exception EInOutError in module k_graft.exe at 00000020.\r\nI/O error 32.\r\n");
  EXPECT_EQ(Fake().boxes[0].caption, "Application Error");
  EXPECT_EQ(Fake().boxes[0].flags, 0x2010u);
}

TEST_F(FailureReport, OnStandardErrorWhenNoBoxCanBeShown) {
  Fake().box_answer = 0;
  ShowFailureReport(EInOutError("Disk full", 101), InModule(0x30));
  EXPECT_EQ(fake::WritesTo(fake::kStderr),
            std::vector<std::string>{"Application Error\r\nException EInOutError in module "
                                     "k_graft.exe at 00000030.\r\nDisk full.\r\n"});
}

TEST_F(RuntimeErrorReport, TextBoxAndExitCode) {
  char report[30];
  EXPECT_EQ(ComposeRuntimeErrorReport(203, InModule(0xABCDEF), report), 29u);
  EXPECT_EQ(std::string(report, 29), "Runtime error 203 at 00ABCDEF");
  ComposeRuntimeErrorReport(5, InModule(0x1234ABCD), report);
  EXPECT_EQ(std::string(report, 29), "Runtime error   5 at 1234ABCD");

  try {
    RuntimeError(203, InModule(0x42));
    FAIL() << "RuntimeError returned";
  } catch (const FakeExit& exit) {
    EXPECT_EQ(exit.code, 203u);
  }
  ASSERT_EQ(Fake().boxes.size(), 1u);
  EXPECT_EQ(Fake().boxes[0].text, "Runtime error 203 at 00000042");
  EXPECT_EQ(Fake().boxes[0].caption, "Error");
  EXPECT_EQ(Fake().boxes[0].flags, platform::MB_OK);
}

void* volatile allocated = nullptr;

// Makes the next allocation fail.
void AllocateWithoutMemory() {
  test::fail_next_allocation = true;
  allocated = ::operator new(64);
}

TEST_F(ExhaustedMemory, RaisesTheReservedFailure) {
  RunStartUpSteps(0, nullptr);
  EOutOfMemory* reserved = ReservedOutOfMemory();
  ASSERT_NE(reserved, nullptr);
  EXPECT_EQ(reserved->MessageText(), "Out of memory");
  for (int i = 0; i < 2; ++i) {
    try {
      AllocateWithoutMemory();
      FAIL() << "the allocation succeeded";
    } catch (const RaisedFailure& raised) {
      EXPECT_EQ(raised.failure, reserved);  // the same object every time
      ReleaseFailure(raised.failure);
    }
  }
  EXPECT_EQ(ReservedOutOfMemory(), reserved);
  StopRuntimeSupport();
  EXPECT_EQ(ReservedOutOfMemory(), nullptr);
}

TEST_F(ExhaustedMemory, InTheToolIsReportedAndExitsWith1) {
  try {
    RunProgram(0, nullptr, &AllocateWithoutMemory);
  } catch (const FakeExit& exit) {
    EXPECT_EQ(exit.code, 1u);
  }
  ASSERT_EQ(Fake().boxes.size(), 1u);
  const std::string& text = Fake().boxes[0].text;
  EXPECT_EQ(text.substr(0, text.find(" at ")), "Exception EOutOfMemory in module k_graft.exe");
  EXPECT_EQ(text.substr(text.find("\r\n")), "\r\nOut of memory.\r\n");
}

TEST_F(ExhaustedMemory, OutsideTheRuntimeSupportEndsWith203) {
  for (bool at_start : {true, false}) {
    SetUp();
    try {
      if (at_start) {
        test::fail_next_allocation = true;  // the reservation itself cannot be had
        RunStartUpSteps(0, nullptr);
      } else {
        RunStartUpSteps(0, nullptr);
        StopRuntimeSupport();
        AllocateWithoutMemory();
      }
      FAIL() << "no exit";
    } catch (const FakeExit& exit) {
      EXPECT_EQ(exit.code, 203u);
    }
    ASSERT_EQ(Fake().boxes.size(), 1u);
    EXPECT_EQ(Fake().boxes[0].text.substr(0, 21), "Runtime error 203 at ");
    EXPECT_EQ(Fake().boxes[0].caption, "Error");
  }
}

// Each shape of line the table of locks and leases has, and pieces of lines, which are none.
TEST(LockTable, LinesParsed) {
  using Entry = platform::posix::LockEntry;
  using K = Entry::Kind;
  using S = Entry::State;
  const std::uint64_t most = ~std::uint64_t{0};
  struct {
    const char* line;
    Entry entry;  // kind, state, write, waiter, pid, major, minor, inode
  } const parsed[] = {
      {"1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF",
       {K::kFlock, S::kHeld, 1, 0, 1234, 8, 1, 5678}},
      {"2: POSIX  ADVISORY  READ 77 fd:1a:12 100 199",
       {K::kPosix, S::kHeld, 0, 0, 77, 0xfd, 0x1a, 12}},
      {"3: OFDLCK ADVISORY  WRITE -1 00:05:1234 0 EOF", {K::kOfd, S::kHeld, 1, 0, -1, 0, 5, 1234}},
      {"4: LEASE  ACTIVE    READ 196 00:28:257 0 EOF",
       {K::kLease, S::kHeld, 0, 0, 196, 0, 40, 257}},
      {"5: LEASE  BREAKING  UNLCK 19 00:28:257 0 EOF",
       {K::kLease, S::kBreaking, 0, 0, 19, 0, 40, 257}},
      {"6: -> LEASE  BREAKER   READ 99 00:2a:18446744073709551615 0 EOF",
       {K::kLease, S::kBreaker, 0, 1, 99, 0, 42, most}},
      {"7: DELEG  ACTIVE    READ 0 103:02:9 0 EOF", {K::kDeleg, S::kHeld, 0, 0, 0, 0x103, 2, 9}},
      {"8:  -> FLOCK  ADVISORY  WRITE 5 08:01:6 0 EOF", {K::kFlock, S::kHeld, 1, 1, 5, 8, 1, 6}},
      {"\t1: FLOCK  ADVISORY  READ 3 00:2a:257 0 EOF", {K::kFlock, S::kHeld, 0, 0, 3, 0, 42, 257}},
      {"9: UNKNOWN UNKNOWN  UNLCK 3 00:2a:1 0 EOF", {K::kOther, S::kHeld, 0, 0, 3, 0, 42, 1}},
  };
  for (const auto& c : parsed) {
    Entry entry;
    ASSERT_TRUE(platform::posix::ParseLockLine(c.line, &entry)) << c.line;
    EXPECT_EQ(std::tie(entry.kind, entry.state, entry.write, entry.waiter, entry.pid, entry.major,
                       entry.minor, entry.inode),
              std::tie(c.entry.kind, c.entry.state, c.entry.write, c.entry.waiter, c.entry.pid,
                       c.entry.major, c.entry.minor, c.entry.inode))
        << c.line;
  }
  // "lock:" of fdinfo is the caller's to drop; no inode; lines cut in the inode number, before or
  // in the last field; the rest of a line cut there.
  for (const char* line :
       {"lock:\t1: FLOCK  ADVISORY  READ 3 00:2a:257 0 EOF",
        "10: POSIX  *NOINODE* WRITE 3 <none>:0 0 EOF", "11: FLOCK  ADVISORY  WRITE 1234 08:01:56",
        "12: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0",
        "13: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EO", "78 0 EOF", ""}) {
    Entry entry;
    EXPECT_FALSE(platform::posix::ParseLockLine(line, &entry)) << line;
  }
}

TEST(Overlays, MountLinesParsed) {
  using Layers = std::vector<std::string>;
  struct {
    const char* line;
    const char* root;
    const char* mount_point;
    Layers layers;
    bool has_upper;
    std::size_t data_from;
    bool metacopy;
  } const parsed[] = {
      {"47 27 0:40 / /tmp/m rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w",
       "/",
       "/tmp/m",
       {"/u", "/l"},
       true,
       2,
       false},
      // Escapes of the table (a blank, a comma) and of the old interface ("\:"); "::" before
      // the data-only layers; a bind mount of a folder of the view; no upper layer; relative paths.
      {"9 1 0:41 /sub /a\\040b rw shared:3 - overlay none ro,lowerdir=/l\\054x:/p\\134:q::/d",
       "/sub",
       "/a b",
       {"/l,x", "/p:q", "/d"},
       false,
       2,
       false},
      {"10 1 0:42 / /m rw - overlay overlay rw,lowerdir+=/l1,lowerdir+=/l2,datadir+=/d,"
       "upperdir=/u,workdir=/w,metacopy=on",
       "/",
       "/m",
       {"/u", "/l1", "/l2", "/d"},
       true,
       3,
       true},
      {"11 1 0:43 / /m rw - overlay overlay rw,lowerdir=l,upperdir=u,workdir=w",
       "/",
       "/m",
       {"u", "l"},
       true,
       2,
       false},
  };
  for (const auto& c : parsed) {
    platform::posix::OverlayMount mount;
    ASSERT_TRUE(platform::posix::ParseOverlayMount(c.line, &mount)) << c.line;
    EXPECT_EQ(std::tie(mount.root, mount.mount_point, mount.layers, mount.has_upper,
                       mount.data_from, mount.metacopy),
              std::tie(c.root, c.mount_point, c.layers, c.has_upper, c.data_from, c.metacopy))
        << c.line;
  }
  platform::posix::OverlayMount mount;
  EXPECT_FALSE(platform::posix::ParseOverlayMount(
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw,lowerdir=/l", &mount));
}

// A table is read to its end, a long line whole, its last line even without an LF, or said to be
// unread: one that cannot be opened or read (a directory) tells nothing of what it would have
// shown.
TEST(LockTable, ReadToItsEndOrSaidToBeUnread) {
  const std::string table = testing::TempDir() + "kg_lock_table";
  std::FILE* file = std::fopen(table.c_str(), "w");
  const std::string long_line(20000, 'x');  // passed whole, though longer than a read
  std::fputs(("1: FLOCK  ADVISORY  WRITE 5 08:01:6 0 EOF\n" + long_line + "\n2: LEASE").c_str(),
             file);
  std::fclose(file);
  std::string seen;
  const auto keep = [&seen](char* line) { return seen.append(line).append("|"), false; };
  EXPECT_TRUE(platform::posix::ForEachLine(table.c_str(), keep));
  EXPECT_EQ(seen, "1: FLOCK  ADVISORY  WRITE 5 08:01:6 0 EOF|" + long_line + "|2: LEASE|");
  std::remove(table.c_str());
  EXPECT_FALSE(platform::posix::ForEachLine(table.c_str(), keep));
  EXPECT_FALSE(platform::posix::ForEachLine(testing::TempDir().c_str(), keep));
}

// A table that changed between the system's pages showed an entry twice or missed one: it is read
// again until two readings agree, at most four times, the last one kept.
TEST(LockTable, ReadAgainUntilTwoReadingsAgree) {
  using Reading = std::vector<platform::posix::LockEntry>;
  const platform::posix::LockEntry a{.pid = 5}, b{.pid = 6};
  const struct {
    std::vector<Reading> readings;
    Reading kept;
    int made;
  } cases[] = {{{{a, a, b}, {a, b}, {a, b}}, {a, b}, 3}, {{{a}, {b}, {a, b}, {b, a}}, {b, a}, 4}};
  for (const auto& c : cases) {
    int made = 0;
    Reading got;
    EXPECT_TRUE(platform::posix::SteadyReading(
        [&](Reading* into) { return *into = c.readings[made++], true; }, &got));
    EXPECT_EQ(std::tie(got, made), std::tie(c.kept, c.made));
  }
}

}  // namespace
}  // namespace kg
