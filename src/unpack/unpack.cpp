#include "unpack/unpack.h"

#include "launcher/report.h"
#include "launcher/state.h"
#include "payload/reader.h"
#include "platform/platform.h"
#include "unpack/directories.h"

std::atomic<uint8_t> extraction_started{0};
WideBuffer<entry_path_capacity> first_entry_path;

namespace {

WideBuffer<entry_name_capacity> entry_name;
WideBuffer<entry_path_capacity> entry_path;
unsigned char copy_buffer[copy_piece_size];

// Reads one name, unit by unit, up to and including its terminator. A unit
// that would not leave room for the terminator is an immediate stop.
void read_entry_name() {
    for (size_t i = 0;; ++i) {
        unsigned char bytes[2];
        read_payload(bytes, sizeof bytes);
        auto unit = static_cast<char16_t>(bytes[0] | bytes[1] << 8);
        if (unit != 0 && i == entry_name_capacity) platform::stop_immediately();
        entry_name.units[i] = unit;
        if (unit == 0) return;
    }
}

uint64_t read_entry_size() {
    unsigned char bytes[8];
    read_payload(bytes, sizeof bytes);
    uint64_t size = 0;
    for (int i = 7; i >= 0; --i) size = size << 8 | bytes[i];
    return size;
}

void form_entry_path() {
    entry_path.units[0] = 0;
    copy_wide_bounded(entry_path, target_directory.data());
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

}  // namespace

void unpack_archive() {
    extraction_started.store(1);
    for (;;) {
        read_entry_name();
        if (entry_name.empty()) break;
        form_entry_path();
        if (first_entry_path.empty()) {
            copy_wide_bounded(first_entry_path, entry_path.data());
            if (run_mode == RunMode::reentered) return;
        }
        uint64_t size = read_entry_size();
        create_containing_directories(entry_path.data());
        platform::FileHandle file = platform::create_file_for_writing(entry_path.data());
        if (!file.valid()) report_open_failure(entry_path.data());
        write_entry_data(file, size);
        platform::close_file(file);
    }
    if (run_mode == RunMode::parent) close_payload();
}
