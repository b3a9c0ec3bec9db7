// What a count of a whole text noted, and the rules that say where reading may take a shortcut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/line_scan.h"

namespace kg {

// The notes of one finished count of a text from its first byte: which marker it looked for, where
// the first line starting with it begins, where the text ends, and where the text departs from
// canonical lines (a flaw: a lone CR, an LF alone, an unended last line; see scan::CountState).
// From them alone, with no look at the file, it answers the two questions the shortcuts of a line
// file ask: how far a section may be copied as it stands, and where a seek may go. Whether the text
// is still the one counted (the hold) and what the output can take are the asker's part.
//
// Offsets are file offsets; scan::kNowhere answers "none". Without notes every answer is none.
class CountNotes {
 public:
  // The longest marker the notes can keep.
  static constexpr std::size_t kMarkerCapacity = 16;

  // Keeps what the count of a whole text looking for `marker` found: `state` as scan::FinishCount
  // left it at `text_end`, the offset where the text ended. A marker longer than kMarkerCapacity
  // leaves no notes.
  void Note(std::string_view marker, const scan::CountState& state, std::uint64_t text_end);
  // Drops the notes: from now on every answer is none.
  void Forget() { noted_ = false; }

  // Where a copy of whole lines as they stand, starting at the line start `here`, may end, for
  // lines up to the first one starting with `prefix` (to the text's end for an empty prefix): the
  // noted marker line's start for the noted marker, when no flaw lies before it; the text's end
  // for an empty prefix, when no flaw lies at `here` or after it. None without notes, for another
  // prefix, or with a flaw in that span. For the marker prefix the end may lie at `here` or before
  // it, when nothing up to the marker line is left to copy.
  std::uint64_t CopyEnd(std::uint64_t here, std::string_view prefix) const;
  // Where a reader at the line start `here` that drops the lines up to the first one starting with
  // `prefix` may seek to: the start of the noted marker's first line (the text's end when no line
  // starts with it), when `prefix` is the noted marker, no lone CR lies before that line (a line
  // read without the CR might start with the marker) and it lies past `here`. None otherwise.
  std::uint64_t SeekTarget(std::uint64_t here, std::string_view prefix) const;

 private:
  // True when `prefix` is the marker the count looked for.
  bool IsMarker(std::string_view prefix) const {
    return prefix == std::string_view(marker_, marker_length_);
  }

  bool noted_ = false;
  char marker_[kMarkerCapacity] = {};
  std::size_t marker_length_ = 0;
  std::uint64_t marker_start_ = 0;  // the text's end when no line starts with the marker
  std::uint64_t text_end_ = 0;
  std::uint64_t first_flaw_ = scan::kNowhere;
  std::uint64_t last_flaw_ = scan::kNowhere;
  std::uint64_t first_lone_cr_ = scan::kNowhere;
};

}  // namespace kg
