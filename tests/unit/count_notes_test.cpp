// The count's notes: where a copy of lines as they stand may end and where a seek may go.
#include "runtime/count_notes.h"

#include <gtest/gtest.h>

#include <string>

namespace kg {
namespace {

constexpr std::uint64_t kNone = scan::kNowhere;

// The notes of a count of `text` for "@3" made in two blocks, the first of `split` bytes.
CountNotes Noted(const std::string& text, std::size_t split) {
  scan::CountState state;
  scan::CountScan(text.data(), text.data() + split, 0, "@3", state);
  scan::CountScan(text.data() + split, text.data() + text.size(), split, "@3", state);
  scan::FinishCount(text.size(), state);
  CountNotes notes;
  notes.Note("@3", state, text.size());
  return notes;
}

// Each row whatever the block edge of the count; the notes of a null text are forgotten ones.
TEST(CountNotes, CopyEndAndSeekTarget) {
  struct {
    const char* text;
    std::uint64_t here;
    const char* prefix;
    std::uint64_t copy_end, seek;
  } const rows[] = {
      {"ab\r\n@3 x\r\nyz\r\n", 0, "@3", 4, 4},     // canonical lines
      {"ab\r\n@3 x\r\nyz\r\n", 0, "", 14, kNone},  // to the text's end
      {"ab\r\n@3 x\r\n", 0, "@4", kNone, kNone},   // another marker
      {"ab\r\n@3 x\r\n", 0, "@", kNone, kNone},    // a part of the marker
      {nullptr, 0, "@3", kNone, kNone},            // no notes
      {"\nab\r\n@3\r\n", 0, "@3", kNone, 5},       // a flaw at the span's first byte
      {"ab\r\n\ncd\r\n", 4, "", kNone, kNone},     // the same to the text's end
      {"a\nb\r\n", 2, "", 5, kNone},               // a flaw just before the span
      {"ab\n@3\r\n", 0, "@3", kNone, 3},           // a flaw ending the line before the marker
      {"ab\r\n@3\nc", 0, "@3", 4, 4},              // flaws behind the marker line
      {"a\rb\r\n@3\r\n", 0, "@3", kNone, kNone},   // a lone CR before the marker line
      {"ab\r\n@3\rx\r\n", 0, "@3", 4, 4},          // and behind it
      {"ab\r\ncd\r\n", 0, "@3", 8, 8},             // no marker line: the text's end
      {"ab\r\n@3\r\n", 4, "@3", 4, kNone},         // at the marker line: no seek, an empty span
  };
  for (const auto& r : rows) {
    const std::string text = r.text != nullptr ? r.text : "ab\r\n@3\r\n";
    for (std::size_t split = 0; split <= text.size(); ++split) {
      CountNotes notes = Noted(text, split);
      if (r.text == nullptr) notes.Forget();
      const std::string row = testing::PrintToString(text) + " split at " + std::to_string(split);
      EXPECT_EQ(notes.CopyEnd(r.here, r.prefix), r.copy_end) << row;
      EXPECT_EQ(notes.SeekTarget(r.here, r.prefix), r.seek) << row;
    }
  }
  EXPECT_EQ(CountNotes().CopyEnd(0, ""), kNone);
}

}  // namespace
}  // namespace kg
