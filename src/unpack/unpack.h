// Writing the archive's records below a directory.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/interruption.h"
#include "base/wide.h"
#include "payload/attached_data.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "unpack/directories.h"
#include "unpack/record_writer.h"

namespace fenzar {

// Whose the target directory is: the one fact that decides whether anything
// (the end of the run, a failure, a console event) may remove it.
enum class TargetOwner : uint8_t {
    // Not created by this process, or not yet: nothing is removed.
    none,
    // Created by this process, privately: removed.
    created,
    // A published cache directory: never removed.
    kept,
};

// What a failure to create or write a file does.
enum class WriteFailures : uint8_t {
    // Its message and exit status 2.
    report,
    // The unpacking ends and says so: for the cache's private unpacking,
    // whose failures are never an error of their own.
    fall_back,
};

// What one run's unpacking holds.
struct Unpacking {
    // 1 from just before the first record is read; never reset. Read by the
    // console control handler on another thread.
    std::atomic<uint8_t> extraction_started{0};
    // The current record's name, and its full path below the directory.
    WideBuffer<entry_name_capacity> entry_name;
    WideBuffer<entry_path_capacity> entry_path;
    // Makes the file calls beside the decoding; an interruption or a
    // failure stops it, and closes what it has open, before the directory
    // is removed.
    RecordWriter writer;
    // Written by the writer during an unpacking, by the main thread before.
    KnownDirectories known_directories;
    EntryObserver entry_observer;
    // Set to created in one place (unpack_into_new_directory), to kept and
    // back to none only by the launcher's cache flow. Read by the console
    // handler's thread.
    std::atomic<TargetOwner> target_owner{TargetOwner::none};
    WriteFailures write_failures = WriteFailures::report;
    // Each file reaches the disk before it is closed, so that what a later
    // start trusts without reading it back survives a power cut.
    bool flush_files = false;
    CloseMode close_mode = CloseMode::adaptive;
};

// Writes every record of the open reader below directory, then closes the
// reader. Once an interruption has begun it writes nothing more and ends
// through the interruption.
void unpack_archive(Unpacking& unpacking, PayloadReader& reader, Interruption& interruption, const char16_t* directory);
// Parent mode: the same into a directory that it creates first, privately,
// refusing one that exists (create_target_directory), with the records below
// records_directory (the directory itself when null). extraction_started and
// target_owner (created) are set only once the directory is this process's
// own, so that no cleanup removes a directory it did not create. True when
// every record was written; false only with WriteFailures::fall_back, when a
// directory or file could not be created or written (or a record's path
// would not fit): the reader is then closed, no file is open and the
// unpacking is left.
bool unpack_into_new_directory(Unpacking& unpacking, PayloadReader& reader, Interruption& interruption,
                               const char16_t* directory, const char16_t* records_directory = nullptr);
// Main thread, before a failure exit or on an interruption: stops the
// writer, waits for it and every pending close, closes the file being
// written, if any, and marks the unpacking as left.
void abandon_unpacking(Unpacking& unpacking, Interruption& interruption);
// Re-entered mode: reads only the first record's name and returns its full
// path below directory (in entry_path; empty for an archive without records),
// leaving the reader at the record's size field.
const char16_t* find_first_entry_path(Unpacking& unpacking, PayloadReader& reader, const char16_t* directory);

// Opens the given attached data and writes all of it below directory, as a
// parent does; for every program that unpacks data it was given.
void unpack_attached_data(AttachedData attached_data, const char16_t* directory);

}  // namespace fenzar
