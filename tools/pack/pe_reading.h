// Reading any PE image the packer is given or writes: its subsystem, a
// resource, its imports, and whether it is a DLL application or a program
// that a launcher can run. The launcher template and the images written from
// it are pe_image.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fenzar::pack {

// Throws PackError saying what is wrong ("is not for x86-64", "is not a
// DLL", "does not export run_code", "is not a Windows DLL (...)") when `file`
// is not an x86-64 Windows DLL (a PE32+ image with the DLL flag) exporting
// run_code: what the launcher loads and calls as the application.
void check_application_library(std::span<const unsigned char> file);

// Throws PackError saying what is wrong ("is not for x86-64 (it is for x86,
// 32-bit, ...)", "is not a program (it is a DLL)", "is not a Windows
// program (...)") when `file` is not an x86-64 Windows program: a PE32+
// executable image, no DLL, for the windows (2) or console (3) subsystem.
// Returns that subsystem.
std::uint16_t check_program(std::span<const unsigned char> file);

// Whether `file` (or its first bytes, holding its headers) is an x86-64
// program that check_program accepts; its subsystem then, else 0.
std::uint16_t program_subsystem(std::span<const unsigned char> head);

// Whether `file` is a DLL that exports run_code (a DLL application).
bool is_application_library(std::span<const unsigned char> file);

// The names of the DLLs an image's import table names, in its order; as
// many as can be read of a damaged one.
std::vector<std::string> imported_libraries(std::span<const unsigned char> file);

// The subsystem field of a PE image's optional header (2 windows, 3
// console). Throws PackError when `file` is not a PE image.
std::uint16_t image_subsystem(std::span<const unsigned char> file);

// The data of the resource TYPE, ID (its first language) in a PE image;
// nullopt when the image has no such resource. Throws PackError when the
// resource section is damaged.
std::optional<std::span<const unsigned char>> resource_in_image(std::span<const unsigned char> file, std::uint16_t type,
                                                                std::uint16_t id);

}  // namespace fenzar::pack
