#include "storage/recent_recordings.h"

#include <map>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/paths.h"

namespace storage {
namespace {

struct Registry {
  platform::Mutex lock;
  // One entry per data file recorded into: as many as the rotation sets have files.
  struct Recorded {
    double when = 0;
    std::string name;  // the file's name when it was recorded into
  };
  std::map<platform::FileId, Recorded> lastRecorded GUARDED_BY(lock);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: writers may outlive exit
  return *registry;
}

}  // namespace

void NoteRecordedInto(const platform::FileId& file, const std::string& path) {
  if (file.inode == 0) return;
  const double now = platform::PerfSeconds();
  std::string name = platform::FileTitleOf(path);
  Registry& registry = TheRegistry();
  platform::MutexLock hold(&registry.lock);
  Registry::Recorded& recorded = registry.lastRecorded[file];
  recorded.when = now;
  if (recorded.name != name) recorded.name = std::move(name);
}

double SecondsSinceRecordedInto(const platform::FileId& file, const std::string& path) {
  const std::string name = platform::FileTitleOf(path);
  Registry& registry = TheRegistry();
  double when;
  {
    platform::MutexLock hold(&registry.lock);
    auto it = registry.lastRecorded.find(file);
    if (it == registry.lastRecorded.end() || it->second.name != name) return -1;
    when = it->second.when;
  }
  const double since = platform::PerfSeconds() - when;
  return since < 0 ? 0 : since;
}

}  // namespace storage
