#include "child/load_failure.h"

#include "base/report.h"
#include "child/pe_imports.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

using platform::error_bad_exe_format;
using platform::error_bad_format;
using platform::error_exe_machine_type_mismatch;
using platform::error_mod_not_found;

// The walk through the packed DLLs stops there: deeper chains are rare, and
// a crafted set of files must not keep a failing start busy.
constexpr int walk_depth_limit = 8;
constexpr int walk_file_limit = 32;

using ImportName = char[import_name_capacity + 1];
using CandidatePath = WideBuffer<path_capacity + 1 + import_name_capacity>;

// Reads up to length bytes from offset of the file at path into buffer,
// reading (and dropping) what lies before: the platform reads only forward.
// The number of bytes read.
size_t read_file_span(const char16_t* path, uint64_t offset, unsigned char* buffer, size_t length) {
    constexpr uint32_t piece_limit = 1u << 20;
    if (length == 0) return 0;
    platform::OwnedQueryFile file(platform::open_file_for_reading(path));
    if (!file.valid()) return 0;
    uint32_t read = 0;
    while (offset > 0) {
        uint64_t piece = offset < length ? offset : length;
        if (piece > piece_limit) piece = piece_limit;
        if (!platform::read_file(file.get(), buffer, static_cast<uint32_t>(piece), &read) || read == 0) return 0;
        offset -= read;
    }
    size_t filled = 0;
    while (filled < length) {
        size_t piece = length - filled < piece_limit ? length - filled : piece_limit;
        if (!platform::read_file(file.get(), buffer + filled, static_cast<uint32_t>(piece), &read) || read == 0) break;
        filled += read;
    }
    return filled;
}

// In memory from the table, for the one walk of a failure: a walk that
// finds no memory explains nothing more, and the failure is reported as
// without it.
struct Walk {
    const char16_t* directories[2] = {};
    unsigned char head[image_head_size];
    int files = 0;
    ImportName visited[walk_file_limit] = {};
    // The finding: a file that is no 64-bit image, or an import found nowhere.
    CandidatePath refused;
    ImportName missing = {};
    CandidatePath importer;
};

bool was_visited(const Walk& walk, const char16_t* name) {
    for (int i = 0; i < walk.files; ++i) {
        char16_t visited[import_name_capacity + 1] = {};
        for (size_t j = 0; walk.visited[i][j] != 0; ++j) visited[j] = static_cast<unsigned char>(walk.visited[i][j]);
        if (platform::equal_ignoring_case(visited, name)) return true;
    }
    return false;
}

// Where the load's search finds a packed DLL named name: the library's own
// directory, then the target directory. False when neither has it.
bool find_packed(const Walk& walk, const char16_t* name, CandidatePath& path) {
    for (const char16_t* directory : walk.directories) {
        if (directory == nullptr || wide_length(directory) > path_capacity) continue;
        copy_wide_bounded(path, directory);
        append_wide_char_bounded(path, u'\\');
        append_wide_bounded(path, name);
        uint32_t attributes = platform::get_file_attributes(path.data());
        if (attributes != platform::invalid_file_attributes && (attributes & platform::file_attribute_directory) == 0) {
            return true;
        }
    }
    return false;
}

// Visits the image at path and, depth first, the packed DLLs it imports;
// true when it found the cause.
bool visit(Walk& walk, const char16_t* path, int depth) {
    size_t head_size = read_file_span(path, 0, walk.head, image_head_size);
    ImageKind kind = read_image_kind(walk.head, head_size);
    // A file that cannot be read is not the cause to name.
    if (head_size == 0) return false;
    uint64_t file_size = 0;
    if (!kind.is_x64 || (platform::get_file_size(path, &file_size) && file_size < kind.raw_end)) {
        copy_wide_bounded(walk.refused, path);
        return true;
    }
    if (kind.section_size == 0) return false;
    auto section = platform::allocate_elements<unsigned char>(kind.section_size);
    if (!section.valid()) return false;
    size_t size = read_file_span(path, kind.section_offset, section.get(), kind.section_size);
    // The names are taken out first, so that the section is released
    // before the walk goes deeper.
    constexpr int names_limit = 256;
    auto names = platform::allocate_elements<ImportName>(names_limit);
    int count = 0;
    uint32_t cursor = 0;
    while (names.valid() && count < names_limit && next_import_name(kind, section.get(), size, &cursor, names[count])) {
        ++count;
    }
    section.reset();
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        const char* ascii = names[i];
        char16_t name[import_name_capacity + 1] = {};
        for (size_t j = 0; ascii[j] != 0; ++j) name[j] = static_cast<unsigned char>(ascii[j]);
        CandidatePath packed;
        if (find_packed(walk, name, packed)) {
            if (depth >= walk_depth_limit || walk.files >= walk_file_limit || was_visited(walk, name)) continue;
            for (size_t j = 0; j <= import_name_capacity; ++j) walk.visited[walk.files][j] = ascii[j];
            ++walk.files;
            found = visit(walk, packed.data(), depth + 1);
            continue;
        }
        if (platform::is_system_library(name)) continue;
        for (size_t j = 0; j <= import_name_capacity; ++j) walk.missing[j] = ascii[j];
        copy_wide_bounded(walk.importer, path);
        found = true;
    }
    return found;
}

