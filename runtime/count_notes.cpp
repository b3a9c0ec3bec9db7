// The count's notes: what a count of a whole text found, and the shortcuts that it allows.
#include "runtime/count_notes.h"

#include <cstring>

namespace kg {

void CountNotes::Note(std::string_view marker, const scan::CountState& state,
                      std::uint64_t text_end) {
  noted_ = false;
  if (marker.size() > kMarkerCapacity) return;
  std::memcpy(marker_, marker.data(), marker.size());
  marker_length_ = marker.size();
  marker_start_ = state.marker == scan::kNowhere ? text_end : state.marker;
  text_end_ = text_end;
  first_flaw_ = state.first_flaw;
  last_flaw_ = state.last_flaw;
  first_lone_cr_ = state.first_lone_cr;
  noted_ = true;
}

std::uint64_t CountNotes::CopyEnd(std::uint64_t here, std::string_view prefix) const {
  if (!noted_) return scan::kNowhere;
  if (!prefix.empty()) {  // up to the first marker line, when nothing before it is a flaw
    if (!IsMarker(prefix) || first_flaw_ < marker_start_) return scan::kNowhere;
    return marker_start_;
  }
  // To the end of the text, when nothing from here on is a flaw.
  if (last_flaw_ != scan::kNowhere && last_flaw_ >= here) return scan::kNowhere;
  return text_end_;
}

std::uint64_t CountNotes::SeekTarget(std::uint64_t here, std::string_view prefix) const {
  if (!noted_ || !IsMarker(prefix) || first_lone_cr_ < marker_start_ || marker_start_ <= here) {
    return scan::kNowhere;
  }
  return marker_start_;
}

}  // namespace kg
