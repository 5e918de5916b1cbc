/* Compiled as C99: the public header is plain C, and every export can be named and linked. */
#include <stddef.h>
#include <stdio.h>

#include "recorder.h"

typedef void (*AnyFunction)(void);

int main(void) {
  AnyFunction exports[] = {
      (AnyFunction)_RECORDER_INIT,
      (AnyFunction)_RECORDER_END,
      (AnyFunction)_RECORDER_START,
      (AnyFunction)_RECORDER_STOP,
      (AnyFunction)_RECORDER_GETCOUNT,
      (AnyFunction)_RECORDER_GETNAME,
      (AnyFunction)_RECORDER_SETHEADERFILEPATH,
      (AnyFunction)_RECORDER_ADDFILEPATH,
      (AnyFunction)_RECORDER_REMOVEFILEPATH,
      (AnyFunction)_RECORDER_CLEARFILEPATH,
      (AnyFunction)_RECORDER_GETFILEPATHCOUNT,
      (AnyFunction)_RECORDER_GETFILEPATH,
      (AnyFunction)_RECORDER_GETCURRENTRECFILE,
      (AnyFunction)_RECORDER_SETOVERWRITEMODE,
      (AnyFunction)_RECORDER_GETOVERWRITEMODE,
      (AnyFunction)_RECORDER_GETOVERWRITECOUNT,
      (AnyFunction)_RECORDER_SETRECORD,
      (AnyFunction)_RECORDER_GETRECORD,
      (AnyFunction)_RECORDER_SETSTATUS,
      (AnyFunction)_RECORDER_GETSTATUS,
      (AnyFunction)_RECORDER_GETBPS,
      (AnyFunction)_RECORDER_GETFPS,
      (AnyFunction)_RECORDER_SETPREPOSTTIME,
      (AnyFunction)_RECORDER_WRITEVIDEO,
      (AnyFunction)_RECORDER_WRITEAUDIO,
      (AnyFunction)_RECORDER_WRITERECDATA,
      (AnyFunction)_RECORDER_WRITESTREAMHEADER,
      (AnyFunction)_RECORDER_WRITESTREAMDATA,
      (AnyFunction)_RECORDER_DELETEMAN_START,
      (AnyFunction)_RECORDER_DELETEMAN_STOP,
      (AnyFunction)_RECORDER_FILESEARCH_INIT,
      (AnyFunction)_RECORDER_FILESEARCH_SETPATH,
      (AnyFunction)_RECORDER_FILESEARCH_START,
      (AnyFunction)_RECORDER_FILESEARCH_STOP,
      (AnyFunction)_RECORDER_FILESEARCH_END,
      (AnyFunction)_RECORDER_FILESEARCH_SETCURRENTCHANNEL,
      (AnyFunction)_RECORDER_FILESEARCH_SETDISPLAYCHANNELS,
      (AnyFunction)_RECORDER_FILESEARCH_PLAYTIME,
      (AnyFunction)_RECORDER_FILESEARCH_PLAYRATE,
      (AnyFunction)_RECORDER_FILESEARCH_GETPLAYRATE,
      (AnyFunction)_RECORDER_FILESEARCH_SETSTATUS,
      (AnyFunction)_RECORDER_FILESEARCH_SetDSTRange,
      (AnyFunction)_RECORDER_FILESEARCH_GetDateTable,
      (AnyFunction)_RECORDER_FILESEARCH_GetDayTable,
  };
  size_t count = sizeof(exports) / sizeof(exports[0]);
  size_t i;
  for (i = 0; i < count; ++i) {
    if (exports[i] == NULL) return 1;
  }
  if (count != 44) return 1;
  /* Plain C can drive a recorder through the library. */
  {
    RECORDER_HANDLE recorder = _RECORDER_INIT("c99", 0, NULL);
    int32_t live = _RECORDER_GETCOUNT();
    _RECORDER_END(recorder);
    if (recorder == NULL || live != 1 || _RECORDER_GETCOUNT() != 0) return 1;
  }
  printf("%u exports\n", (unsigned)count);
  return 0;
}
