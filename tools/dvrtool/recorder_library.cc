#include "recorder_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <type_traits>
#include <vector>

#include "errors.h"

namespace dvrtool {
namespace {

std::vector<std::string> Candidates() {
  std::vector<std::string> paths;
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path dir = self.parent_path();
    for (const char* name : {"librecorder.so", "librecorder.so.1"}) {
      paths.push_back((dir / name).string());
      paths.push_back((dir / ".." / "lib" / name).string());
    }
  }
  if (const char* fromEnv = std::getenv("RECORDER_LIBRARY"); fromEnv != nullptr && *fromEnv) {
    paths.push_back(fromEnv);
  }
  // Bare names go through the loader's own search (run path, LD_LIBRARY_PATH, cache).
  paths.push_back("librecorder.so.1");
  paths.push_back("librecorder.so");
  return paths;
}

}  // namespace

const CRecorderLibrary& CRecorderLibrary::Get() {
  static CRecorderLibrary* library = [] {
    auto* loaded = new CRecorderLibrary();  // lives as long as the process, like the module
    loaded->Load();
    return loaded;
  }();
  return *library;
}

void CRecorderLibrary::Load() {
  std::string lastError = "not found";
  for (const std::string& candidate : Candidates()) {
    const bool bareName = candidate.find('/') == std::string::npos;
    std::error_code error;
    if (!bareName && !std::filesystem::exists(candidate, error)) continue;
    module_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ != nullptr) {
      path_ = candidate;
      break;
    }
    if (const char* why = dlerror(); why != nullptr) lastError = why;
  }
  if (module_ == nullptr) {
    throw RuntimeError("cannot load librecorder.so (" + lastError +
                       "); put it next to dvrtool or name it in RECORDER_LIBRARY");
  }
  auto resolve = [&](auto& slot, const char* name) {
    void* symbol = dlsym(module_, name);
    if (symbol == nullptr) throw RuntimeError(path_ + " has no export " + name);
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
  };
#define DVRTOOL_RESOLVE(name) resolve(name, #name);
  DVRTOOL_RESOLVE(_RECORDER_INIT)
  DVRTOOL_RESOLVE(_RECORDER_END)
  DVRTOOL_RESOLVE(_RECORDER_START)
  DVRTOOL_RESOLVE(_RECORDER_STOP)
  DVRTOOL_RESOLVE(_RECORDER_ADDFILEPATH)
  DVRTOOL_RESOLVE(_RECORDER_SETRECORD)
  DVRTOOL_RESOLVE(_RECORDER_SETSTATUS)
  DVRTOOL_RESOLVE(_RECORDER_WRITEVIDEO)
  DVRTOOL_RESOLVE(_RECORDER_WRITEAUDIO)
  DVRTOOL_RESOLVE(_RECORDER_GETFPS)
  DVRTOOL_RESOLVE(_RECORDER_GETBPS)
  DVRTOOL_RESOLVE(_RECORDER_GETCURRENTRECFILE)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_INIT)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_SETPATH)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_START)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_STOP)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_END)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_PLAYTIME)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_PLAYRATE)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_SETDISPLAYCHANNELS)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_SETCURRENTCHANNEL)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_SetDSTRange)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_GetDateTable)
  DVRTOOL_RESOLVE(_RECORDER_FILESEARCH_GetDayTable)
#undef DVRTOOL_RESOLVE
}

}  // namespace dvrtool
