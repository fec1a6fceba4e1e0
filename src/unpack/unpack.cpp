#include "unpack/unpack.h"

#include "base/report.h"
#include "base/stop.h"
#include "payload/reader.h"
#include "payload/record_name.h"
#include "platform/platform.h"
#include "unpack/directories.h"

std::atomic<uint8_t> extraction_started{0};
WideBuffer<entry_path_capacity> first_entry_path;

namespace {

// The directory the current unpacking writes below.
const char16_t* unpack_directory = nullptr;
WideBuffer<entry_name_capacity> entry_name;
WideBuffer<entry_path_capacity> entry_path;
unsigned char copy_buffer[copy_piece_size];
// The file being written, so that a stop or a failure can close it before
// the directory is removed.
platform::FileHandle entry_file{nullptr};

// Looked at before every record and every piece: on a stop the main thread
// closes its file, leaves and waits for the end, writing nothing more.
void stop_here_if_stopping() {
    if (!stop_has_begun()) return;
    abandon_unpacking();
    end_with_stop();
}

// Reads one name, unit by unit, up to and including its terminator. A unit
// that would not leave room for the terminator is an immediate stop.
void read_entry_name() {
    for (size_t i = 0;; ++i) {
        unsigned char bytes[attached_data_format::name_unit_bytes];
        read_payload(bytes, sizeof bytes);
        char16_t unit = attached_data_format::name_unit_from(bytes);
        if (unit != 0 && i == entry_name_capacity) platform::stop_immediately();
        entry_name.units[i] = unit;
        if (unit == 0) return;
    }
}

uint64_t read_entry_size() {
    unsigned char bytes[attached_data_format::size_field_bytes];
    read_payload(bytes, sizeof bytes);
    return attached_data_format::size_from(bytes);
}

void form_entry_path() {
    entry_path.units[0] = 0;
    copy_wide_bounded(entry_path, unpack_directory);
    append_wide_char_bounded(entry_path, u'\\');
    append_wide_bounded(entry_path, entry_name.data());
}

void write_entry_data(uint64_t size) {
    while (size > 0) {
        stop_here_if_stopping();
        uint32_t piece = size < copy_piece_size ? static_cast<uint32_t>(size) : copy_piece_size;
        read_payload(copy_buffer, piece);
        if (!platform::write_file(entry_file, copy_buffer, piece)) report_unpack_failure();
        size -= piece;
    }
}

// Reads the next record's name and forms its path; false at the end marker.
// A name that would leave the directory or open a device ends the process as
// a file that cannot be opened does, before any of the record is written and
// before a child could load a library from such a path.
bool next_entry() {
    read_entry_name();
    if (entry_name.empty()) return false;
    form_entry_path();
    if (record_name_problem(entry_name.data(), wide_length(entry_name.data())) != nullptr) {
        report_open_failure(entry_path.data());
    }
    if (first_entry_path.empty()) copy_wide_bounded(first_entry_path, entry_path.data());
    return true;
}

// Writes every record below unpack_directory, then closes the reader and
// leaves the unpacking.
void write_all_entries() {
    while (next_entry()) {
        stop_here_if_stopping();
        uint64_t size = read_entry_size();
        create_containing_directories(entry_path.data());
        entry_file = platform::create_file_for_writing(entry_path.data());
        if (!entry_file.valid()) report_open_failure(entry_path.data());
        write_entry_data(size);
        // A write that the system accepted may still fail here (a full
        // network share, a disk that fills late): the file is then not what
        // the record holds.
        platform::FileHandle file = entry_file;
        entry_file = {nullptr};
        if (!platform::close_file(file)) report_unpack_failure();
    }
    close_payload();
    leave_unpacking();
}

}  // namespace

void unpack_all_entries(const char16_t* directory) {
    unpack_directory = directory;
    if (!enter_unpacking()) end_with_stop();
    extraction_started.store(1);
    write_all_entries();
}

void unpack_into_new_directory(const char16_t* directory) {
    unpack_directory = directory;
    if (!enter_unpacking()) end_with_stop();
    create_target_directory(directory);
    // Only now is the directory this process's own to remove.
    extraction_started.store(1);
    write_all_entries();
}

void abandon_unpacking() {
    if (entry_file.valid()) platform::close_file(entry_file);
    entry_file = {nullptr};
    leave_unpacking();
}

const char16_t* find_first_entry_path(const char16_t* directory) {
    unpack_directory = directory;
    extraction_started.store(1);
    next_entry();
    return first_entry_path.data();
}

void unpack_attached_data(AttachedData attached_data, const char16_t* directory) {
    open_payload(attached_data);
    unpack_all_entries(directory);
}

void reset_unpack_state() {
    entry_file = {nullptr};
    extraction_started.store(0);
    first_entry_path.units[0] = 0;
}
