// kpack's failures as a user meets them: one line naming the path the user gave and the system's
// reason, and nothing left behind, neither output nor a temporary file.
#include "kpack_io.hpp"
#include "platform/backend.hpp"
#include "support/kpack_run.hpp"
#include "support/pe_image.hpp"
#include "support/zip_archive.hpp"
#include "zip_archive.hpp"

#include <cerrno>
#include <set>
#include <system_error>

namespace kp::test {
namespace {

namespace fs = std::filesystem;

class KpackFailures : public KpackTest {
  protected:
    std::set<fs::path> everything() {
        std::set<fs::path> names;
        for (const auto& entry : fs::recursive_directory_iterator(root()))
            if (entry.path().extension() != ".txt")
                names.insert(fs::relative(entry.path(), root()));
        return names;
    }
    // The run fails with "kpack: PATH: REASON" and leaves the sandbox as it was.
    void expect_failure(const std::string& arguments, const fs::path& named, const std::string& reason,
                        bool from_system = true) {
        SCOPED_TRACE(arguments);
        const auto before = everything();
        EXPECT_EQ(kpack(arguments), 1);
        const std::string message = error_text();
        const std::string head = "kpack: " + named.string() + ": ";
        EXPECT_TRUE(message.starts_with(head)) << message;
        EXPECT_EQ(line_count(message), 1u) << message;
        EXPECT_EQ(message.find(".kpack-"), std::string::npos) << message; // no temporary name
        // The system's words on POSIX; Windows words a failed file system call its own way.
        if (!running_under_windows() || !from_system) {
            EXPECT_NE(message.find(reason, head.size()), std::string::npos) << message;
        }
        EXPECT_GT(message.size(), head.size() + 1) << message;
        EXPECT_EQ(everything(), before);
    }
};

TEST_F(KpackFailures, NameTheUsersPathAndTheSystemsReason) {
    write_native(native("app.zip"), zip_archive({{"kestrin_pad.exe", "application"}}));
    write_native(native("app/kestrin_pad.exe"), bytes_of("application"));
    write_native(native("host.exe"), pe_image({}));
    write_native(native("tools/onnxruntime.dll"), bytes_of("runtime"));
    write_native(native("app.enc"), make_app_enc(zip_archive({{"kestrin_pad.exe", "application"}})));
    const std::string missing = std::generic_category().message(ENOENT);
    const fs::path nowhere = native("no/such/folder/out");
    const auto q = [&](const char* name) { return quoted(native(name)) + " "; };

    expect_failure("payload encrypt " + q("app.zip") + quoted(nowhere), nowhere,
                   "cannot be created: " + missing);
    expect_failure("payload decrypt " + q("app.enc") + quoted(nowhere), nowhere,
                   "cannot be created: " + missing);
    expect_failure("tools append " + q("host.exe") + q("tools") + "-o " + quoted(nowhere), nowhere,
                   "cannot be created: " + missing);
    expect_failure("payload encrypt " + q("absent.zip") + q("out.enc"), native("absent.zip"), missing);
    expect_failure("tools inspect " + q("absent.exe"), native("absent.exe"), missing);
    expect_failure("tools append " + q("host.exe") + q("absent") + "-o " + q("out.exe"), native("absent"),
                   missing);
    expect_failure("payload inspect " + q("app"), native("app"), "is a folder, not a file", false);
    expect_failure("payload decrypt " + q("app.zip") + q("app.enc"), native("app.zip"), "does not decrypt",
                   false);
    // The folder form writes its zip beside app.enc first; that zip is never named.
    if (pack::zip_available())
        expect_failure("payload encrypt " + q("app") + quoted(nowhere), nowhere,
                       "cannot be created: " + missing);
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
        EXPECT_EQ(everything(), data_fails ? std::set<fs::path>{"app.enc"} : std::set<fs::path>{});
        EXPECT_TRUE(!data_fails || read_native(out) == bytes_of("old"));
    }
}

} // namespace
} // namespace kp::test
