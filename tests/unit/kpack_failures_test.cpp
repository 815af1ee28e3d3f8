// kpack's failures as a user meets them: one line naming the path the user gave and the system's
// reason, and nothing left behind, neither output nor a temporary file.
#include "kpack_io.hpp"
#include "platform/backend.hpp"
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "support/zip_archive.hpp"
#include "zip_archive.hpp"

#include <cerrno>
#include <system_error>

namespace kp::test {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using KpackFailures = KpackTest;

TEST_F(KpackFailures, NameTheUsersPathAndTheSystemsReason) {
    const Bytes archive = zip_archive({{"kestrin_pad.exe", "application"}});
    write_native(native("app.zip"), archive);
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("host.exe"), pe_image({}));
    write_native(native("tools/onnxruntime.dll"), bytes_of("runtime"));
    write_native(native("app.enc"), make_app_enc(archive));
    const std::string missing = std::generic_category().message(ENOENT);
    const std::string nowhere = "no/such/folder/out", not_created = "cannot be created: " + missing;
    // Each fails with "kpack: PATH: REASON" and leaves the sandbox as it was. The reason is the system's
    // words on POSIX; Windows words a failed file system call its own way.
    const auto fails = [&](const std::string& arguments, const std::string& named, const std::string& reason,
                           bool from_system = true) {
        expect_refused(arguments, {});
        const std::string head = "kpack: " + native(named).string() + ": ";
        // A reason follows the path, never a temporary name.
        EXPECT_THAT(error_text(),
                    AllOf(StartsWith(head), SizeIs(Gt(head.size() + 1)), Not(HasSubstr(".kpack-"))))
            << arguments;
        if (!running_under_windows() || !from_system) {
            EXPECT_THAT(error_text().substr(head.size()), HasSubstr(reason)) << arguments;
        }
    };
    fails("payload encrypt" + paths({"app.zip", nowhere}), nowhere, not_created);
    fails("payload decrypt" + paths({"app.enc", nowhere}), nowhere, not_created);
    fails("tools append" + paths({"host.exe", "tools"}) + " -o" + paths({nowhere}), nowhere, not_created);
    fails("payload encrypt" + paths({"absent.zip", "out.enc"}), "absent.zip", missing);
    fails("tools inspect" + paths({"absent.exe"}), "absent.exe", missing);
    fails("tools append" + paths({"host.exe", "absent"}) + " -o" + paths({"out.exe"}), "absent", missing);
    fails("payload inspect" + paths({"app"}), "app", "is a folder, not a file", false);
    fails("payload decrypt" + paths({"app.zip", "app.enc"}), "app.zip", "does not decrypt", false);
    // The folder form writes its zip beside app.enc first; that zip is never named.
    if (pack::zip_available())
        fails("payload encrypt" + paths({"app", nowhere}), nowhere, not_created);
}

// The data is on stable storage before the rename gives it the output's name, and the name after
// it; when either flush fails, the previous output stands or no output does, and no temporary file.
TEST_F(KpackFailures, OutputsAreFlushedBeforeTheirNameAndTheNameAfter) {
    const fs::path out = native("app.enc");
    const Bytes content = pattern_bytes(300000);
    std::vector<Bytes> named; // what the output's name held at each flush: the file's, then the folder's
    const auto look = [&] { named.push_back(read_native(out)); };
    fault::flush_file = [&](const FileHandle& file) { return look(), backend::flush_file(file); };
    fault::flush_directory = [&](const std::u16string& at) { return look(), backend::flush_directory(at); };
    write_native(out, bytes_of("old"));
    std::string problem;
    EXPECT_TRUE(pack::write_file_atomically(out, content, problem)) << problem;
    EXPECT_EQ(named, (std::vector<Bytes>{bytes_of("old"), content}));

    for (const bool data_fails : {true, false}) {
        fault::reset();
        write_native(out, bytes_of("old"));
        if (data_fails)
            fault::flush_file = [](const FileHandle&) { return false; };
        else
            fault::flush_directory = [](const std::u16string&) { return false; };
        EXPECT_FALSE(pack::write_file_atomically(out, content, problem));
        EXPECT_EQ(listing(), (data_fails ? Listing{{"app.enc", bytes_of("old")}} : Listing{}));
    }
}

} // namespace
} // namespace kp::test
