// What the fuzz targets share: the platform's two ways of ending the process
// turned into exceptions that a target catches, the launcher's standard
// output and error captured for one input, and the failure of a property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct ProcessExit {
    int status;
};
struct ImmediateStop {};

// Replaces exit_process and stop_immediately in the platform table by throws,
// so that one input's end is not the fuzzer's.
void make_process_ends_recoverable();

// Sends stdout and stderr to memory from construction until finish() (glibc
// lets a program assign the standard streams). The fuzzer's own reports and
// the sanitizers' write to the descriptor, so they still reach the terminal.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    void finish();

    std::string out;
    std::string err;

private:
    FILE* saved_out_;
    FILE* saved_err_;
    FILE* out_stream_ = nullptr;
    FILE* err_stream_ = nullptr;
    char* out_buffer_ = nullptr;
    char* err_buffer_ = nullptr;
    size_t out_size_ = 0;
    size_t err_size_ = 0;
    bool finished_ = false;
};

// Reports a broken property on the real stderr and aborts, which the fuzzer
// (or the replay) counts as a crash with this input.
[[noreturn]] void property_failed(const char* what, const std::string& detail = "");

// Readable text of UTF-16 units for those reports: ASCII as it is, the rest as
// \uXXXX.
std::string printable(const std::u16string& text);

// Reads the input as UTF-16LE units from offset on, up to a zero unit or the
// end; offset moves past what was read (and the zero unit).
std::u16string next_units(const uint8_t* data, size_t size, size_t* offset);
