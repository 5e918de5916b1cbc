// RotationSet: the data files a recorder records into in turn, read at each start from the
// path list or from a header file, and which of them was written last, so that recording
// goes on in the file after it instead of overwriting recent recordings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

class RotationSet {
 public:
  // Where the set comes from (SETHEADERFILEPATH's source).
  enum Source : int32_t { kFromPathList = 0, kFromHeaderFile = 1 };
  // One data file of the set; headerRecord is the header file record that lists it (records
  // with an empty path are not listed, so the two numberings can differ), -1 in path-list
  // mode.
  struct Entry {
    std::string path;
    int32_t headerRecord = -1;
  };

  // The set from the path list: every path that is not a directory (a directory tells the
  // deletion worker where to look). false when it is empty.
  bool LoadFromPaths(std::vector<std::string> paths);
  // The set from the header file's records, read up to the file's real end whatever its head
  // claims. false when the head counts no records.
  bool LoadFromHeaderFile(const platform::File& header);
  // The position of the newest file, from the files' index files alone: among those that
  // count recorded bytes (when any does) the highest sequence, then the latest last record,
  // then the later position; -1 when none of the files exists.
  int32_t FindNewestOfPaths();
  // The position of the listed header file record with recorded bytes and the highest
  // sequence in its index file, then the latest start (ties to the later record); -1 when
  // there is none.
  int32_t FindNewestOfHeaderFile(const platform::File& header);
  // The highest sequence found by the last FindNewest call (0: none numbered).
  uint32_t highestSequence() const { return highestSequence_; }

  void Clear() { entries_.clear(); }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const Entry& operator[](size_t position) const { return entries_[position]; }

 private:
  std::vector<Entry> entries_;
  uint32_t highestSequence_ = 0;
};

// The head of a header file: its record count; 0 when the head is short or counts none.
uint32_t ReadHeaderFileRecordCount(const platform::File& file);
