#include "unpack/unpack.h"

#include <cstring>
#include <memory>

#include "base/report.h"
#include "payload/record_name.h"

namespace fenzar {

namespace {

// One unpacking below one directory, with what it reads from and looks at.
struct Job {
    Unpacking& unpacking;
    PayloadReader& reader;
    Interruption& interruption;
    const char16_t* directory;
};

// Looked at before every record and every piece: on an interruption the
// main thread stops the writer, leaves and waits for the end, writing
// nothing more.
void end_here_if_interrupted(const Job& job) {
    if (!job.interruption.has_begun()) return;
    abandon_unpacking(job.unpacking, job.interruption);
    job.interruption.end_process();
}

bool fail_from_writer(const Job& job);

// A limit is an immediate stop, which leaves on disk what is there at that
// moment: every record before this one, as the writer has them written.
[[noreturn]] void stop_at_limit(const Job& job) {
    job.unpacking.writer.finish();
    if (job.unpacking.writer.failed() && job.unpacking.write_failures == WriteFailures::report) fail_from_writer(job);
    platform::stop_immediately();
}

// Reads one name, unit by unit, up to and including its terminator. A unit
// that would not leave room for the terminator is an immediate stop.
void read_record_name(const Job& job) {
    auto& entry_name = job.unpacking.entry_name;
    for (size_t i = 0;; ++i) {
        unsigned char bytes[attached_data_format::name_unit_bytes];
        read_payload(job.reader, bytes, sizeof bytes);
        char16_t unit = attached_data_format::name_unit_from(bytes);
        if (unit != 0 && i == entry_name_capacity) stop_at_limit(job);
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
    if (wide_length(job.directory) + 1 + wide_length(job.unpacking.entry_name.data()) > entry_path_capacity) {
        stop_at_limit(job);
    }
    entry_path.units[0] = 0;
    copy_wide_bounded(entry_path, job.directory);
    append_wide_char_bounded(entry_path, u'\\');
    append_wide_bounded(entry_path, job.unpacking.entry_name.data());
}

// A failure the writer met, once it has ended: its message and exit, or,
// for an unpacking that falls back, false once nothing of it is open any
// more. The earliest record's failure is the one reported.
bool fail_from_writer(const Job& job) {
    RecordWriter& writer = job.unpacking.writer;
    writer.abandon();
    if (job.unpacking.write_failures == WriteFailures::report) {
        if (writer.failed_call() == FailedCall::open) report_open_failure(writer.failure_path());
        platform::set_last_error(writer.failure_code());
        report_unpack_failure();
    }
    abandon_unpacking(job.unpacking, job.interruption);
    close_payload(job.reader);
    return false;
}

// A record the main thread refuses: the records before it are written
// first, and a failure among them is reported instead, as it came first.
bool fail_writing(const Job& job, void (*report)(const Job& job)) {
    job.unpacking.writer.finish();
    end_here_if_interrupted(job);
    if (job.unpacking.writer.failed()) return fail_from_writer(job);
    if (job.unpacking.write_failures == WriteFailures::report) report(job);
    abandon_unpacking(job.unpacking, job.interruption);
    close_payload(job.reader);
    return false;
}

[[noreturn]] void report_open(const Job& job) { report_open_failure(job.unpacking.entry_path.data()); }

uint32_t aligned_to_units(uint32_t used) { return (used + 1) & ~1u; }

// Makes room in the batch being filled for a new piece with bytes more:
// hands the batch off when it has none. False when the writer has failed,
// once that is dealt with.
bool make_room(const Job& job, uint32_t bytes) {
    RecordWriter& writer = job.unpacking.writer;
    const RecordBatch& batch = writer.filling();
    if (batch.piece_count < batch.piece_capacity && batch.capacity - aligned_to_units(batch.used) >= bytes) return true;
    writer.hand_off();
    end_here_if_interrupted(job);
    if (writer.failed()) return fail_from_writer(job);
    return true;
}

// Decodes one record into the batches: its path, then its data in pieces
// of copy_piece_size, each of which a batch holds whole.
bool add_record(const Job& job, uint64_t record, uint64_t size) {
    Unpacking& unpacking = job.unpacking;
    RecordWriter& writer = unpacking.writer;
    uint32_t path_bytes = static_cast<uint32_t>((wide_length(unpacking.entry_path.data()) + 1) * sizeof(char16_t));
    uint32_t first = size < copy_piece_size ? static_cast<uint32_t>(size) : copy_piece_size;
    if (!make_room(job, path_bytes + first)) return false;
    RecordBatch* batch = &writer.filling();
    batch->used = aligned_to_units(batch->used);
    RecordPiece* piece = &batch->pieces[batch->piece_count++];
    *piece = {record, size, batch->used, static_cast<uint32_t>(wide_length(job.directory) + 1), 0, 0, true, false};
    std::memcpy(batch->bytes + batch->used, unpacking.entry_path.data(), path_bytes);
    batch->used += path_bytes;
    piece->data_offset = batch->used;
    for (uint64_t left = size; left > 0;) {
        end_here_if_interrupted(job);
        uint32_t length = left < copy_piece_size ? static_cast<uint32_t>(left) : copy_piece_size;
        if (batch->capacity - batch->used < length) {
            if (!make_room(job, length)) return false;
            batch = &writer.filling();
            piece = &batch->pieces[batch->piece_count++];
            *piece = {record, size, 0, 0, batch->used, 0, false, false};
        }
        read_payload(job.reader, batch->bytes + batch->used, length);
        batch->used += length;
        piece->data_length += length;
        left -= length;
    }
    piece->closes = true;
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
// leaves the unpacking once every file is written and closed. False only
// when an unpacking that falls back failed.
bool write_all_records(const Job& job) {
    Unpacking& unpacking = job.unpacking;
    unpacking.writer.begin(&job.interruption, &unpacking.known_directories, unpacking.entry_observer,
                           unpacking.flush_files, unpacking.close_mode);
    bool failed = false;
    for (uint64_t record = 0; next_record(job, &failed); ++record) {
        end_here_if_interrupted(job);
        uint64_t size = read_record_size(job);
        if (!add_record(job, record, size)) return false;
    }
    if (failed) return false;
    unpacking.writer.finish();
    // The writer stops at an interruption with records unwritten.
    end_here_if_interrupted(job);
    if (unpacking.writer.failed()) return fail_from_writer(job);
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
    unpacking.writer.abandon();
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

}  // namespace fenzar
