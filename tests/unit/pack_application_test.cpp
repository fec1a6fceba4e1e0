// The check of the application library: only an x86-64 Windows DLL that
// exports run_code is packed, and a refusal says which of the three it is
// not. The images are made here, as small as a loader reads them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "pe_image.h"
#include "pe_reading.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<unsigned char>(value);
    out[at + 1] = static_cast<unsigned char>(value >> 8);
}

void put32(Bytes& out, std::size_t at, std::uint32_t value) {
    put16(out, at, value & 0xFFFF);
    put16(out, at + 2, value >> 16);
}

struct ImageOptions {
    std::uint16_t machine = 0x8664;
    std::uint16_t characteristics = 0x2022;  // DLL, executable, large addresses
    std::vector<std::string> exports = {"helper", "run_code"};
    bool export_directory = true;
    std::uint32_t name_table_rva = 0x1040;
    std::uint16_t subsystem = 2;
    std::uint16_t optional_magic = 0x20B;
};

// A PE32+ image with one section (RVA 0x1000, file offset 0x200) that holds
// the export directory, its name table and the names.
Bytes pe_image(const ImageOptions& options) {
    Bytes image(0x400);
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, 0x40);
    put32(image, 0x40, 0x00004550);
    const std::size_t coff = 0x44;
    put16(image, coff, options.machine);
    put16(image, coff + 2, 1);
    put16(image, coff + 16, 240);
    put16(image, coff + 18, options.characteristics);
    const std::size_t optional = coff + 20;
    put16(image, optional, options.optional_magic);
    put16(image, optional + 68, options.subsystem);
    put32(image, optional + 108, 16);
    if (options.export_directory) {
        put32(image, optional + 112, 0x1000);
        put32(image, optional + 116, 0x100);
    }
    const std::size_t section = optional + 240;
    std::copy_n(".edata", 6, image.begin() + static_cast<std::ptrdiff_t>(section));
    put32(image, section + 8, 0x200);
    put32(image, section + 12, 0x1000);
    put32(image, section + 16, 0x200);
    put32(image, section + 20, 0x200);
    put32(image, section + 36, 0x40000040);

    const std::size_t exports = 0x200;
    put32(image, exports + 24, static_cast<std::uint32_t>(options.exports.size()));
    put32(image, exports + 32, options.name_table_rva);
    std::uint32_t name_rva = 0x1080;
    for (std::size_t i = 0; i < options.exports.size(); ++i) {
        put32(image, exports + 0x40 + 4 * i, name_rva);
        const std::string& name = options.exports[i];
        std::copy(name.begin(), name.end(), image.begin() + (name_rva - 0x1000 + 0x200));
        name_rva += static_cast<std::uint32_t>(name.size() + 1);
    }
    return image;
}

std::string problem_of(const Bytes& file) {
    try {
        fenzar::pack::check_application_library(file);
        return "";
    } catch (const fenzar::pack::PackError& error) {
        return error.what();
    }
}

TEST(ApplicationLibrary, AcceptsAnX8664DllExportingRunCode) {
    EXPECT_EQ(problem_of(pe_image({})), "");
    ImageOptions only_entry;
    only_entry.exports = {"run_code"};
    EXPECT_EQ(problem_of(pe_image(only_entry)), "");
}

