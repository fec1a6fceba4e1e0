#include "unpack/unpack.h"

#include "base/report.h"
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

void write_entry_data(platform::FileHandle file, uint64_t size) {
    while (size > 0) {
        uint32_t piece = size < copy_piece_size ? static_cast<uint32_t>(size) : copy_piece_size;
        read_payload(copy_buffer, piece);
        if (!platform::write_file(file, copy_buffer, piece)) report_unpack_failure();
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

}  // namespace

void unpack_all_entries(const char16_t* directory) {
    unpack_directory = directory;
    extraction_started.store(1);
    while (next_entry()) {
        uint64_t size = read_entry_size();
        create_containing_directories(entry_path.data());
        platform::FileHandle file = platform::create_file_for_writing(entry_path.data());
        if (!file.valid()) report_open_failure(entry_path.data());
        write_entry_data(file, size);
        platform::close_file(file);
    }
    close_payload();
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
    extraction_started.store(0);
    first_entry_path.units[0] = 0;
}
