// Benchmark driver: installs the application from LAUNCHER_DIR\app.enc into INSTALL_DIR, as the
// launcher does when the installation is missing or outdated. Exit code 0 when the application
// executable is there afterwards.
#include "common/file_io.hpp"
#include "common/install_layout.hpp"
#include "payload/payload_installation.hpp"
#include "platform/platform.hpp"
#include "platform/program_main.hpp"

#include <cstdio>

int program_main(const std::vector<std::u16string>& arguments) {
    if (arguments.size() != 2) {
        std::fputs("usage: kp_install_payload LAUNCHER_DIR INSTALL_DIR\n", stderr);
        return 2;
    }
    const std::u16string& install_dir = arguments[1];
    const std::u16string application_exe = install_dir + std::u16string(kp::APPLICATION_SUFFIX);
    kp::sys::com_initialize();
    kp::install_payload(arguments[0], install_dir, application_exe,
                        install_dir + std::u16string(kp::BUILD_STAMP_SUFFIX));
    kp::sys::com_uninitialize();
    return kp::exists(application_exe) ? 0 : 1;
}
