// Loads and unloads the module named on the command line. Copied under a
// host's file name (skype.exe, ...) so the module sees that host for real.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  HMODULE module = LoadLibraryA(argv[1]);
  if (!module) return 3;
  FreeLibrary(module);
  return 0;
}
