// fenzar-pack: turns an application (a DLL exporting run_code, plus files)
// into a Windows launcher executable.

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive.h"
#include "attached_data_writer.h"
#include "cache_settings.h"
#include "command_main.h"
#include "error.h"
#include "listing.h"
#include "launcher_builder.h"
#include "manifest.h"
#include "mapped_file.h"
#include "names.h"
#include "pe_reading.h"
#include "output_file.h"
#include "progress.h"
#include "scratch_directory.h"
#include "summary.h"
#include "target_base.h"
#include "version_info.h"
#include "windows_libraries.h"
#include "system.h"

namespace {

using namespace fenzar::pack;
namespace fs = std::filesystem;

constexpr const char* main_help =
    "Usage: fenzar-pack COMMAND [OPTIONS] ...\n"
    "\n"
    "Packs a Windows application (a DLL exporting run_code, plus its files) into\n"
    "one launcher executable that unpacks and runs it.\n"
    "\n"
    "Commands:\n"
    "  pack   -o OUT.exe APP.dll [PATH ...]   build the attached data and write a launcher\n"
    "  pack   -o OUT.exe --exe PROGRAM.exe [PATH ...]\n"
    "                                         the same for an existing program\n"
    "  build  -o OUT.bin APP.dll [PATH ...]   write only the attached data\n"
    "  link   -o OUT.exe IN.bin               write a launcher with an attached data file\n"
    "  list   IN                              list the files in attached data or a launcher\n"
    "\n"
    "Run 'fenzar-pack COMMAND --help' for a command's options and\n"
    "'fenzar-pack --version' for the version.\n";

// %c: the system's separator, as its users type paths ('data\\' on Windows).
constexpr const char* archive_help =
    "APP.dll becomes the first file, stored under its file name. Each PATH is a\n"
    "file, stored under its file name, or a directory, stored under its own name\n"
    "with everything below it (like cp -r: 'data%c' gives data\\...); write 'DIR%c.'\n"
    "to store a directory's contents at the top level. Names use the backslash.\n"
    "Symlinks are followed. Names must be usable on Windows; anything else, two\n"
    "files with the same name (ignoring case, as Windows does), an unreadable\n"
    "file or an output that is one of the inputs is refused and nothing is written.\n"
    "\n"
    "Options:\n"
    "  -o FILE, -oFILE, --output FILE, --output=FILE\n"
    "                  the output (written only when everything succeeded)\n"
    "  -q, --quiet     no summary line on standard error after writing\n"
    "  --level N       zstd level from -131072 (fastest) to 22 (smallest), default 19\n"
    "  --threads N     zstd worker threads from 0 to 200, default 0 (compress on\n"
    "                  the main thread); every N of 1 or more gives the same bytes\n"
    "  --long          window of 2^27 bytes with long-distance matching, like\n"
    "                  'zstd --long=27'; decoding then needs up to 128 MiB\n"
    "  --exe PROGRAM.exe\n"
    "                  pack an existing program instead of APP.dll: PROGRAM.exe\n"
    "                  (an x86-64 Windows executable) becomes the first file and\n"
    "                  every PATH is stored beside it; the launcher starts it with\n"
    "                  the user's command line and ends with its exit status. The\n"
    "                  launcher is a console or windows program as PROGRAM.exe is,\n"
    "                  unless --console or --windows says otherwise\n";

constexpr const char* pack_help_head =
    "Usage: fenzar-pack pack -o OUT.exe [OPTIONS] APP.dll [PATH ...]\n"
    "       fenzar-pack pack -o OUT.exe [OPTIONS] --exe PROGRAM.exe [PATH ...]\n"
    "\n"
    "Builds the attached data and writes a launcher executable with it.\n"
    "\n";
constexpr const char* build_help_head =
    "Usage: fenzar-pack build -o OUT.bin [OPTIONS] APP.dll [PATH ...]\n"
    "       fenzar-pack build -o OUT.bin [OPTIONS] --exe PROGRAM.exe [PATH ...]\n"
    "\n"
    "Writes only the attached data: \"ZUQ\", one zstd frame holding the archive,\n"
    "zero padding to a multiple of 8 bytes and the 64-bit offset trailer.\n"
    "\n";
constexpr const char* launcher_help =
    "  --console       a console program: started from cmd, PowerShell or a script,\n"
    "                  it uses their console, they wait for it and get its exit\n"
    "                  status, and Ctrl+C reaches the application; started from\n"
    "                  Explorer, it opens a console window\n"
    "  --windows       a windowed program (the default): starts without a console\n"
    "                  window; cmd and PowerShell do not wait for it ('start /wait'\n"
    "                  does), and its output reaches only a file or a pipe\n"
    "  --execution-level LEVEL\n"
    "                  the rights Windows starts it with: asInvoker (the default,\n"
    "                  the user's own), highestAvailable (the most the user can\n"
    "                  have, asking for consent) or requireAdministrator (a UAC\n"
    "                  prompt at every start)\n"
    "  --dpi-aware unaware|system|permonitorv2\n"
    "                  for a windowed application: how it handles the screen's\n"
    "                  scaling (the manifest's dpiAware and dpiAwareness): unaware\n"
    "                  (Windows scales it, blurred), system (sharp on the main\n"
    "                  screen), permonitorv2 (it redraws for each monitor's DPI);\n"
    "                  default: not set, as unaware\n"
    "  --icon FILE     the executable's icon (an .ico file), default Fenzar's\n"
    "  --cache         keep the unpacked application between runs, below\n"
    "                  %LOCALAPPDATA%\\Fenzar\\NAME\\DIGEST (NAME: the library's name\n"
    "                  without extension; DIGEST: of the attached data); later\n"
    "                  starts check the files' sizes instead of unpacking\n"
    "  --target-base TEMPLATE\n"
    "                  the folder the launcher makes its fresh directories in,\n"
    "                  instead of %TEMP%: {TEMP}, {HOME} or {CACHE_DIR} (the user's\n"
    "                  temporary, profile or local application-data folder), a\n"
    "                  drive (C:\\...) or a share (\\\\server\\share), then folders,\n"
    "                  such as {CACHE_DIR}\\Vendor\\App; missing folders are\n"
    "                  created. With --cache it holds the directories of runs that\n"
    "                  do not use the cache\n"
    "\n"
    "Version information (what Explorer's Details tab shows), as UTF-8 text:\n"
    "  --file-version N[.N[.N[.N]]]     numbers from 0 to 65535, default 0.0.0.0\n"
    "  --product-version N[.N[.N[.N]]]  default the file version\n"
    "  --product-name TEXT              default the output's name without extension\n"
    "  --description TEXT               default the product name\n"
    "  --company TEXT                   default none\n"
    "  --copyright TEXT                 default none\n"
    "  --original-filename TEXT         default the output's name\n"
    "\n"
    "The time stamp in the executable is SOURCE_DATE_EPOCH when set, else 0.\n";

constexpr const char* link_help =
    "Usage: fenzar-pack link -o OUT.exe [OPTIONS] IN.bin\n"
    "\n"
    "Writes a launcher executable with an attached data file made by anyone.\n"
    "When its first file is an x86-64 Windows program (build --exe), the launcher\n"
    "starts that program, as pack --exe does.\n"
    "The data is checked first: it must start with \"ZUQ\", its frame must decode\n"
    "completely into a complete archive, and every name in it must be one that\n"
    "pack accepts (a name may repeat; the later file wins). Otherwise nothing is\n"
    "written.\n"
    "\n"
    "Options:\n"
    "  -o FILE, -oFILE, --output FILE, --output=FILE\n"
    "                  the output executable\n"
    "  -q, --quiet     no summary line on standard error after writing\n";

constexpr const char* list_help =
    "Usage: fenzar-pack list IN\n"
    "\n"
    "Lists the files (size and name) of an attached data file or of a launcher\n"
    "executable, in archive order. The whole frame is decoded, so a corrupt\n"
    "frame, a wrong checksum or a broken archive is reported as an error. For a\n"
    "launcher, a first line names its subsystem and execution level, for a\n"
    "--cache launcher where it keeps the application, for an --exe launcher the\n"
    "program it runs, and the version of the packer that wrote it. Files that\n"
    "are Windows executables or DLLs (PE files) without an Authenticode\n"
    "signature are marked '(unsigned PE)'.\n";

class UsageError : public PackError {
public:
    using PackError::PackError;
};

struct Arguments {
    std::optional<fs::path> output;
    Subsystem kind = Subsystem::windows;
    // --console or --windows was given: the kind does not follow --exe's program.
    bool kind_given = false;
    // --exe: the program that is the first record.
    std::optional<fs::path> program;
    ExecutionLevel level = ExecutionLevel::as_invoker;
    std::optional<DpiAwareness> dpi;
    std::optional<fs::path> icon;
    std::optional<fs::path> template_file;
    bool cache = false;
    std::u16string target_base;
    VersionOptions version;
    CompressionOptions compression;
    std::vector<fs::path> positional;
    bool help = false;
    bool quiet = false;
};

int parse_number(std::string_view option, std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw UsageError(std::string(option) + " needs a number from " + std::to_string(low) + " to " +
                         std::to_string(high));
    }
    return value;
}

