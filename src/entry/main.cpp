#include <windows.h>

#include "setup_entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandTail, int showCommand) {
  return tessaline::RunSetup(instance, commandTail, showCommand);
}
