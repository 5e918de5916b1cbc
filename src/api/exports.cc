// The 44 exported functions. Each one checks its channel (where it takes one) before its
// handle, then forwards to one operation of the object behind the handle. Only the INIT
// and END functions and the recorder count and name queries take a global lock. No
// exception crosses this boundary: every export catches everything and returns its failure
// value.
#include <cstring>
#include <new>
#include <string>

#include "api/frame_descriptor_layout.h"
#include "api/globals.h"
#include "playback/file_search.h"
#include "recorder.h"
#include "recorder/path_list.h"
#include "recorder/recorder.h"

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kChannelLimit = CRecorderBase::kChannelCount;

// Channels are compared with 32 as unsigned numbers, so a negative value from the host is
// refused like 32.
inline bool ChannelInRange(uint32_t channel) { return channel < kChannelLimit; }

inline CRecorderBase* Recorder(RECORDER_HANDLE handle) { return CRecorderBase::FromHandle(handle); }

// Host text may be null; the recorder treats it as empty text.
inline const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Recorders: creation, destruction, enumeration.

RECORDER_EXPORT RECORDER_HANDLE _RECORDER_INIT(const char* name, uintptr_t context,
                                               RecorderEventCallback callback) {
  try {
    EventLockHolder hold(g_recorderLock);
    CRecorderBase* recorder = nullptr;
    try {
      recorder = new CRecorder();
      recorder->Initialise(TextOrEmpty(name), context, callback);
      const auto key = reinterpret_cast<uintptr_t>(recorder->handle());
      g_recorderRegistry.Add(key, key);
    } catch (...) {
      delete recorder;
      return nullptr;
    }
    return recorder->handle();
  } catch (...) {
    return nullptr;
  }
}

