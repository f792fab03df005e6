// The program's entry point.
#include <windows.h>

#include "Main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunMorvik(); }
