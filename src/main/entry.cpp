// The Windows process entry. The command line is not read.
#include "main/app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return orbel::main(); }