RECORDER_EXPORT void _RECORDER_END(RECORDER_HANDLE handle) {
  try {
    EventLockHolder hold(g_recorderLock);
    if (handle == nullptr) return;
    // A handle the registry does not hold is not ours (or already ended): leave it alone.
    if (g_recorderRegistry.Remove(reinterpret_cast<uintptr_t>(handle)) == 0) return;
    delete Recorder(handle);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_START(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->Start();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_STOP(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->Stop();
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETCOUNT(void) {
  try {
    EventLockHolder hold(g_recorderLock);
    return g_recorderRegistry.GetCount();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETNAME(int32_t index, char* buffer, const int32_t* size) {
  try {
    EventLockHolder hold(g_recorderLock);
    // Every change to the registry happens under g_recorderLock, so its own lock is not
    // needed for the walk. The walk runs to the end even after the match.
    int32_t position = 0;
    for (const auto& entry : g_recorderRegistry.EntriesUnlocked()) {
      if (position == index && buffer != nullptr && size != nullptr) {
        CRecorderBase* recorder = Recorder(reinterpret_cast<RECORDER_HANDLE>(entry.second));
        if (recorder->pathList) {
          const std::string& name = recorder->pathList->name();
          if (*size > 0 && name.size() < static_cast<uint32_t>(*size)) {
            std::memcpy(buffer, name.c_str(), name.size() + 1);
          }
        }
      }
      ++position;
    }
  } catch (...) {
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Recorder settings and queries.

RECORDER_EXPORT void _RECORDER_SETHEADERFILEPATH(RECORDER_HANDLE handle, const char* path,
                                                 int32_t source) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->SetHeaderFilePath(TextOrEmpty(path), source);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_ADDFILEPATH(RECORDER_HANDLE handle, const char* path) {
  try {
    if (handle == nullptr || path == nullptr) return;
    Recorder(handle)->AddFilePath(path);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_REMOVEFILEPATH(RECORDER_HANDLE handle, const char* path) {
  try {
    if (handle == nullptr || path == nullptr) return;
    Recorder(handle)->RemoveFilePath(path);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_CLEARFILEPATH(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->ClearFilePath();
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFILEPATHCOUNT(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->GetFilePathCount();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFILEPATH(RECORDER_HANDLE handle, int32_t index, char* buffer,
                                              int32_t size) {
  try {
    if (handle == nullptr || buffer == nullptr) return 0;
    return Recorder(handle)->GetFilePath(index, buffer, size);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETCURRENTRECFILE(RECORDER_HANDLE handle, char* buffer,
                                                    int32_t size) {
  try {
    if (handle == nullptr || buffer == nullptr) return 0;
    return Recorder(handle)->GetCurrentRecFile(buffer, size);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETOVERWRITEMODE(RECORDER_HANDLE handle, int32_t mode) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->SetOverwriteMode(mode);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETOVERWRITEMODE(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->GetOverwriteMode();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETOVERWRITECOUNT(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->GetOverwriteCount();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETRECORD(RECORDER_HANDLE handle, uint32_t channel,
                                         int32_t enabled) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return;
    Recorder(handle)->SetRecord(channel, enabled);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETRECORD(RECORDER_HANDLE handle, uint32_t channel) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return 0;
    return Recorder(handle)->GetRecord(channel);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETSTATUS(RECORDER_HANDLE handle, uint32_t channel,
                                         uint32_t status) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return;
    Recorder(handle)->SetStatus(channel, status);
  } catch (...) {
  }
}

RECORDER_EXPORT uint32_t _RECORDER_GETSTATUS(RECORDER_HANDLE handle, uint32_t channel) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return 0;
    return Recorder(handle)->GetStatus(channel);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETBPS(RECORDER_HANDLE handle, uint32_t channel,
                                         double* bytesPerSecond) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || bytesPerSecond == nullptr) return 0;
    return Recorder(handle)->GetBps(channel, bytesPerSecond);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFPS(RECORDER_HANDLE handle, uint32_t channel,
                                         double* framesPerSecond) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || framesPerSecond == nullptr) return 0;
    return Recorder(handle)->GetFps(channel, framesPerSecond);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETPREPOSTTIME(RECORDER_HANDLE handle, int32_t preSeconds,
                                              int32_t postSeconds) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->SetPrePostTime(preSeconds, postSeconds);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Frame intake and stream writes.

RECORDER_EXPORT int32_t _RECORDER_WRITEVIDEO(RECORDER_HANDLE handle, uint32_t channel,
                                             FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || frame == nullptr) return 0;
    return Recorder(handle)->WriteVideo(channel, frame);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITEAUDIO(RECORDER_HANDLE handle, uint32_t channel,
                                             FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || frame == nullptr) return 0;
    return Recorder(handle)->WriteAudio(channel, frame);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITERECDATA(RECORDER_HANDLE handle, uint32_t channel,
                                               FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || frame == nullptr) return 0;
    return Recorder(handle)->WriteRecData(channel, frame);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITESTREAMHEADER(RECORDER_HANDLE handle, int32_t unused1,
                                                    const void* data, uint32_t count,
                                                    int32_t unused2) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->WriteStreamHeader(unused1, data, count, unused2);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITESTREAMDATA(RECORDER_HANDLE handle, int32_t unused1,
                                                  const void* data, uint32_t count, int32_t fileId,
                                                  int32_t unused2, int32_t unused3) {
  try {
    if (handle == nullptr) return 0;
    return Recorder(handle)->WriteStreamData(unused1, data, count, fileId, unused2, unused3);
  } catch (...) {
    return 0;
  }
}

// ---------------------------------------------------------------------------------------
// Deletion manager.

RECORDER_EXPORT void _RECORDER_DELETEMAN_START(RECORDER_HANDLE handle, int32_t days,
                                               int32_t hours) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->DeleteManagerStart(days, hours);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_DELETEMAN_STOP(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return;
    Recorder(handle)->DeleteManagerStop();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// File searches. The exports that would wait for the scheduler's locks (STOP, END,
// PLAYTIME, PLAYRATE) refuse to act from inside one of the same file search's callbacks,
// which run while the scheduler holds those locks.

namespace {

inline CFileSearch* Search(FILESEARCH_HANDLE handle) { return CFileSearch::FromHandle(handle); }

// Compares the handle only; it is not dereferenced, so an unknown handle is safe here.
inline bool InsideCallbackOf(FILESEARCH_HANDLE handle) {
  return CFileSearch::InsideCallbackOf(Search(handle));
}

}  // namespace

RECORDER_EXPORT FILESEARCH_HANDLE _RECORDER_FILESEARCH_INIT(
    uint32_t channelCount, uintptr_t context, FileSearchFrameCallback frameCallback,
    FileSearchNotifyCallback notifyCallback) {
  try {
    EventLockHolder hold(g_fileSearchLock);
    CFileSearch* search = nullptr;
    try {
      search = CFileSearch::Create(channelCount, context, frameCallback, notifyCallback);
      if (search == nullptr) return nullptr;
      const auto key = reinterpret_cast<uintptr_t>(search->handle());
      g_fileSearchRegistry.Add(key, key);
    } catch (...) {
      CFileSearch::End(search);
      return nullptr;
    }
    return search->handle();
  } catch (...) {
    return nullptr;
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETPATH(FILESEARCH_HANDLE handle, const char* directory,
                                                  const char* name, int32_t flag) {
  try {
    // The search's control lock may be held by a STOP that waits for this callback.
    if (handle == nullptr || InsideCallbackOf(handle)) return;
    Search(handle)->SetPath(directory, name, flag);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_START(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr || InsideCallbackOf(handle)) return 0;
    return Search(handle)->Start();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_STOP(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr || InsideCallbackOf(handle)) return;
    Search(handle)->Stop();
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_END(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr || InsideCallbackOf(handle)) return;
    EventLockHolder hold(g_fileSearchLock);
    // A handle the registry does not hold is not ours (or already ended): leave it alone.
    if (g_fileSearchRegistry.Remove(reinterpret_cast<uintptr_t>(handle)) == 0) return;
    CFileSearch::End(Search(handle));
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETCURRENTCHANNEL(FILESEARCH_HANDLE handle,
                                                            uint32_t channel) {
  try {
    if (handle == nullptr) return;
    Search(handle)->SetCurrentChannel(channel);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(FILESEARCH_HANDLE handle,
                                                             const uint32_t* display,
                                                             int32_t count) {
  try {
    if (handle == nullptr) return;
    Search(handle)->SetDisplayChannels(display, count);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_PLAYTIME(FILESEARCH_HANDLE handle, int32_t year,
                                                      int32_t month, int32_t day, int32_t hour,
                                                      int32_t minute, int32_t second) {
  try {
    if (handle == nullptr || InsideCallbackOf(handle)) return 0;
    return Search(handle)->PlayTime(year, month, day, hour, minute, second);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_PLAYRATE(FILESEARCH_HANDLE handle, float rate) {
  try {
    if (handle == nullptr || InsideCallbackOf(handle)) return 0;
    return Search(handle)->PlayRate(rate);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_GETPLAYRATE(FILESEARCH_HANDLE handle, float* rate) {
  try {
    if (handle == nullptr || rate == nullptr) return 0;
    return Search(handle)->GetPlayRate(rate);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_SETSTATUS(FILESEARCH_HANDLE handle, int32_t status) {
  // Accepted and ignored, for a live handle and for null alike.
  (void)handle;
  (void)status;
  return 0;
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SetDSTRange(FILESEARCH_HANDLE handle, int32_t enabled,
                                                      int32_t startMonth, int32_t startDay,
                                                      int32_t startHour, int32_t endMonth,
                                                      int32_t endDay, int32_t endHour) {
  try {
    if (handle == nullptr) return;
    Search(handle)->SetDSTRange(enabled, startMonth, startDay, startHour, endMonth, endDay,
                                endHour);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_GetDateTable(FILESEARCH_HANDLE handle, uint32_t* table,
                                                       int32_t* count) {
  try {
    if (handle == nullptr) return;
    Search(handle)->GetDateTable(table, count);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_GetDayTable(FILESEARCH_HANDLE handle, int32_t date,
                                                      uint32_t* anyMask, uint32_t* reason1Mask,
                                                      uint32_t* reason2Mask, uint32_t* reason4Mask,
                                                      uint32_t* audioMask, uint32_t* dstHours,
                                                      int32_t* dayKind, int32_t* hourCount) {
  try {
    if (handle == nullptr) return;
    Search(handle)->GetDayTable(date, anyMask, reason1Mask, reason2Mask, reason4Mask, audioMask,
                                dstHours, dayKind, hourCount);
  } catch (...) {
  }
}