TEST(ApplicationLibrary, SaysWhichOfTheThreeItIsNot) {
    ImageOptions x86;
    x86.machine = 0x14C;
    ImageOptions arm64;
    arm64.machine = 0xAA64;
    ImageOptions program;
    program.characteristics = 0x0022;
    ImageOptions other_exports;
    other_exports.exports = {"run_cod", "run_code_2", "Run_code"};
    ImageOptions gcc_name;
    gcc_name.exports = {"other", "_Z8run_codeiPPwPKw"};
    ImageOptions msvc_name;
    msvc_name.exports = {"?run_code@@YAHHPEAPEA_WPEB_W@Z"};
    ImageOptions no_exports;
    no_exports.export_directory = false;
    ImageOptions names_outside;
    names_outside.name_table_rva = 0x9000;
    Bytes cut_headers = pe_image({});
    cut_headers.resize(0x50);
    const std::string text = "int run_code() { return 0; }\n";
    // An icon file's header: reserved 0, type 1, one image.
    const Bytes icon = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const struct {
        const char* what;
        Bytes file;
        const char* problem;
    } cases[] = {
        {"empty", {}, "is not a Windows DLL (not a PE image: no \"MZ\")"},
        {"text", Bytes(text.begin(), text.end()), "is not a Windows DLL (not a PE image: no \"MZ\")"},
        {"icon", icon, "is not a Windows DLL (not a PE image: no \"MZ\")"},
        {"headers cut short", cut_headers, "is not a Windows DLL (the file ends inside its headers)"},
        {"x86", pe_image(x86), "is not for x86-64 (its machine is 0x014C, x86-64 is 0x8664)"},
        {"arm64", pe_image(arm64), "is not for x86-64 (its machine is 0xAA64, x86-64 is 0x8664)"},
        {"program", pe_image(program), "is not a DLL (it is an executable program)"},
        {"other exports", pe_image(other_exports), "does not export run_code"},
        {"no exports", pe_image(no_exports), "does not export run_code"},
        // Without extern "C": the compiler's name for it, and the advice.
        {"g++'s name", pe_image(gcc_name),
         "does not export run_code, only '_Z8run_codeiPPwPKw', the name a C++ compiler gives it: declare it "
         "extern \"C\""},
        {"MSVC's name", pe_image(msvc_name),
         "does not export run_code, only '?run_code@@YAHHPEAPEA_WPEB_W@Z', the name a C++ compiler gives it: "
         "declare it extern \"C\""},
        {"name table outside", pe_image(names_outside),
         "is not a Windows DLL (its export table lies outside the file)"},
    };
    for (const auto& c : cases) EXPECT_EQ(problem_of(c.file), c.problem) << c.what;
}

std::string program_problem(const Bytes& file) {
    try {
        fenzar::pack::check_program(file);
        return "";
    } catch (const fenzar::pack::PackError& error) {
        return error.what();
    }
}

ImageOptions program_options(std::uint16_t subsystem = 3) {
    ImageOptions program;
    program.characteristics = 0x0022;
    program.exports = {};
    program.export_directory = false;
    program.subsystem = subsystem;
    return program;
}

// --exe: an x86-64 executable for the windows or console subsystem; its
// subsystem decides the launcher's kind, and a refusal says what it is.
TEST(Program, TakesAnX8664ExecutableAndGivesItsSubsystem) {
    EXPECT_EQ(fenzar::pack::check_program(pe_image(program_options(3))), 3);
    EXPECT_EQ(fenzar::pack::check_program(pe_image(program_options(2))), 2);
    EXPECT_EQ(fenzar::pack::program_subsystem(pe_image(program_options(3))), 3);
    // The listing's test reads only a file's first bytes: the headers do.
    Bytes head = pe_image(program_options(2));
    head.resize(0x200);
    EXPECT_EQ(fenzar::pack::program_subsystem(head), 2);
}

TEST(Program, SaysWhatItIsInstead) {
    ImageOptions x86 = program_options();
    x86.machine = 0x14C;
    ImageOptions arm64 = program_options();
    arm64.machine = 0xAA64;
    ImageOptions other_machine = program_options();
    other_machine.machine = 0x5064;
    ImageOptions not_executable = program_options();
    not_executable.characteristics = 0x0020;
    ImageOptions pe32 = program_options();
    pe32.optional_magic = 0x10B;
    const std::string text = "echo hello\n";
    const struct {
        const char* what;
        Bytes file;
        const char* problem;
    } cases[] = {
        {"text", Bytes(text.begin(), text.end()), "is not a Windows program (not a PE image: no \"MZ\")"},
        {"DLL", pe_image({.exports = {"helper"}}), "is not a program (it is a DLL)"},
        {"DLL application", pe_image({}),
         "is not a program (it is a DLL that exports run_code: pack it without --exe)"},
        {"x86", pe_image(x86), "is not for x86-64 (it is for x86, 32-bit)"},
        {"arm64", pe_image(arm64), "is not for x86-64 (it is for ARM64)"},
        {"another machine", pe_image(other_machine), "is not for x86-64 (it is for machine 0x5064)"},
        {"not executable", pe_image(not_executable), "is not a program (not marked as an executable image)"},
        {"PE32", pe_image(pe32), "is not a Windows program (not a PE32+ image)"},
        {"native", pe_image(program_options(1)),
         "is not a Windows program (its subsystem is 1, neither windows (2) nor console (3))"},
        {"EFI", pe_image(program_options(10)),
         "is not a Windows program (its subsystem is 10, neither windows (2) nor console (3))"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(program_problem(c.file), c.problem) << c.what;
        EXPECT_EQ(fenzar::pack::program_subsystem(c.file), 0) << c.what;
    }
}

}  // namespace
