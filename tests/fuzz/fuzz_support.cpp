#include "fuzz_support.h"

#include <cstdlib>

#include "platform/platform.h"

using namespace fenzar;

void make_process_ends_recoverable() {
    platform::table.exit_process = [](int status) { throw ProcessExit{status}; };
    platform::table.stop_immediately = [] { throw ImmediateStop{}; };
}

CapturedOutput::CapturedOutput() : saved_out_(stdout), saved_err_(stderr) {
    std::fflush(stdout);
    std::fflush(stderr);
    out_stream_ = open_memstream(&out_buffer_, &out_size_);
    err_stream_ = open_memstream(&err_buffer_, &err_size_);
    if (out_stream_ == nullptr || err_stream_ == nullptr) property_failed("the output cannot be captured");
    stdout = out_stream_;
    stderr = err_stream_;
}

CapturedOutput::~CapturedOutput() { finish(); }

void CapturedOutput::finish() {
    if (finished_) return;
    finished_ = true;
    stdout = saved_out_;
    stderr = saved_err_;
    std::fclose(out_stream_);
    std::fclose(err_stream_);
    out.assign(out_buffer_, out_size_);
    err.assign(err_buffer_, err_size_);
    std::free(out_buffer_);
    std::free(err_buffer_);
}

void property_failed(const char* what, const std::string& detail) {
    std::fprintf(stderr, "property failed: %s\n%s%s", what, detail.c_str(), detail.empty() ? "" : "\n");
    std::fflush(stderr);
    std::abort();
}

std::string printable(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}

std::u16string next_units(const uint8_t* data, size_t size, size_t* offset) {
    std::u16string units;
    while (*offset + 1 < size) {
        char16_t unit = static_cast<char16_t>(data[*offset] | data[*offset + 1] << 8);
        *offset += 2;
        if (unit == 0) break;
        units += unit;
    }
    if (*offset + 1 == size) *offset = size;
    return units;
}
