/* Compiled as C99: the public header is plain C, and every export can be named and linked. */
#include <stddef.h>
#include <stdio.h>

#include "recorder.h"

typedef void (*AnyFunction)(void);

int main(void) {
#define F(name) (AnyFunction) _RECORDER_##name
  /* clang-format off */
  AnyFunction exports[] = {
      F(INIT), F(END), F(START), F(STOP), F(GETCOUNT), F(GETNAME), F(SETHEADERFILEPATH),
      F(ADDFILEPATH), F(REMOVEFILEPATH), F(CLEARFILEPATH), F(GETFILEPATHCOUNT), F(GETFILEPATH),
      F(GETCURRENTRECFILE), F(SETOVERWRITEMODE), F(GETOVERWRITEMODE), F(GETOVERWRITECOUNT),
      F(SETRECORD), F(GETRECORD), F(SETSTATUS), F(GETSTATUS), F(GETBPS), F(GETFPS),
      F(SETPREPOSTTIME), F(WRITEVIDEO), F(WRITEAUDIO), F(WRITERECDATA), F(WRITESTREAMHEADER),
      F(WRITESTREAMDATA), F(DELETEMAN_START), F(DELETEMAN_STOP), F(FILESEARCH_INIT),
      F(FILESEARCH_SETPATH), F(FILESEARCH_START), F(FILESEARCH_STOP), F(FILESEARCH_END),
      F(FILESEARCH_SETCURRENTCHANNEL), F(FILESEARCH_SETDISPLAYCHANNELS), F(FILESEARCH_PLAYTIME),
      F(FILESEARCH_PLAYRATE), F(FILESEARCH_GETPLAYRATE), F(FILESEARCH_SETSTATUS),
      F(FILESEARCH_SetDSTRange), F(FILESEARCH_GetDateTable), F(FILESEARCH_GetDayTable),
  };
  /* clang-format on */

  size_t count = sizeof(exports) / sizeof(exports[0]);
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
