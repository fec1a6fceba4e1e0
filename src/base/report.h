// The launcher's messages and the two ways of ending after a failure: exit
// status 2 after one line and the failure cleanup, or an immediate stop at a
// limit, which leaves everything as it is. Every exit with status 2 runs the
// cleanup except report_target_exists's, deliberately: the directory it
// names was made by someone else, and the launcher never removes that.
//
// Memory that runs out ends a step the run needs with "Error, couldn't
// allocate memory." and status 2 (fail_with_message); an optional step (the
// sweep, the cache's cleanup, the writer thread, the close pool, the
// explanation of a failed load) is skipped, and the run goes on as without
// it. Before either, what the lines
// said is shown to a person who cannot see the streams (a windowed program
// started from Explorer), as the platform decides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/callback.h"
#include "base/wide.h"

namespace fenzar {

namespace message {
inline constexpr const char* register_handler_failed = "Error, failed to register signal handler.";
inline constexpr const char* header_not_found = "Error, couldn't find attached data header.";
inline constexpr const char* allocation_failed = "Error, couldn't allocate memory.";
inline constexpr const char* decode_failed = "Error, couldn't decode attached data.";
inline constexpr const char* spec_expansion_failed = "Error, couldn't runtime expand spec '%ls'.\n";
inline constexpr const char* open_for_writing_failed = "Error, failed to open '%ls' for writing.\n";
inline constexpr const char* unpack_failed = "Error, couldn't unpack file to target path.";
inline constexpr const char* load_library_failed = "Error, load DLL.";
inline constexpr const char* entry_point_not_found = "Error, DLL entry point not found.";
inline constexpr const char* launch_child_failed = "Error, couldn't launch child";
inline constexpr const char* target_exists = "Error, target directory '%ls' already exists.\n";
inline constexpr const char* create_target_failed = "Error, couldn't create target directory.";
inline constexpr const char* examine_parent_failed = "Error, couldn't examine parent process.";
inline constexpr const char* target_base_refused = "Error, target base '%ls' is not a plain directory.\n";
}  // namespace message

inline constexpr int failure_exit_status = 2;

// Runs cleanup(context) before every exit with status 2 but one, at most
// once; none at first. report_target_exists skips it: the directory it
// names was made by someone else, and the parent's cleanup would remove it.
// The parent flow sets it, since only the parent has something to clean up;
// a null cleanup removes it.
void set_failure_cleanup(Callback<void()> cleanup);

inline constexpr size_t displayable_path_capacity = path_capacity;
inline constexpr char16_t replacement_character = 0xFFFD;

// The path as a message shows it: a surrogate without its partner (a name
// the system may take but no text can hold) becomes U+FFFD, so that the
// rest of the path is still printed. Into the caller's buffer, whose text
// it returns; a longer path is cut.
using DisplayablePath = WideBuffer<displayable_path_capacity>;
const char16_t* displayable_path(const char16_t* path, DisplayablePath& shown);

// Writes "text ([Error code] system text)" to standard error and returns.
void report_system_error(const char* text, uint32_t code);
// The same line with the first literal "%1" of the system text (Windows'
// placeholder for a file name, which its texts keep when nobody fills it)
// replaced by file.
void report_system_error_about(const char* text, uint32_t code, const char16_t* file);
// One more line on standard error that explains the failure just reported.
void report_explanation(const char16_t* line);
// The failure cleanup and exit with status 2, after lines written above.
[[noreturn]] void fail_after_reports();
// Plain message on standard output, then the failure cleanup and exit with
// status 2; so do all the failures below except the immediate stop.
[[noreturn]] void fail_with_message(const char* text);
// Message with the platform's text for code on standard error, then exit 2.
[[noreturn]] void fail_with_system_error(const char* text, uint32_t code);
// "Error, failed to open '<entry_path>' for writing." then exit 2.
[[noreturn]] void report_open_failure(const char16_t* entry_path);
// "Error, target directory '<directory>' already exists." then exit 2,
// without the failure cleanup (see set_failure_cleanup).
[[noreturn]] void report_target_exists(const char16_t* directory);
// "Error, target base '<base>' is not a plain directory." then exit 2.
[[noreturn]] void report_target_base_refused(const char16_t* base);
// Reads the last error right away; call directly after the failed write.
[[noreturn]] void report_unpack_failure();
// The expansion message with the template itself, then an immediate stop.
[[noreturn]] void report_spec_failure(const char16_t* template_text);

}  // namespace fenzar
