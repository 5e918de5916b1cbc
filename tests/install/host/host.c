/* A tiny host built against an installed librecorder: creates a recorder, reads its name
 * back and ends it. Exit status 0 when the library answers as expected. */
#include <recorder.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  RECORDER_HANDLE recorder = _RECORDER_INIT("installed", 0, NULL);
  char name[32] = {0};
  int32_t size = (int32_t)sizeof(name);
  int ok = recorder != NULL && _RECORDER_GETCOUNT() == 1;
  _RECORDER_GETNAME(0, name, &size);
  ok = ok && strcmp(name, "installed") == 0;
  _RECORDER_END(recorder);
  ok = ok && _RECORDER_GETCOUNT() == 0;
  printf("%s\n", ok ? "host ok" : "host FAILED");
  return ok ? 0 : 1;
}
