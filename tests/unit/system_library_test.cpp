// The Windows backend's DLL loading: System32 only, by name, and a missing DLL or function is
// an empty result rather than a crash.
#ifdef _WIN32
#include "platform/system_library.hpp"
#include "support/sandbox.hpp"

#include <bcrypt.h>

namespace kp::test {
namespace {

using win32::SystemLibrary;
using OpenAlgorithm = decltype(&BCryptOpenAlgorithmProvider);

// A DLL beside the program, where a plain LoadLibraryW finds it, is never a system library.
TEST(SystemLibrary, GivesSystemFunctionsOnlyAndNothingForWhatIsMissing) {
    SystemLibrary bcrypt(L"bcrypt.dll");
    EXPECT_NE(bcrypt.function<OpenAlgorithm>("BCryptOpenAlgorithmProvider"), nullptr);
    EXPECT_EQ(bcrypt.function<OpenAlgorithm>("BCryptNoSuchFunction"), nullptr);
    SystemLibrary missing(L"kp_no_such_library.dll");
    EXPECT_EQ(missing.function<OpenAlgorithm>("BCryptOpenAlgorithmProvider"), nullptr);

    const std::filesystem::path marker = built_program("kp_dll_marker").replace_extension(".dll");
    const std::filesystem::path planted = marker.parent_path() / "kp_planted_test.dll";
    const std::filesystem::path ran = marker.parent_path() / "kp_planted_test.dll.ran";
    std::filesystem::remove(planted); // a copy that a run which loaded it could not remove
    std::filesystem::remove(ran);
    std::filesystem::copy_file(marker, planted); // (mingw's overwrite_existing refuses any existing file)

    SystemLibrary(L"kp_planted_test.dll").function<void (*)()>("DllMain"); // loads the DLL if it can be found
    EXPECT_FALSE(std::filesystem::exists(ran)) << "the planted DLL ran";

    HMODULE by_plain_name = LoadLibraryW(L"kp_planted_test.dll"); // the control: it is there to find
    EXPECT_TRUE(std::filesystem::exists(ran));
    FreeLibrary(by_plain_name); // refuses a null module without harm
    std::filesystem::remove(planted);
    std::filesystem::remove(ran);
}

} // namespace
} // namespace kp::test
#endif