void append_path(FailureExplanation& explanation, const char16_t* path) {
    append_wide_char_bounded(explanation.line, u'\'');
    DisplayablePath shown;
    append_wide_bounded(explanation.line, displayable_path(path, shown));
    append_wide_char_bounded(explanation.line, u'\'');
}

void explain_policy_refusal(const char16_t* file, const char* scope, FailureExplanation& explanation) {
    append_ascii_bounded(explanation.line, "A policy or a virus scanner of this machine refused ");
    append_path(explanation, file);
    append_ascii_bounded(explanation.line, scope);
    append_ascii_bounded(explanation.line, ": see \"Locked-down machines and virus scanners\" in Fenzar's README.");
    explanation.file = file;
}

}  // namespace

bool is_policy_refusal(uint32_t code) {
    switch (code) {
        case 225:          // ERROR_VIRUS_INFECTED
        case 226:          // ERROR_VIRUS_DELETED
        case 577:          // ERROR_INVALID_IMAGE_HASH: code integrity
        case 1260:         // ERROR_ACCESS_DISABLED_BY_POLICY: AppLocker, software restriction
        case 4551:         // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION: WDAC, Smart App Control
        case 0xC0000361u:  // the loader's statuses, where they come through unmapped:
        case 0xC0000362u:  // STATUS_ACCESS_DISABLED_BY_POLICY_DEFAULT, _PATH,
        case 0xC0000363u:  // _PUBLISHER, _OTHER,
        case 0xC0000364u:
        case 0xC0000428u:  // STATUS_INVALID_IMAGE_HASH,
        case 0xC0000906u:  // STATUS_VIRUS_INFECTED,
        case 0xC0000907u:  // STATUS_VIRUS_DELETED
            return true;
        default:
            return false;
    }
}

namespace {

// The walk behind both explanations; program names the kind of the file at
// path for the line that says it is no 64-bit image.
void explain_image_failure(uint32_t code, const char16_t* path, const char16_t* target_directory, const char* kind,
                           FailureExplanation& explanation) {
    explanation.file = path;
    if (is_policy_refusal(code)) {
        explain_policy_refusal(path, " or a DLL that it loads", explanation);
        return;
    }
    if (code != error_mod_not_found && code != error_bad_format && code != error_bad_exe_format &&
        code != error_exe_machine_type_mismatch) {
        return;
    }
    platform::Owned<Walk*, platform::destroy_object<Walk>> walk(platform::create_object<Walk>());
    if (!walk.valid()) return;
    CandidatePath own_directory;
    copy_wide_bounded(own_directory, path);
    cut_at_last_backslash(own_directory.data());
    walk->directories[0] = own_directory.data();
    if (!wide_equal(own_directory.data(), target_directory)) walk->directories[1] = target_directory;
    if (!visit(*walk.get(), path, 0)) return;
    if (!walk->refused.empty()) {
        append_ascii_bounded(explanation.line, "The file ");
        append_path(explanation, walk->refused.data());
        append_ascii_bounded(explanation.line, " is not a 64-bit Windows ");
        append_ascii_bounded(explanation.line, wide_equal(walk->refused.data(), path) ? kind : "DLL");
        append_ascii_bounded(explanation.line, ": it is damaged or made for another processor.");
        // The walk's memory ends here; the name outlives it in the caller's.
        copy_wide_bounded(explanation.found_file, walk->refused.data());
        explanation.file = explanation.found_file.data();
        return;
    }
    append_ascii_bounded(explanation.line, "The DLL '");
    append_ascii_bounded(explanation.line, walk->missing);
    append_ascii_bounded(explanation.line, "' that ");
    append_path(explanation, walk->importer.data());
    append_ascii_bounded(explanation.line,
                         " needs was not found: it is neither among the packed files nor in the system directory.");
}

}  // namespace

void explain_load_failure(uint32_t code, const char16_t* library_path, const char16_t* target_directory,
                          FailureExplanation& explanation) {
    explain_image_failure(code, library_path, target_directory, "DLL", explanation);
}

void explain_start_failure(uint32_t code, const char16_t* program, FailureExplanation& explanation) {
    explanation.file = program;
    if (is_policy_refusal(code)) explain_policy_refusal(program, "", explanation);
}

void explain_program_failure(uint32_t code, const char16_t* program, const char16_t* target_directory,
                             FailureExplanation& explanation) {
    explain_image_failure(code, program, target_directory, "program", explanation);
}

uint32_t loader_failure_error(uint32_t exit_status) {
    switch (exit_status) {
        case 0xC0000135u:  // STATUS_DLL_NOT_FOUND
            return error_mod_not_found;
        case 0xC000007Bu:  // STATUS_INVALID_IMAGE_FORMAT
            return error_bad_exe_format;
        default:
            return 0;
    }
}

}  // namespace fenzar
