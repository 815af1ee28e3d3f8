// Linked into the shipped launcher only. The C++ runtime's default terminate handler prints the
// demangled type of an uncaught exception, which pulls the demangler and a whole printf with
// floating-point formatting into the program. The launcher shows nothing and throws nothing it
// expects, so it ends the process the same way without the message.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler();

void __verbose_terminate_handler() {
    std::abort();
}

} // namespace __gnu_cxx
