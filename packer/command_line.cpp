#include "command_line.hpp"

#include "build_identity.hpp"
#include "kpack_io.hpp"
#include "payload_commands.hpp"
#include "payload_inspect.hpp"
#include "tool_package_append.hpp"
#include "tool_package_inspect.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace kp::pack {

namespace {

constexpr const char* kpack_footer =
    "A release takes three steps, in this order:\n"
    "  1. encrypt the application:       kpack payload encrypt app/ app.enc\n"
    "  2. append the tools to the host:  kpack tools append host.exe tools/ -o host-with-tools.exe\n"
    "  3. sign the host last, so that the signature's certificate table follows the package\n"
    "     (appending to a signed executable is refused).\n"
    "docs/shipping.md in the source tree shows a whole release with commands that run as written.";

constexpr const char* encrypt_footer =
    "Wraps a zip archive in the two AES-256-CBC layers of app.enc, with the payload keys compiled\n"
    "into this build. SOURCE is a zip archive, or a folder that kpack zips itself (deflate, every\n"
    "regular file and empty folder, names relative to it, the same folder giving the same bytes).\n"
    "Refused: what is not a zip, a root without kestrin_pad.exe, encrypted entries, methods other\n"
    "than stored and deflate, absolute names or names holding \"..\", links, names that differ only\n"
    "in letter case, non-ASCII names without the zip's UTF-8 flag (give kpack the folder instead),\n"
    "and paths too long for Windows under the install folder.";

constexpr const char* payload_inspect_footer =
    "Decrypts in memory and lists the archive's root items with their sizes; exits non-zero when\n"
    "APP_ENC does not decrypt or kestrin_pad.exe is not at the root.";

constexpr const char* append_footer =
    "Writes OUT (it may be HOST itself): HOST's bytes, then one entry per regular file under DIR\n"
    "(named by its path relative to DIR, backslash separated, each directory's files after its\n"
    "parent directory's files), zero padding, and the 64-byte trailer, ending on an 8-byte\n"
    "boundary so that a signing tool adds its certificate table right after it. Sign OUT after\n"
    "appending, never before.\n"
    "Refused: a HOST that is already signed (sign after appending), a HOST that carries a\n"
    "package without --replace, anything under DIR that is not a regular file or directory, and\n"
    "names the launcher or Windows refuse (\"..\", \":\", device names such as aux or com1,\n"
    "< > \" | ? *, control characters, a trailing dot or space, a path too long for Windows under\n"
    "the install folder's ai.new), two names that differ only in letter case, and a DIR without\n"
    "onnxruntime.dll.";

constexpr const char* tools_inspect_footer =
    "Prints FILE's content end and the size of a certificate table after it, the tool package\n"
    "trailer's fields, each entry's size and name, and whether the package identifier verifies.\n"
    "Exits 0 only when FILE carries a package the launcher takes as it is: the identifier\n"
    "verifies, every name is one the launcher and Windows accept and can create, no two names\n"
    "differ only in letter case, each entry's folder can be created one level at a time, and\n"
    "onnxruntime.dll is at the root. --json prints one JSON object with the same field names.";

struct Arguments {
    bool version = false;
    std::string first;
    std::string second;
    std::string output;
    bool json = false;
    bool replace = false;
};

// The subcommand the parse reached last: its help is the usage that fits an error.
const CLI::App* deepest(const CLI::App& app) {
    const CLI::App* current = &app;
    while (!current->get_subcommands().empty())
        current = current->get_subcommands().front();
    return current;
}

std::string command_name(const CLI::App* app) {
    std::string name;
    for (; app != nullptr; app = app->get_parent())
        name = app->get_name() + (name.empty() ? "" : " " + name);
    return name;
}

// "encrypt, decrypt or inspect".
std::string command_list(const CLI::App& app) {
    const auto commands = app.get_subcommands({});
    std::string list;
    for (std::size_t i = 0; i < commands.size(); ++i)
        list += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + commands[i]->get_name();
    return list;
}

// One line naming the problem, then the usage of the command it concerns.
int usage_error(const CLI::App& app, std::string problem) {
    const CLI::App* reached = deepest(app);
    // A command that needs a subcommand got a word that is none, or nothing: say which.
    if (reached->get_require_subcommand_min() > 0)
        problem = reached->remaining().empty() ? "a command is required: " + command_list(*reached)
                                               : "unknown command " + reached->remaining().front();
    std::fprintf(stderr, "%s: %s\n%s", command_name(reached).c_str(), problem.c_str(), app.help().c_str());
    return 2;
}

// A required file name; its help line shows only the name, not CLI11's type.
void add_file(CLI::App& command, const char* name, std::string& value, const char* description) {
    command.add_option(name, value, description)->type_name("")->required();
}

void add_json_flag(CLI::App& command, Arguments& arguments) {
    command.add_flag("--json", arguments.json, "print one JSON object instead of text lines");
}

CLI::App* add_command(CLI::App& parent, const char* name, const char* summary, const char* footer) {
    CLI::App* command = parent.add_subcommand(name, summary);
    command->footer(footer);
    return command;
}

void add_payload(CLI::App& app, Arguments& arguments) {
    CLI::App* payload = app.add_subcommand("payload", "make, undo or check app.enc");
    payload->require_subcommand(1);
    CLI::App* encrypt = add_command(
        *payload, "encrypt", "wraps a zip archive in the two AES-256-CBC layers of app.enc", encrypt_footer);
    add_file(*encrypt, "SOURCE", arguments.first, "a zip archive or a folder");
    add_file(*encrypt, "APP_ENC", arguments.second, "the file to write");
    CLI::App* decrypt =
        payload->add_subcommand("decrypt", "removes both layers again and writes the archive");
    add_file(*decrypt, "APP_ENC", arguments.first, "the encrypted payload");
    add_file(*decrypt, "ARCHIVE", arguments.second, "the zip archive to write");
    CLI::App* inspect = add_command(*payload, "inspect",
                                    "decrypts in memory and lists the archive's root items with their sizes",
                                    payload_inspect_footer);
    add_file(*inspect, "APP_ENC", arguments.first, "the encrypted payload");
    add_json_flag(*inspect, arguments);
}

void add_tools(CLI::App& app, Arguments& arguments) {
    CLI::App* tools = app.add_subcommand("tools", "tool packages on host executables");
    tools->require_subcommand(1);
    CLI::App* append = add_command(*tools, "append",
                                   "writes OUT: HOST's bytes, a tool package holding every file under DIR, "
                                   "and the trailer that locates it",
                                   append_footer);
    add_file(*append, "HOST", arguments.first, "the unsigned host executable");
    add_file(*append, "DIR", arguments.second, "the tool set's folder");
    append->add_option("-o", arguments.output, "the file to write; it appears only when complete")
        ->option_text("OUT")
        ->required();
    append->add_flag("--replace", arguments.replace,
                     "HOST already carries a tool package: drop it and append the new one");
    CLI::App* inspect = add_command(*tools, "inspect",
                                    "shows where FILE's content ends, its tool package trailer and entries, "
                                    "and whether the package identifier verifies",
                                    tools_inspect_footer);
    add_file(*inspect, "FILE", arguments.first, "the host executable, signed or not");
    add_json_flag(*inspect, arguments);
}

int run_parsed(const CLI::App& app, const Arguments& arguments) {
    if (arguments.version)
        return print_build_identity();
    const CLI::App* command = deepest(app);
    const std::string name = command_name(command);
    if (name == "kpack payload encrypt")
        return encrypt_payload(to_path(arguments.first), to_path(arguments.second));
    if (name == "kpack payload decrypt")
        return decrypt_payload_file(to_path(arguments.first), to_path(arguments.second));
    if (name == "kpack payload inspect")
        return inspect_payload(to_path(arguments.first), arguments.json);
    if (name == "kpack tools append")
        return append_tool_package_file({to_path(arguments.first), to_path(arguments.second),
                                         to_path(arguments.output), arguments.replace});
    if (name == "kpack tools inspect")
        return inspect_tool_package(to_path(arguments.first), arguments.json);
    return usage_error(app, "a command is required: " + command_list(app));
}

} // namespace

int run_kpack(int argc, const char* const* argv) {
    CLI::App app("make what the launcher reads: app.enc and tool packages", "kpack");
    Arguments arguments;
    app.add_flag("--version", arguments.version, "print this build's identity and exit");
    add_payload(app, arguments);
    add_tools(app, arguments);
    app.footer(kpack_footer); // after the commands, which would inherit it
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        return usage_error(app, error.what());
    }
    return run_parsed(app, arguments);
}

} // namespace kp::pack
