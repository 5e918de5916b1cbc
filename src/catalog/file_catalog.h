// CFileCatalog: the catalogue of one file search. It holds the index files the host named,
// the catalogue of recorded data files built from them (two temporary file mappings: one
// FileInfo and one FileTimeTable per position, seen by the frame reader through `view`),
// the date table and the daylight-saving range of the day table.
//
// Threads: SetIndexFile, AddIndexFile and Build run on the host's thread while the file
// search is stopped. GetDateTable and GetDayTable may run on any thread and take `lock`
// for their whole run; Clear takes it while it drops the mappings. The frame reader
// (storage/frame_reader.h) runs only on the playback thread and reads `view` without the
// lock: the catalogue is never rebuilt while playback runs, and the playback thread is the
// one that clears it at its end.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalog_formats.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/temp_mapping.h"
#include "platform/thread_annotations.h"
#include "storage/formats.h"

class CFileCatalog {
 public:
  CFileCatalog();
  ~CFileCatalog();
  CFileCatalog(const CFileCatalog&) = delete;
  CFileCatalog& operator=(const CFileCatalog&) = delete;

  // Search source (host thread, file search stopped; ignored while a catalogue stands).
  void SetIndexFile(const std::string& directory, const std::string& name);
  void AddIndexFile(const std::string& directory, const std::string& name);

  // Catalogue life. Build makes the catalogue of the search source and sets `loaded` (1
  // when a catalogue stands, empty or not). Every cause met on the way goes to `problems`:
  // an index file that cannot be opened or read (left out, the rest catalogued), one too
  // short to hold its record (read as zeros past its end), records naming files outside
  // their directory, a single index file that is none, a table that cannot be made. The
  // result is the first of them, ok when there is none.
  platform::Status Build() EXCLUDES(lock);
  void Clear() EXCLUDES(lock);
  // The two sources; a failed Status means no catalogue stands (file problems only note).
  platform::Status BuildFromIndexList() EXCLUDES(lock);
  platform::Status LoadIndexFile(const std::string& path) EXCLUDES(lock);
  // Reads the first record of a listed index file, as a list build does (its header is not
  // examined): ok, or why it could not be read whole. Past what the file holds the record
  // is zeros; a file shorter than one record is Invalid, except an empty one (a pair the
  // recorder opened ahead of time), which holds an empty record.
  static platform::Status ReadFirstIndexRecord(const platform::File& file,
                                               storage::IndexRecord* record);
  // Opens an index file and reads its first record: why a list build would leave the file
  // out or read it short, or ok.
  static platform::Status CheckIndexFile(const std::string& path);

  // Date table, day table and the daylight-saving range.
  void BuildDateTable() EXCLUDES(lock);
  void GetDateTable(uint32_t* table, int32_t* count) EXCLUDES(lock);
  void GetDayTable(uint32_t date, uint32_t* anyMask, uint32_t* reason1Mask, uint32_t* reason2Mask,
                   uint32_t* reason4Mask, uint32_t* audioMask, uint32_t* dstHours, int32_t* dayKind,
                   int32_t* hourCount) EXCLUDES(lock);
  void SetDSTRange(int32_t enabled, int32_t startMonth, int32_t startDay, int32_t startHour,
                   int32_t endMonth, int32_t endDay, int32_t endHour);

  // Catalogue records by position (null when there is no mapping or j is out of range).
  storage::FileInfo* FileInfoAt(int32_t j) const;
  FileTimeTable* TimeTableAt(int32_t j) const;

  // Fields. Those without GUARDED_BY are written by Build and Clear; the view is read
  // lock-free by the frame reader on the playback thread (see the class comment).
  std::atomic<int32_t> loaded{0};
  std::string headerPath;
  int32_t sourceMode = 0;
  // The two tables, each in a temporary file mapping (the views below point into them).
  std::unique_ptr<platform::TempMapping> timeTableMap;
  std::unique_ptr<platform::TempMapping> fileInfoMap;
  storage::CatalogView view;
  // The range is written by SetDSTRange without the lock while a GetDayTable may read it.
  std::atomic<int32_t> dstEnabled{0};
  std::atomic<int32_t> dstStart[3] = {1, 1, 0};  // month, day, hour
  std::atomic<int32_t> dstEnd[3] = {1, 1, 0};
  platform::Mutex lock;
  std::vector<std::string> indexPaths;
  std::vector<std::string> dataPaths;
  // Most positions a catalogue holds: the reader's open-file slots (tests make it smaller).
  int32_t maxFiles = kOpenFileSlots;
  std::unique_ptr<platform::File> headerFile;
  int32_t oldestFile = 0;
  // Records skipped by the last build because the name they hold leads out of the index
  // file's directory.
  int32_t refusedNames = 0;
  // What the last Build could not read, in the order met (host thread, as Build).
  std::vector<platform::Status> problems;
  std::vector<platform::CTime> dateTable GUARDED_BY(lock);  // allocated for view.count days

 private:
  struct DstRange {
    bool valid;
    int32_t startMonth, startDay, startHour, endMonth, endDay, endHour;
  };
  // One consistent snapshot of the range for the length of one call.
  DstRange LoadRange() const;
  static bool IsDaylightHourIn(const DstRange& range, platform::CTime t);
  static int32_t DayKindIn(const DstRange& range, platform::CTime date);
  static bool IsValidRange(platform::CTime start, platform::CTime end);

  // Releases both mappings and nulls their views.
  void ReleaseMappings() REQUIRES(lock);
  // Creates both mappings for `count` positions; on failure releases both and says why.
  platform::Status CreateMappings(uint64_t count) REQUIRES(lock);
  // Source mode 0: the first record of each listed index file, in list order, into the
  // FileInfo mapping; returns their start times.
  std::vector<int64_t> StageIndexList() REQUIRES(lock);
  // Source mode 1, first pass: the record count, the mappings and the oldest record; failed
  // when the build fails (no whole record, no mapping). A file that cannot be opened leaves
  // the count 0 and is only noted.
  platform::Status ScanIndexFile(const std::string& path, int32_t* recordTotal) REQUIRES(lock);
  // Keeps a problem of the build (nothing when ok).
  void Note(platform::Status status);
  // The time table of every position from its FileInfo.
  void FillTimeTables() REQUIRES(lock);
};
