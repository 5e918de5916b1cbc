#include "storage/recent_recordings.h"

#include <map>

#include "platform/clock.h"
#include "platform/mutex.h"

namespace storage {
namespace {

struct Registry {
  platform::Mutex lock;
  // One entry per data file recorded into: as many as the rotation sets have files.
  std::map<platform::FileId, double> lastRecorded GUARDED_BY(lock);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: writers may outlive exit
  return *registry;
}

}  // namespace

void NoteRecordedInto(const platform::FileId& file) {
  if (file.inode == 0) return;
  const double now = platform::PerfSeconds();
  Registry& registry = TheRegistry();
  platform::MutexLock hold(&registry.lock);
  registry.lastRecorded[file] = now;
}

double SecondsSinceRecordedInto(const platform::FileId& file) {
  Registry& registry = TheRegistry();
  double when;
  {
    platform::MutexLock hold(&registry.lock);
    auto it = registry.lastRecorded.find(file);
    if (it == registry.lastRecorded.end()) return -1;
    when = it->second;
  }
  const double since = platform::PerfSeconds() - when;
  return since < 0 ? 0 : since;
}

}  // namespace storage
