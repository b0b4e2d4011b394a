// The Windows process entry. The command line is not read.
#include <cstdlib>

#include "main/app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return orbel::main(); }

// libstdc++'s default terminate handler prints the active exception's
// demangled type name to stderr, which a GUI process does not have; its
// name demangler alone is most of the executable. Orbel throws no exception
// of its own, so an uncaught one (only std::bad_alloc can arise) just ends
// the process, as the default would after printing.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
