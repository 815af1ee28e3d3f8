// A system library loaded when a step first needs it rather than at start-up, so that a launch
// that never decrypts, hashes or shows a window maps none of it. A library once loaded stays
// loaded until the process exits: libcrypto and Xlib register exit handlers of their own, and
// the launcher's life is one short pass.
#pragma once

#include <dlfcn.h>

namespace kp::posix {

class SharedLibrary {
  public:
    explicit SharedLibrary(const char* soname) : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // False when the library is missing or lacks the symbol; the function is then null.
    template <typename Function> bool resolve(Function& function, const char* symbol) const {
        function = handle_ == nullptr ? nullptr : reinterpret_cast<Function>(::dlsym(handle_, symbol));
        return function != nullptr;
    }

  private:
    void* handle_;
};

// Declares one function pointer named after each function of a list, typed as the function is.
#define KP_DECLARE_FUNCTION_POINTER(name) decltype(&::name) name = nullptr;

} // namespace kp::posix
