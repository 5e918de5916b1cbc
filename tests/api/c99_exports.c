// Compiled as C99: the public header is plain C, and a C host can drive a recorder through
// the library (the exported names themselves are checked against the library by the export
// tests).
#include <stddef.h>

#include "recorder.h"

int main(void) {
  RECORDER_HANDLE recorder = _RECORDER_INIT("c99", 0, NULL);
  const int live = recorder != NULL && _RECORDER_GETCOUNT() == 1;
  _RECORDER_END(recorder);
  return live && _RECORDER_GETCOUNT() == 0 ? 0 : 1;
}
