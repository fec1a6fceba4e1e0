// The rules that decide which entries beside a launcher's target directory
// are the trees of dead launchers: pure functions of a name, attributes,
// times and what is known of a process, so that every case can be tried
// without a file system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// A directory younger than this is never a candidate, whatever else holds:
// file-time units (100 ns), one minute.
inline constexpr uint64_t sweep_minimum_age = 60ull * 10'000'000ull;

// The prefix of a launcher's directory name, and of a claimed one (a
// tombstone): "onefile_swept_" SWEEPER "_" followed by the launcher name
// without its "onefile_".
inline constexpr char16_t launcher_name_prefix[] = u"onefile_";
inline constexpr char16_t tombstone_name_prefix[] = u"onefile_swept_";

enum class NameForm : uint8_t { other, launcher, tombstone };

struct NameFacts {
    NameForm form = NameForm::other;
    // The launcher's id (launcher form) or the claiming sweeper's (tombstone).
    uint32_t process_id = 0;
    // Where the part that names the launcher starts (PID_TIME_RANDOM): the
    // part a tombstone keeps.
    size_t launcher_part = 0;
};

// The name's form: "onefile_" PID "_" six digits "_" eleven characters of
// the token alphabet (A-Z a-z 0-9 - _), PID a decimal id from 1 to
// 4294967295 without leading zeros; or "onefile_swept_" PID "_" followed by
// that launcher part. Anything else, one character off, is other.
NameFacts read_name(const char16_t* name);

// A real directory as the listing shows it: no reparse point.
bool is_plain_directory(uint32_t attributes);

// At least sweep_minimum_age old at now; a creation time in the future is
// young.
bool is_old_enough(uint64_t directory_created, uint64_t now);

// Whether the process that made (launcher form) or claimed (tombstone) the
// directory is proven to have ended: no process has the id, or the process
// with it has ended, or, for a launcher's directory, the running process
// with the id was created after the directory (the id was reused). A
// tombstone's creation time is its launcher directory's, older than its
// sweeper, so a running process with the sweeper's id always keeps it. An
// unknown answer keeps everything.
bool has_owner_ended(NameForm form, platform::ProcessState state, uint64_t process_created,
                     uint64_t directory_created);