std::u16string target_base_from(std::string_view text) {
    const auto base = wtf8_to_utf16(text);
    if (!base) throw UsageError("--target-base needs UTF-8 text");
    if (const std::string problem = target_base_problem(*base); !problem.empty()) {
        throw UsageError("--target-base '" + std::string(text) + "' cannot work: " + problem);
    }
    return *base;
}

using VersionMember = std::optional<std::string> VersionOptions::*;

constexpr std::pair<std::string_view, VersionMember> version_flags[] = {
    {"--file-version", &VersionOptions::file_version},
    {"--product-version", &VersionOptions::product_version},
    {"--product-name", &VersionOptions::product_name},
    {"--description", &VersionOptions::description},
    {"--company", &VersionOptions::company},
    {"--copyright", &VersionOptions::copyright},
    {"--original-filename", &VersionOptions::original_filename},
};

std::optional<VersionMember> version_flag(std::string_view name) {
    for (const auto& [flag, member] : version_flags) {
        if (flag == name) return member;
    }
    return std::nullopt;
}

Arguments parse_arguments(std::string_view command, int argc, char** argv) {
    const bool compresses = command == "pack" || command == "build";
    const bool links = command == "pack" || command == "link";
    Arguments parsed;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (options_done || argument.size() < 2 || argument[0] != '-') {
            parsed.positional.push_back(path_from_argument(argument));
            continue;
        }
        if (argument == "--") {
            options_done = true;
            continue;
        }
        std::string_view name = argument;
        std::optional<std::string_view> inline_value;
        if (argument.starts_with("--")) {
            if (const auto equals = argument.find('='); equals != std::string_view::npos) {
                name = argument.substr(0, equals);
                inline_value = argument.substr(equals + 1);
            }
        } else if (argument.starts_with("-o") && argument.size() > 2) {
            // -oFILE, as compilers take it.
            name = "-o";
            inline_value = argument.substr(2);
        }
        auto value = [&]() -> std::string_view {
            if (inline_value) return *inline_value;
            if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
            return argv[++i];
        };
        if (name == "-h" || name == "--help") {
            parsed.help = true;
        } else if ((name == "-q" || name == "--quiet") && command != "list" && !inline_value) {
            parsed.quiet = true;
        } else if ((name == "-o" || name == "--output") && command != "list") {
            parsed.output = path_from_argument(value());
        } else if (name == "--level" && compresses) {
            parsed.compression.level = parse_number(name, value(), ZSTD_minCLevel(), ZSTD_maxCLevel());
        } else if (name == "--threads" && compresses) {
            parsed.compression.threads = parse_number(name, value(), 0, 200);
        } else if (name == "--long" && compresses && !inline_value) {
            parsed.compression.long_window = true;
        } else if (name == "--exe" && compresses) {
            parsed.program = path_from_argument(value());
        } else if ((name == "--console" || name == "--windows") && links && !inline_value) {
            parsed.kind = name == "--console" ? Subsystem::console : Subsystem::windows;
            parsed.kind_given = true;
        } else if (name == "--execution-level" && links) {
            const auto level = parse_execution_level(value());
            if (!level) {
                throw UsageError("--execution-level needs asInvoker, highestAvailable or requireAdministrator");
            }
            parsed.level = *level;
        } else if (name == "--dpi-aware" && links) {
            parsed.dpi = parse_dpi_awareness(value());
            if (!parsed.dpi) throw UsageError("--dpi-aware needs unaware, system or permonitorv2");
        } else if (name == "--icon" && links) {
            parsed.icon = path_from_argument(value());
        } else if (name == "--cache" && links && !inline_value) {
            parsed.cache = true;
        } else if (name == "--target-base" && links) {
            parsed.target_base = target_base_from(value());
        } else if (name == "--template" && links) {
            parsed.template_file = path_from_argument(value());
        } else if (const auto member = version_flag(name); member && links) {
            const std::string text(value());
            const bool number = name == "--file-version" || name == "--product-version";
            if (number && !parse_version_number(text)) {
                throw UsageError(std::string(name) + " needs one to four numbers from 0 to 65535 separated by dots");
            }
            parsed.version.*(*member) = text;
        } else {
            throw UsageError("unknown option " + std::string(argument));
        }
    }
    return parsed;
}

