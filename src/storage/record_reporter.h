// Reporter: told of each damaged record a reader of data files meets (the frame reader of
// playback, `dvrtool verify`): the data file, the offset the damage was found at (reading
// forwards the record's start, backwards its end) and what ParseRecord found wrong. Readers
// go on at the next record the index knows of; a reporter only counts or describes.
// It is also told of each attempt to open a data file that fails, with the errno and the
// path; the reader then goes on with the next file it can open.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"
#include "storage/formats.h"

namespace storage {

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Corruption(const std::string& file, uint64_t offset, RecordStatus status) = 0;
  virtual void OpenFailed(const platform::Status& /*status*/) {}
};

}  // namespace storage
