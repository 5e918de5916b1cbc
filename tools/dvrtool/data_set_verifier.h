// `dvrtool verify`: checks every data/index pair of a directory offline. The records up to
// the index's dataBytes must parse, and the index summary must say what the records say
// (start and end time, entries per minute with their bytes and channel masks). Every problem
// is one line naming the file and the byte offset where it is.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "data_set.h"
#include "storage/formats.h"
#include "storage/record_reporter.h"

namespace dvrtool {

struct VerifyTotals {
  int pairs = 0;
  int problems = 0;
  uint64_t records = 0;
  uint64_t damagedRecords = 0;  // records ParseRecord rejects, where reading goes on after
};

// One problem as `--json` lists it.
struct VerifyProblem {
  std::string path;
  uint64_t offset = 0;
  std::string what;
};

class CDataSetVerifier : private storage::Reporter {
 public:
  explicit CDataSetVerifier(std::ostream& out) : out_(out) {}
  VerifyTotals VerifyDirectory(const std::string& dir);

  // Every problem is also appended here (not capped per file like the text lines).
  void set_problem_list(std::vector<VerifyProblem>* list) { problemList_ = list; }
  // Called after each pair is checked, with the pairs done and the pairs in all.
  void set_pair_done(std::function<void(const FilePair&, size_t done, size_t total)> done) {
    pairDone_ = std::move(done);
  }

 private:
  void Problem(const std::string& path, uint64_t offset, const std::string& what);
  // Counts each damaged record (its problem line says where reading goes on).
  void Corruption(const std::string&, uint64_t, storage::RecordStatus) override {
    ++totals_.damagedRecords;
  }
  void VerifyPair(const std::string& dataPath, const std::string& indexPath);

  std::ostream& out_;
  std::vector<VerifyProblem>* problemList_ = nullptr;
  std::function<void(const FilePair&, size_t, size_t)> pairDone_;
  VerifyTotals totals_;
  int problemsInFile_ = 0;
};

}  // namespace dvrtool
