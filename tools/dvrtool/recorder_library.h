// The recorder library as dvrtool's host commands see it: librecorder.so loaded at run time
// and its exports looked up by name, exactly as a host application without a link-time
// dependency would. Used by record, play, dates, timeline and demo.
#pragma once

#include <string>

#include "recorder.h"

namespace dvrtool {

class CRecorderLibrary {
 public:
  // Looks next to the executable (and in ../lib of an installed tree), then at the path in
  // RECORDER_LIBRARY, then on the loader's default search path. Throws a RuntimeError with
  // the loader's reason when nothing loads or an export is missing.
  static const CRecorderLibrary& Get();

  const std::string& path() const { return path_; }

#define DVRTOOL_EXPORT(name) decltype(&::name) name = nullptr;
  DVRTOOL_EXPORT(_RECORDER_INIT)
  DVRTOOL_EXPORT(_RECORDER_END)
  DVRTOOL_EXPORT(_RECORDER_START)
  DVRTOOL_EXPORT(_RECORDER_STOP)
  DVRTOOL_EXPORT(_RECORDER_ADDFILEPATH)
  DVRTOOL_EXPORT(_RECORDER_SETRECORD)
  DVRTOOL_EXPORT(_RECORDER_SETSTATUS)
  DVRTOOL_EXPORT(_RECORDER_WRITEVIDEO)
  DVRTOOL_EXPORT(_RECORDER_WRITEAUDIO)
  DVRTOOL_EXPORT(_RECORDER_GETFPS)
  DVRTOOL_EXPORT(_RECORDER_GETBPS)
  DVRTOOL_EXPORT(_RECORDER_GETCURRENTRECFILE)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_INIT)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_SETPATH)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_START)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_STOP)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_END)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_PLAYTIME)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_PLAYRATE)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_SETDISPLAYCHANNELS)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_SETCURRENTCHANNEL)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_SetDSTRange)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_GetDateTable)
  DVRTOOL_EXPORT(_RECORDER_FILESEARCH_GetDayTable)
#undef DVRTOOL_EXPORT

 private:
  CRecorderLibrary() = default;
  void Load();

  void* module_ = nullptr;
  std::string path_;
};

}  // namespace dvrtool