void print_archive_help() {
    const auto separator = static_cast<char>(fs::path::preferred_separator);
    std::printf(archive_help, separator, separator);
}

void print_help(std::string_view command) {
    if (command == "pack") {
        std::fputs(pack_help_head, stdout);
        print_archive_help();
        std::fputs(launcher_help, stdout);
    } else if (command == "build") {
        std::fputs(build_help_head, stdout);
        print_archive_help();
    } else if (command == "link") {
        std::fputs(link_help, stdout);
        std::fputs(launcher_help, stdout);
    } else {
        std::fputs(list_help, stdout);
    }
}

void require_output(const Arguments& parsed) {
    if (!parsed.output) throw UsageError("the output is missing (-o FILE)");
}

// The launcher lets Windows look for the DLLs the application's DLL imports
// only beside it (the top of the archive) and in the system directory.
void warn_about_unpacked_imports(const std::vector<ArchiveEntry>& entries) {
    const MappedFile library(entries.front().source);
    for (const std::string& name : imported_libraries(library.bytes())) {
        if (is_windows_library(name)) continue;
        std::u16string wide;
        for (char c : name) wide += static_cast<char16_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const bool packed = std::any_of(entries.begin(), entries.end(), [&](const ArchiveEntry& entry) {
            if (entry.name.size() != wide.size()) return false;
            for (std::size_t i = 0; i < wide.size(); ++i) {
                char16_t c = entry.name[i];
                if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
                if (c != wide[i]) return false;
            }
            return true;
        });
        if (packed) continue;
        write_text(stderr, "fenzar-pack: warning: " + utf16_to_display(entries.front().name) + " imports " + name +
                               ", which is neither packed beside it nor on the packer's list of DLLs that "
                               "Windows has: the launcher finds it only where Windows has it\n");
    }
}

