#include "link.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "error.h"
#include "output_file.h"
#include "pack_config.h"
#include "scratch_directory.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

// Runs a tool in `directory`; its own diagnostics go to our stderr. Relative
// file names keep the scratch directory's random name out of the objects.
void run_tool(const fs::path& directory, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) throw pack_error("cannot start " + arguments[0] + ": " + std::strerror(errno));
    if (child == 0) {
        if (::chdir(directory.c_str()) == 0) ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "fenzar-pack: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw pack_error("cannot wait for " + arguments[0]);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw pack_error("linking failed: " + arguments[0] + " did not succeed");
    }
}

std::string assembler_string(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

std::uint64_t file_length(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        throw pack_error(path.string() + ": cannot read: " + std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) throw pack_error(path.string() + ": not a regular file");
    return static_cast<std::uint64_t>(info.st_size);
}

void require_file(const fs::path& path, const std::string& what) {
    if (::access(path.c_str(), R_OK) != 0) {
        throw pack_error(path.string() + ": " + what + ": " + std::strerror(errno));
    }
}

// The data object: the bytes in read-only data, then their length as the
// launcher's 64-bit length constant. The length bounds the .incbin, so the
// constant always matches what was included.
void write_data_source(const fs::path& source, const fs::path& attached_data,
                       std::uint64_t length) {
    std::ofstream out(source);
    out << "\t.section .rdata,\"dr\"\n"
        << "\t.p2align 4\n"
        << "\t.globl fenzar_attached_data\n"
        << "fenzar_attached_data:\n"
        << "\t.incbin " << assembler_string(attached_data.string()) << ", 0, " << length << "\n"
        << "\t.p2align 3\n"
        << "\t.globl fenzar_attached_data_length\n"
        << "fenzar_attached_data_length:\n"
        << "\t.quad " << length << "\n";
    if (!out.flush()) throw pack_error("cannot write " + source.string());
}

void copy_file_contents(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error) throw pack_error(from.string() + ": cannot read: " + error.message());
}

fs::path resources_object(const fs::path& work, const std::optional<fs::path>& icon) {
    const fs::path prebuilt = fs::path(FENZAR_PACK_WINDOWS_BUILD_DIR) / "fenzar_resources.o";
    if (!icon && ::access(prebuilt.c_str(), R_OK) == 0) return prebuilt;
    const fs::path script = fs::path(FENZAR_PACK_RESOURCES_DIR) / "launcher.rc";
    require_file(script, "cannot read the resource script");
    std::vector<std::string> command = {FENZAR_PACK_RESOURCE_COMPILER, "-I",
                                        FENZAR_PACK_RESOURCES_DIR};
    if (icon) {
        // A plain relative name: windres passes defines through a shell and
        // finds the file in its working directory.
        copy_file_contents(*icon, work / "icon.ico");
        command.push_back("-DFENZAR_ICON=\\\"icon.ico\\\"");
    }
    command.insert(command.end(), {"-O", "coff", "-o", "resources.o", script.string()});
    run_tool(work, command);
    return work / "resources.o";
}

fs::path launcher_library() {
    return fs::path(FENZAR_PACK_WINDOWS_BUILD_DIR) / "libfenzar_launcher.a";
}

}  // namespace

void check_link_inputs(const link_request& request) {
    if (request.icon) require_file(*request.icon, "cannot read the icon");
    for (const auto& library : request.extra_libraries) require_file(library, "cannot read");
    require_file(launcher_library(),
                 "cannot read the launcher library (build the Windows tree first)");
}

void link_launcher(const link_request& request) {
    check_link_inputs(request);
    const fs::path attached_data = fs::absolute(request.attached_data);
    const std::uint64_t length = file_length(attached_data);
    std::vector<std::string> extra_libraries;
    for (const auto& library : request.extra_libraries) {
        extra_libraries.push_back(fs::absolute(library).string());
    }

    output_file output(request.output);
    const scratch_directory work;
    write_data_source(work.path() / "data.s", attached_data, length);
    run_tool(work.path(), {FENZAR_PACK_ASSEMBLER, "-o", "data.o", "data.s"});
    const fs::path resources = resources_object(work.path(), request.icon);

    // The entry (wWinMain) is named as undefined up front: it lives in the
    // launcher library, which is searched before the runtime that calls it.
    // Symbols and debug information are of no use to the user and only add
    // to the file (-s). Page-aligned sections in the file let the loader map
    // the attached data from the file instead of copying it into memory:
    // under Wine that copy cost each of the two starts about 0.25 s for
    // 90 MB of data.
    std::vector<std::string> command = {FENZAR_PACK_LINKER,
                                        "-municode",
                                        "-mwindows",
                                        "-static",
                                        "-s",
                                        "-Wl,--stack,16777216",
                                        "-Wl,--no-insert-timestamp",
                                        "-Wl,--undefined=wWinMain",
                                        "-Wl,--file-alignment=4096",
                                        "data.o",
                                        resources.string()};
    command.insert(command.end(), extra_libraries.begin(), extra_libraries.end());
    command.insert(command.end(), {launcher_library().string(), "-o", "launcher.exe"});
    run_tool(work.path(), command);

    std::ifstream linked(work.path() / "launcher.exe", std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (linked) {
        linked.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto count = static_cast<std::size_t>(linked.gcount());
        if (count != 0 && std::fwrite(buffer.data(), 1, count, output.stream()) != count) {
            throw pack_error(request.output.string() + ": cannot write");
        }
    }
    if (linked.bad()) throw pack_error("cannot read the linked launcher");
    output.commit(0777);
}

}  // namespace fenzar::pack
