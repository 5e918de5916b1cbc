// The 44 exported functions. Each one checks its channel (where it takes one) before its
// handle, then enters the object behind the handle through its registry and forwards to one
// operation of it; a handle that is not live (never handed out, already ended, of the other
// kind) gets the failure value. Only the INIT and END functions and the recorder count and
// name queries take a global lock, and only around the registry: no object works and no host
// callback runs under it. No exception crosses this boundary: every export catches
// everything and returns its failure value.
#include <cstring>
#include <new>
#include <string>

#include "api/frame_descriptor_layout.h"
#include "api/globals.h"
#include "playback/file_search.h"
#include "recorder.h"
#include "recorder/recorder.h"
#include "storage/event_callback_scope.h"

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

inline uintptr_t Key(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

// One export call inside the object behind a handle. The object is null when the handle is
// not live; otherwise an END of the handle waits until this call has returned.
template <typename Object>
class Entered {
 public:
  // `insideCallback`: the calling thread is inside the object's own event callback, so the
  // object lives at least until the callback returns, even while an END on this very thread
  // destroys it. The call does not enter: an END must never wait for it, and the last call
  // to leave an ended object destroys it, which must not happen inside its own callback.
  Entered(CObjectRegistry& registry, const void* handle, bool insideCallback = false)
      : registry_(registry), key_(Key(handle)) {
    if (!insideCallback) {
      object_ = static_cast<Object*>(registry.Enter(key_));
      entered_ = object_ != nullptr;
      return;
    }
    object_ = static_cast<Object*>(registry.Peek(key_));
    if (object_ == nullptr) object_ = static_cast<Object*>(registry.PeekRemoved(key_));
  }
  ~Entered() {
    if (entered_) registry_.Leave(key_);
  }
  Entered(const Entered&) = delete;
  Entered& operator=(const Entered&) = delete;

  explicit operator bool() const { return object_ != nullptr; }
  Object* operator->() const { return object_; }
  Object* get() const { return object_; }

 private:
  CObjectRegistry& registry_;
  const uintptr_t key_;
  bool entered_ = false;
  Object* object_ = nullptr;
};

// START, STOP, END, the four path settings, the stream writes and the frame writes wait for
// the recorder's writeLock, its rings or its deletion worker. Called from inside that
// recorder's own event callback they would wait for their own thread forever, so there they
// refuse at once.
inline bool InsideEventCallbackOf(RECORDER_HANDLE handle) {
  return CEventCallbackScope::Inside(handle);
}

// Inside the recorder's own event callback the recorder is alive even while END destroys it
// (the callback runs inside that destruction): the queries there still answer.
inline Entered<CRecorder> Recorder(RECORDER_HANDLE handle) {
  return Entered<CRecorder>(g_recorderRegistry, handle, InsideEventCallbackOf(handle));
}

// Host text may be null; the recorder treats it as empty text.
inline const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Recorders: creation, destruction, enumeration.

RECORDER_EXPORT RECORDER_HANDLE _RECORDER_INIT(const char* name, uintptr_t context,
                                               RecorderEventCallback callback) {
  try {
    // The recorder is made outside the registry's lock: its own locks are never taken
    // under it, and other hosts' calls do not wait for its buffers to be allocated.
    uintptr_t key = 0;
    {
      platform::MutexLock hold(&g_recorderLock);
      key = g_recorderRegistry.Reserve();
    }
    if (key == 0) return nullptr;
    const auto handle = reinterpret_cast<RECORDER_HANDLE>(key);
    CRecorder* recorder = nullptr;
    try {
      recorder = new CRecorder(handle, TextOrEmpty(name), context, callback);
    } catch (...) {
      recorder = nullptr;  // never started: no callback runs
    }
    platform::MutexLock hold(&g_recorderLock);
    if (recorder == nullptr) {
      g_recorderRegistry.Release(key);
      return nullptr;
    }
    g_recorderRegistry.Publish(key, recorder);
    return handle;
  } catch (...) {
    return nullptr;
  }
}

RECORDER_EXPORT void _RECORDER_END(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) {
      platform::MutexLock hold(&g_recorderLock);
      return;
    }
    if (InsideEventCallbackOf(handle)) return;
    const uintptr_t key = Key(handle);
    CRecorder* recorder = nullptr;
    {
      // Only the handle leaves the registry under the global lock. The caller that removed it
      // is the one that destroys the recorder, so a second END of the handle does nothing.
      platform::MutexLock hold(&g_recorderLock);
      recorder = static_cast<CRecorder*>(g_recorderRegistry.Remove(key));
    }
    if (recorder == nullptr) return;
    if (CEventCallbackScope::InsideAny()) {
      // From an event callback a call inside this recorder may be waiting for the callback's
      // own thread (its callback ending the recorder this callback belongs to): END does not
      // wait for it, and the last call to leave destroys the recorder.
      g_recorderRegistry.DestroyWhenIdle(key, [](void* object) {
        try {
          delete static_cast<CRecorder*>(object);
        } catch (...) {
        }
      });
      return;
    }
    g_recorderRegistry.WaitForCalls(key);
    // Destruction stops the recording as STOP does (the rings drain, the buffer is written
    // out, events may be raised), then ends the recorder's threads.
    delete recorder;
    g_recorderRegistry.Release(key);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_START(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle)) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->Start() : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_STOP(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle)) return;
    if (auto recorder = Recorder(handle)) recorder->Stop();
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETCOUNT(void) {
  try {
    platform::MutexLock hold(&g_recorderLock);
    return g_recorderRegistry.GetCount();
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETNAME(int32_t index, char* buffer, const int32_t* size) {
  try {
    // Every removal from the registry happens under g_recorderLock, so the recorders listed
    // stay alive for the walk. The walk runs to the end even after the match.
    platform::MutexLock hold(&g_recorderLock);
    int32_t position = 0;
    for (const auto& [key, object] : g_recorderRegistry.Entries()) {
      if (position == index && buffer != nullptr && size != nullptr) {
        const auto* recorder = static_cast<const CRecorder*>(object);
        const std::string& name = recorder->name();
        if (*size > 0 && name.size() < static_cast<uint32_t>(*size)) {
          std::memcpy(buffer, name.c_str(), name.size() + 1);
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
    if (handle == nullptr || InsideEventCallbackOf(handle)) return;
    if (auto recorder = Recorder(handle)) recorder->SetHeaderFilePath(TextOrEmpty(path), source);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_ADDFILEPATH(RECORDER_HANDLE handle, const char* path) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle) || path == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->AddFilePath(path);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_REMOVEFILEPATH(RECORDER_HANDLE handle, const char* path) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle) || path == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->RemoveFilePath(path);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_CLEARFILEPATH(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle)) return;
    if (auto recorder = Recorder(handle)) recorder->ClearFilePath();
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFILEPATHCOUNT(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->GetFilePathCount() : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFILEPATH(RECORDER_HANDLE handle, int32_t index, char* buffer,
                                              int32_t size) {
  try {
    if (handle == nullptr || buffer == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->GetFilePath(index, buffer, size) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETCURRENTRECFILE(RECORDER_HANDLE handle, char* buffer,
                                                    int32_t size) {
  try {
    if (handle == nullptr || buffer == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->GetCurrentRecFile(buffer, size) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETOVERWRITEMODE(RECORDER_HANDLE handle, int32_t mode) {
  try {
    if (handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->SetOverwriteMode(mode);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETOVERWRITEMODE(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->GetOverwriteMode() : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETOVERWRITECOUNT(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->GetOverwriteCount() : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETRECORD(RECORDER_HANDLE handle, uint32_t channel,
                                         int32_t enabled) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->switches().SetRecord(channel, enabled);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETRECORD(RECORDER_HANDLE handle, uint32_t channel) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->switches().GetRecord(channel) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETSTATUS(RECORDER_HANDLE handle, uint32_t channel,
                                         uint32_t status) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->switches().SetStatus(channel, status);
  } catch (...) {
  }
}

RECORDER_EXPORT uint32_t _RECORDER_GETSTATUS(RECORDER_HANDLE handle, uint32_t channel) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->switches().GetStatus(channel) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETBPS(RECORDER_HANDLE handle, uint32_t channel,
                                         double* bytesPerSecond) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || bytesPerSecond == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->throughput().GetBps(channel, bytesPerSecond) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_GETFPS(RECORDER_HANDLE handle, uint32_t channel,
                                         double* framesPerSecond) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || framesPerSecond == nullptr) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->throughput().GetFps(channel, framesPerSecond) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_SETPREPOSTTIME(RECORDER_HANDLE handle, int32_t preSeconds,
                                              int32_t postSeconds) {
  try {
    if (handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->SetPrePostTime(preSeconds, postSeconds);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Frame intake and stream writes.

RECORDER_EXPORT int32_t _RECORDER_WRITEVIDEO(RECORDER_HANDLE handle, uint32_t channel,
                                             FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || InsideEventCallbackOf(handle) ||
        frame == nullptr)
      return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->WriteVideo(channel, frame) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITEAUDIO(RECORDER_HANDLE handle, uint32_t channel,
                                             FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || InsideEventCallbackOf(handle) ||
        frame == nullptr)
      return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->WriteAudio(channel, frame) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITERECDATA(RECORDER_HANDLE handle, uint32_t channel,
                                               FrameDescriptor* frame) {
  try {
    if (!ChannelInRange(channel) || handle == nullptr || InsideEventCallbackOf(handle) ||
        frame == nullptr)
      return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->WriteRecData(channel, frame) : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_WRITESTREAMHEADER(RECORDER_HANDLE handle, int32_t /*unused1*/,
                                                    const void* data, uint32_t count,
                                                    int32_t /*unused2*/) {
  try {
    if (handle == nullptr || InsideEventCallbackOf(handle)) return 0;
    auto recorder = Recorder(handle);
    return recorder ? recorder->WriteStreamHeader(data, count) : 0;
  } catch (...) {
    return 0;
  }
}

// Raw stream data has no way into the files (records reach them only through intake): the
// export stays for hosts built against it and stores nothing.
RECORDER_EXPORT int32_t _RECORDER_WRITESTREAMDATA(RECORDER_HANDLE /*handle*/, int32_t /*unused1*/,
                                                  const void* /*data*/, uint32_t /*count*/,
                                                  int32_t /*fileId*/, int32_t /*unused2*/,
                                                  int32_t /*unused3*/) {
  return 0;
}

// ---------------------------------------------------------------------------------------
// Deletion manager.

RECORDER_EXPORT void _RECORDER_DELETEMAN_START(RECORDER_HANDLE handle, int32_t days,
                                               int32_t hours) {
  try {
    if (handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->DeleteManagerStart(days, hours);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_DELETEMAN_STOP(RECORDER_HANDLE handle) {
  try {
    if (handle == nullptr) return;
    if (auto recorder = Recorder(handle)) recorder->DeleteManagerStop();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// File searches. The exports that would wait for the scheduler's locks (STOP, END,
// PLAYTIME, PLAYRATE) refuse to act from inside one of the same file search's callbacks,
// which run while the scheduler holds those locks.

namespace {

inline Entered<CFileSearch> Search(FILESEARCH_HANDLE handle) {
  return Entered<CFileSearch>(g_fileSearchRegistry, handle);
}

}  // namespace

RECORDER_EXPORT FILESEARCH_HANDLE _RECORDER_FILESEARCH_INIT(
    uint32_t channelCount, uintptr_t context, FileSearchFrameCallback frameCallback,
    FileSearchNotifyCallback notifyCallback) {
  try {
    uintptr_t key = 0;
    {
      platform::MutexLock hold(&g_fileSearchLock);
      key = g_fileSearchRegistry.Reserve();
    }
    if (key == 0) return nullptr;
    const auto handle = reinterpret_cast<FILESEARCH_HANDLE>(key);
    CFileSearch* search = nullptr;
    try {
      search = CFileSearch::Create(channelCount, context, frameCallback, notifyCallback);
      if (search != nullptr) search->SetHandle(handle);
    } catch (...) {
      CFileSearch::End(search);  // nothing started playing: no callback runs
      search = nullptr;
    }
    platform::MutexLock hold(&g_fileSearchLock);
    if (search == nullptr) {
      g_fileSearchRegistry.Release(key);
      return nullptr;
    }
    g_fileSearchRegistry.Publish(key, search);
    return handle;
  } catch (...) {
    return nullptr;
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETPATH(FILESEARCH_HANDLE handle, const char* directory,
                                                  const char* name, int32_t flag) {
  try {
    // The search's control lock may be held by a STOP that waits for this callback.
    if (handle == nullptr) return;
    auto search = Search(handle);
    if (search && !CFileSearch::InsideCallbackOf(search.get()))
      search->SetPath(directory, name, flag);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_START(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr) return 0;
    auto search = Search(handle);
    return search && !CFileSearch::InsideCallbackOf(search.get()) ? search->Start() : 0;
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_STOP(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr) return;
    auto search = Search(handle);
    if (search && !CFileSearch::InsideCallbackOf(search.get())) search->Stop();
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_END(FILESEARCH_HANDLE handle) {
  try {
    if (handle == nullptr) {
      platform::MutexLock hold(&g_fileSearchLock);
      return;
    }
    const uintptr_t key = Key(handle);
    // The pointer is only compared, never followed.
    if (CFileSearch::InsideCallbackOf(CFileSearch::FromHandle(handle))) return;
    CFileSearch* search = nullptr;
    {
      // Only the handle leaves the registry under the global lock; the caller that removed
      // it stops and destroys the file search, once.
      platform::MutexLock hold(&g_fileSearchLock);
      search = static_cast<CFileSearch*>(g_fileSearchRegistry.Remove(key));
    }
    if (search == nullptr) return;
    g_fileSearchRegistry.WaitForCalls(key);
    CFileSearch::End(search);
    g_fileSearchRegistry.Release(key);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETCURRENTCHANNEL(FILESEARCH_HANDLE handle,
                                                            uint32_t channel) {
  try {
    if (handle == nullptr) return;
    if (auto search = Search(handle)) search->SetCurrentChannel(channel);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(FILESEARCH_HANDLE handle,
                                                             const uint32_t* display,
                                                             int32_t count) {
  try {
    if (handle == nullptr) return;
    if (auto search = Search(handle)) search->SetDisplayChannels(display, count);
  } catch (...) {
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_PLAYTIME(FILESEARCH_HANDLE handle, int32_t year,
                                                      int32_t month, int32_t day, int32_t hour,
                                                      int32_t minute, int32_t second) {
  try {
    if (handle == nullptr) return 0;
    auto search = Search(handle);
    if (!search || CFileSearch::InsideCallbackOf(search.get())) return 0;
    return search->PlayTime(year, month, day, hour, minute, second);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_PLAYRATE(FILESEARCH_HANDLE handle, float rate) {
  try {
    if (handle == nullptr) return 0;
    auto search = Search(handle);
    if (!search || CFileSearch::InsideCallbackOf(search.get())) return 0;
    return search->PlayRate(rate);
  } catch (...) {
    return 0;
  }
}

RECORDER_EXPORT int32_t _RECORDER_FILESEARCH_GETPLAYRATE(FILESEARCH_HANDLE handle, float* rate) {
  try {
    if (handle == nullptr || rate == nullptr) return 0;
    auto search = Search(handle);
    return search ? search->GetPlayRate(rate) : 0;
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
    if (auto search = Search(handle))
      search->SetDSTRange(enabled, startMonth, startDay, startHour, endMonth, endDay, endHour);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_GetDateTable(FILESEARCH_HANDLE handle, uint32_t* table,
                                                       int32_t* count) {
  try {
    if (handle == nullptr) return;
    if (auto search = Search(handle)) search->GetDateTable(table, count);
  } catch (...) {
  }
}

RECORDER_EXPORT void _RECORDER_FILESEARCH_GetDayTable(FILESEARCH_HANDLE handle, uint32_t date,
                                                      uint32_t* anyMask, uint32_t* reason1Mask,
                                                      uint32_t* reason2Mask, uint32_t* reason4Mask,
                                                      uint32_t* audioMask, uint32_t* dstHours,
                                                      int32_t* dayKind, int32_t* hourCount) {
  try {
    if (handle == nullptr) return;
    if (auto search = Search(handle))
      search->GetDayTable(date, anyMask, reason1Mask, reason2Mask, reason4Mask, audioMask, dstHours,
                          dayKind, hourCount);
  } catch (...) {
  }
}