// A DLL application handed to --exe as a file beside the program would
// never run: the launcher starts the program and loads no library.
void refuse_application_library_beside(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return;
    const MappedFile file(path);
    if (!is_application_library(file.bytes())) return;
    throw UsageError(display_path(path) +
                     " is a DLL application (it exports run_code): pack it without --exe, or --exe a program "
                     "and store the DLL beside it");
}

// --exe: the program first, checked, then the paths beside it.
std::vector<ArchiveEntry> collect_program_from(Arguments& parsed) {
    if (!parsed.positional.empty()) refuse_application_library_beside(parsed.positional.front());
    auto entries = collect_entries(*parsed.program, parsed.positional);
    const MappedFile program(entries.front().source);
    std::uint16_t program_kind = 0;
    try {
        program_kind = check_program(program.bytes());
    } catch (const PackError& error) {
        throw PackError(display_path(*parsed.program) + ": the program " + error.what());
    }
    if (!parsed.kind_given) parsed.kind = program_kind == 3 ? Subsystem::console : Subsystem::windows;
    warn_about_unpacked_imports(entries);
    return entries;
}

std::vector<ArchiveEntry> collect_from(Arguments& parsed) {
    if (parsed.program) return collect_program_from(parsed);
    if (parsed.positional.empty()) throw UsageError("the application library is missing");
    const std::vector<fs::path> paths(parsed.positional.begin() + 1, parsed.positional.end());
    auto entries = collect_entries(parsed.positional.front(), paths);
    check_application_library_file(entries.front().source);
    warn_about_unpacked_imports(entries);
    return entries;
}

