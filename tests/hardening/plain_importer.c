/* An ordinary program without any of Setup's protection: it imports one
 * function of each DLL the tests plant, statically, and sets no search
 * order. Beside it a planted DLL is loaded, which shows the planted DLLs and
 * the Wine overrides of the tests are able to catch a loader that takes them. */
#include "plain_importer_calls.h"

int main(int argc, char** argv) {
  (void)argv;
  /* Never true: the imports must exist, not run (a planted DLL only mimics
   * the names, and the declarations are not the functions' own). */
  if (argc > 1000) {
    CallEveryImport();
  }
  return 0;
}
