/* ReplaceFile.exe: the self-check's editor-style save. Replaces one file by
 * another in a single ReplaceFileW call, as editors that keep the file's
 * identity do, and reports the outcome on one line.
 *
 *   ReplaceFile.exe <file to replace> <replacement>
 *
 * Exit code 0 when the call succeeded; 1 with the system's error code when
 * it failed; 2 for a wrong command line. */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fputs("usage: ReplaceFile.exe <file to replace> <replacement>\n", stderr);
    return 2;
  }
  if (!ReplaceFileW(argv[1], argv[2], NULL, REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL)) {
    printf("ReplaceFileW failed with error %lu\n", GetLastError());
    return 1;
  }
  puts("ReplaceFileW: replaced");
  return 0;
}