// Writes the attached data; the hint about --threads when that was slow.
void write_attached_file(const std::vector<ArchiveEntry>& entries, const CompressionOptions& options,
                         const fs::path& destination, bool quiet) {
    const auto start = std::chrono::steady_clock::now();
    {
        ProgressMeter meter(archive_size(entries));
        write_attached_data_file(entries, options, destination, [&](std::uint64_t done) { meter.update(done); });
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (const auto hint = threads_hint(took.count(), options.threads); hint && !quiet) write_text(stderr, *hint);
}

void write_summary(const Arguments& parsed, std::string kind, const std::vector<ArchiveEntry>* entries,
                   std::uint64_t data_size) {
    if (parsed.quiet) return;
    WrittenSummary summary;
    summary.output = display_path(*parsed.output);
    summary.kind = std::move(kind);
    summary.output_size = fs::file_size(*parsed.output);
    if (entries != nullptr) {
        summary.files = entries->size();
        for (const auto& entry : *entries) summary.input_size += entry.size;
    }
    summary.data_size = data_size;
    summary.level = parsed.compression.level;
    write_text(stderr, summary_line(summary));
}

std::string launcher_kind(const Arguments& parsed) {
    return parsed.kind == Subsystem::console ? "console launcher" : "windows launcher";
}

std::vector<fs::path> sources_of(const std::vector<ArchiveEntry>& entries) {
    std::vector<fs::path> sources;
    for (const auto& entry : entries) sources.push_back(entry.source);
    return sources;
}

void run_build(Arguments& parsed) {
    require_output(parsed);
    const auto entries = collect_from(parsed);
    refuse_output_among_inputs(*parsed.output, sources_of(entries));
    write_attached_file(entries, parsed.compression, *parsed.output, parsed.quiet);
    write_summary(parsed, "attached data", &entries, fs::file_size(*parsed.output));
}

LauncherOptions launcher_from(const Arguments& parsed) {
    if (parsed.cache && parsed.level == ExecutionLevel::require_administrator) {
        throw UsageError(
            "--cache and --execution-level requireAdministrator do not go together: "
            "an elevated launcher never uses the cache");
    }
    LauncherOptions options;
    options.output = *parsed.output;
    options.kind = parsed.kind;
    options.level = parsed.level;
    options.icon = parsed.icon;
    options.template_file = parsed.template_file;
    options.version = parsed.version;
    options.cache = parsed.cache;
    options.target_base = parsed.target_base;
    options.runs_program = parsed.program.has_value();
    options.kind_given = parsed.kind_given;
    options.packer_version = FENZAR_VERSION;
    options.dpi = parsed.dpi;
    return options;
}

void run_pack(Arguments& parsed) {
    require_output(parsed);
    const auto entries = collect_from(parsed);
    auto inputs = sources_of(entries);
    if (parsed.icon) inputs.push_back(*parsed.icon);
    refuse_output_among_inputs(*parsed.output, inputs);
    // Reads the template and the icon, and checks the cache's name, before
    // the long compression.
    const LauncherBuilder builder(launcher_from(parsed));
    if (parsed.cache) cache_application_name(entries.front().name);
    const ScratchDirectory work;
    const fs::path attached_data = work.path() / "attached.bin";
    write_attached_file(entries, parsed.compression, attached_data, parsed.quiet);
    const MappedFile data(attached_data);
    builder.write(data.bytes(), entries.front().name);
    write_summary(parsed, launcher_kind(parsed), &entries, data.bytes().size());
}

void run_link(Arguments& parsed) {
    require_output(parsed);
    if (parsed.positional.size() != 1) throw UsageError("link takes one attached data file");
    auto inputs = parsed.positional;
    if (parsed.icon) inputs.push_back(*parsed.icon);
    refuse_output_among_inputs(*parsed.output, inputs);
    parsed.kind = link_launcher(parsed.positional.front(), launcher_from(parsed));
    write_summary(parsed, launcher_kind(parsed), nullptr, fs::file_size(parsed.positional.front()));
}

void run_list(const Arguments& parsed) {
    if (parsed.positional.size() != 1) throw UsageError("list takes one file");
    const fs::path& path = parsed.positional.front();
    const MappedFile file(path);
    LocatedData found;
    std::optional<std::string> summary;
    try {
        found = locate_attached_data(file.bytes());
        summary = launcher_summary(file.bytes(), found.records.empty() ? u"" : found.records.front().name);
    } catch (const PackError& error) {
        throw PackError(display_path(path) + ": " + error.what());
    }
    if (summary) write_text(stdout, *summary + "\n");
    for (const auto& record : found.records) {
        char size[32];
        std::snprintf(size, sizeof size, "%12llu  ", static_cast<unsigned long long>(record.size));
        // Allow-list policies and scanners judge each unpacked DLL by its
        // own signature, not by the launcher's.
        const char* mark = record.signing == PeSigning::unsigned_pe ? "  (unsigned PE)" : "";
        write_text(stdout, size + utf16_to_display(record.name) + mark + "\n");
    }
    if (std::fflush(stdout) != 0) throw PackError("cannot write the listing");
}

}  // namespace

