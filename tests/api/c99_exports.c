/* Compiled as C99: the public header is plain C, and a C host can drive a recorder through
 * the library (the exported names themselves are checked against the library by the export
 * tests). */
#include <stddef.h>
#include <stdio.h>

#include "recorder.h"

int main(void) {
  RECORDER_HANDLE recorder = _RECORDER_INIT("c99", 0, NULL);
  FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(1, 0, NULL, NULL);
  int32_t live = _RECORDER_GETCOUNT();
  _RECORDER_FILESEARCH_END(search);
  _RECORDER_END(recorder);
  if (recorder == NULL || search == NULL || live != 1 || _RECORDER_GETCOUNT() != 0) return 1;
  printf("a C host drove the library\n");
  return 0;
}
