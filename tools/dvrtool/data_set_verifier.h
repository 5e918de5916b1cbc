// `dvrtool verify`: checks every data/index pair of a directory offline. The records up to
// the index's dataBytes must parse, and the index summary must say what the records say
// (start and end time, entries per minute with their bytes and channel masks). Every problem
// is one line naming the file and the byte offset where it is.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "storage/formats.h"

namespace dvrtool {

struct RecordDamage;

struct VerifyTotals {
  int pairs = 0;
  int problems = 0;
  uint64_t records = 0;
};

class CDataSetVerifier {
 public:
  explicit CDataSetVerifier(std::ostream& out) : out_(out) {}
  VerifyTotals VerifyDirectory(const std::string& dir);

 private:
  void Problem(const std::string& path, uint64_t offset, const std::string& what);
  void VerifyPair(const std::string& dataPath, const std::string& indexPath);
  void VerifyAfterDamage(const std::string& dataPath, const storage::IndexSummary& stored,
                         const RecordDamage& first);

  std::ostream& out_;
  VerifyTotals totals_;
  int problemsInFile_ = 0;
};

}  // namespace dvrtool