int fenzar::pack::command_main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(main_help, stderr);
        return 2;
    }
    const std::string_view command = argv[1];
    const bool asks_help = command == "-h" || command == "--help" || command == "help";
    if (asks_help && argc == 3) {
        const std::string_view topic = argv[2];
        if (topic == "pack" || topic == "build" || topic == "link" || topic == "list") {
            print_help(topic);
            return 0;
        }
    }
    if (asks_help || command == "--version") {
        if (argc > 2) {
            write_text(stderr, "fenzar-pack: " + std::string(command) + " takes no arguments, not '" +
                                   std::string(argv[2]) + "' (see fenzar-pack --help)\n");
            return 2;
        }
    }
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(main_help, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("fenzar-pack %s\n", FENZAR_VERSION);
        return 0;
    }
    if (command != "pack" && command != "build" && command != "link" && command != "list") {
        write_text(stderr, "fenzar-pack: unknown command '" + std::string(command) + "' (see fenzar-pack --help)\n");
        return 2;
    }
    try {
        Arguments parsed = parse_arguments(command, argc, argv);
        if (parsed.help) {
            print_help(command);
            return 0;
        }
        if (command == "pack") {
            run_pack(parsed);
        } else if (command == "build") {
            run_build(parsed);
        } else if (command == "link") {
            run_link(parsed);
        } else {
            run_list(parsed);
        }
        return 0;
    } catch (const UsageError& error) {
        write_text(stderr, "fenzar-pack " + std::string(command) + ": " + error.what() + " (see fenzar-pack " +
                               std::string(command) + " --help)\n");
        return 2;
    } catch (const std::bad_alloc&) {
        // Nothing more is allocated on the way out.
        std::fputs("fenzar-pack: out of memory\n", stderr);
        return 1;
    } catch (const std::exception& error) {
        write_text(stderr, "fenzar-pack: " + std::string(error.what()) + "\n");
        return 1;
    }
}
