#include "unpack/unpack.h"

#include <memory>

#include "base/report.h"
#include "payload/record_name.h"

namespace {

// One unpacking below one directory, with what it reads from and looks at.
struct Job {
    Unpacking& unpacking;
    PayloadReader& reader;
    Interruption& interruption;
    const char16_t* directory;
};

// Looked at before every record and every piece: on an interruption the
// main thread closes its file, leaves and waits for the end, writing nothing
// more.
void end_here_if_interrupted(const Job& job) {
    if (!job.interruption.has_begun()) return;
    abandon_unpacking(job.unpacking, job.interruption);
    job.interruption.end_process();
}

// Reads one name, unit by unit, up to and including its terminator. A unit
// that would not leave room for the terminator is an immediate stop.
void read_record_name(const Job& job) {
    auto& entry_name = job.unpacking.entry_name;
    for (size_t i = 0;; ++i) {
        unsigned char bytes[attached_data_format::name_unit_bytes];
        read_payload(job.reader, bytes, sizeof bytes);
        char16_t unit = attached_data_format::name_unit_from(bytes);
        if (unit != 0 && i == entry_name_capacity) platform::stop_immediately();
        entry_name.units[i] = unit;
        if (unit == 0) return;
    }
}

uint64_t read_record_size(const Job& job) {
    unsigned char bytes[attached_data_format::size_field_bytes];
    read_payload(job.reader, bytes, sizeof bytes);
    return attached_data_format::size_from(bytes);
}

void form_entry_path(const Job& job) {
    auto& entry_path = job.unpacking.entry_path;
    entry_path.units[0] = 0;
    copy_wide_bounded(entry_path, job.directory);
    append_wide_char_bounded(entry_path, u'\\');
    append_wide_bounded(entry_path, job.unpacking.entry_name.data());
}

// A failure to create or write: its message and exit, or, for an unpacking
// that falls back, false once nothing of it is open any more.
bool fail_writing(const Job& job, void (*report)(const Job& job)) {
    if (job.unpacking.write_failures == WriteFailures::report) report(job);
    abandon_unpacking(job.unpacking, job.interruption);
    close_payload(job.reader);
    return false;
}

[[noreturn]] void report_open(const Job& job) { report_open_failure(job.unpacking.entry_path.data()); }
[[noreturn]] void report_write(const Job&) { report_unpack_failure(); }

bool write_record_data(const Job& job, uint64_t size) {
    Unpacking& unpacking = job.unpacking;
    while (size > 0) {
        end_here_if_interrupted(job);
        uint32_t piece = size < copy_piece_size ? static_cast<uint32_t>(size) : copy_piece_size;
        read_payload(job.reader, unpacking.copy_buffer, piece);
        if (!platform::write_file(unpacking.entry_file, unpacking.copy_buffer, piece)) {
            return fail_writing(job, report_write);
        }
        size -= piece;
    }
    return true;
}

// A record's path that would not fit ends the process at once, as a limit;
// an unpacking that falls back takes it as a file it cannot create.
bool fits_entry_path(const Job& job) {
    if (job.unpacking.write_failures == WriteFailures::report) return true;
    return wide_length(job.directory) + 1 + wide_length(job.unpacking.entry_name.data()) <= entry_path_capacity;
}

// Reads the next record's name and forms its path; false at the end marker
// (and, for an unpacking that falls back, at a name it cannot use, with
// *failed set). A name that would leave the directory or open a device ends
// the process as a file that cannot be opened does, before any of the
// record is written and before a child could load a library from such a
// path.
bool next_record(const Job& job, bool* failed = nullptr) {
    read_record_name(job);
    const auto& entry_name = job.unpacking.entry_name;
    if (entry_name.empty()) return false;
    if (failed != nullptr && !fits_entry_path(job)) {
        *failed = true;
        return fail_writing(job, report_open);
    }
    form_entry_path(job);
    if (record_name_problem(entry_name.data(), wide_length(entry_name.data())) != nullptr) {
        if (failed != nullptr) *failed = true;
        return fail_writing(job, report_open);
    }
    return true;
}

// Writes every record below the job's directory, then closes the reader and
// leaves the unpacking. False only when an unpacking that falls back failed.
bool write_all_records(const Job& job) {
    Unpacking& unpacking = job.unpacking;
    bool failed = false;
    while (next_record(job, &failed)) {
        end_here_if_interrupted(job);
        uint64_t size = read_record_size(job);
        create_containing_directories(unpacking.known_directories, unpacking.entry_path.data());
        unpacking.entry_file = platform::create_file_for_writing(unpacking.entry_path.data());
        if (!unpacking.entry_file.valid()) return fail_writing(job, report_open);
        if (!write_record_data(job, size)) return false;
        if (unpacking.flush_files && !platform::flush_file(unpacking.entry_file)) {
            return fail_writing(job, report_write);
        }
        // A write that the system accepted may still fail here (a full
        // network share, a disk that fills late): the file is then not what
        // the record holds.
        platform::FileHandle file = unpacking.entry_file;
        unpacking.entry_file = {nullptr};
        if (!platform::close_file(file)) return fail_writing(job, report_write);
        const EntryObserver& observer = unpacking.entry_observer;
        if (observer.written != nullptr) observer.written(observer.context, unpacking.entry_name.data(), size);
    }
    if (failed) return false;
    close_payload(job.reader);
    job.interruption.leave_unpacking();
    return true;
}

}  // namespace

void unpack_archive(Unpacking& unpacking, PayloadReader& reader, Interruption& interruption,
                        const char16_t* directory) {
    if (!interruption.enter_unpacking()) interruption.end_process();
    unpacking.extraction_started.store(1);
    write_all_records({unpacking, reader, interruption, directory});
}

bool unpack_into_new_directory(Unpacking& unpacking, PayloadReader& reader, Interruption& interruption,
                               const char16_t* directory, const char16_t* records_directory) {
    if (!interruption.enter_unpacking()) interruption.end_process();
    if (unpacking.write_failures == WriteFailures::report) {
        create_target_directory(unpacking.known_directories, directory);
    } else if (!try_create_target_directory(unpacking.known_directories, directory)) {
        abandon_unpacking(unpacking, interruption);
        close_payload(reader);
        return false;
    }
    // Only now is the directory this process's own to remove.
    unpacking.target_owner.store(TargetOwner::created);
    unpacking.extraction_started.store(1);
    if (records_directory == nullptr) records_directory = directory;
    return write_all_records({unpacking, reader, interruption, records_directory});
}

void abandon_unpacking(Unpacking& unpacking, Interruption& interruption) {
    if (unpacking.entry_file.valid()) platform::close_file(unpacking.entry_file);
    unpacking.entry_file = {nullptr};
    interruption.leave_unpacking();
}

const char16_t* find_first_entry_path(Unpacking& unpacking, PayloadReader& reader, const char16_t* directory) {
    // Nothing here waits for an interruption: a re-entered instance has no
    // handler.
    Interruption no_handler;
    unpacking.extraction_started.store(1);
    if (!next_record({unpacking, reader, no_handler, directory})) unpacking.entry_path.units[0] = 0;
    return unpacking.entry_path.data();
}

void unpack_attached_data(AttachedData attached_data, const char16_t* directory) {
    auto unpacking = std::make_unique<Unpacking>();
    PayloadReader reader;
    Interruption no_handler;
    open_payload(reader, attached_data);
    unpack_archive(*unpacking, reader, no_handler, directory);
}
