// Writing launcher executables: the launcher template (built into the packer)
// with the attached data, the manifest, the icon and the version information
// put in. No toolchain runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "listing.h"
#include "manifest.h"
#include "mapped_file.h"
#include "pe_image.h"
#include "resource_section.h"
#include "settings_block.h"

namespace fenzar::pack {

// The version information as given on the command line; what is missing is
// derived from the output's name (see launcher_builder).
struct version_options {
    std::optional<std::string> file_version;
    std::optional<std::string> product_version;
    std::optional<std::string> product_name;
    std::optional<std::string> company;
    std::optional<std::string> description;
    std::optional<std::string> copyright;
    std::optional<std::string> original_filename;
};

struct launcher_options {
    std::filesystem::path output;
    subsystem kind = subsystem::windows;
    execution_level level = execution_level::as_invoker;
    std::optional<std::filesystem::path> icon;
    // A template other than the built-in one; tests use a template with
    // fault hooks.
    std::optional<std::filesystem::path> template_file;
    version_options version;
    // Run from a per-user cache directory keyed by the data's digest instead
    // of a fresh temporary one (src/cache/cache.h).
    bool cache = false;
    // The first record is a program that the launcher starts as its child,
    // not a library it loads.
    bool runs_program = false;
    // For link: kind was asked for; otherwise it follows a program that is
    // the first record.
    bool kind_given = false;
    // The template of the directory fresh directories are made in; empty for
    // %TEMP%.
    std::u16string target_base;
    // The packer's own version, carried in the version information so that
    // `list` can say which packer wrote the launcher.
    std::string packer_version;
    // Set in the manifest only when asked for: without it, the manifest is
    // the built-in one.
    std::optional<dpi_awareness> dpi;
};

// Everything of a launcher but its attached data, read and checked up front,
// so that pack refuses a bad template, icon or version before compressing.
// Defaults: the windows subsystem, execution level asInvoker, the built-in
// icon, file version 0.0.0.0, product version = file version, product
// name and internal name = the output's stem, description = product name,
// original filename = the output's name; no company or copyright.
class launcher_builder {
public:
    explicit launcher_builder(const launcher_options& options);

    // Writes the launcher; the output appears only when it is complete, and
    // the same inputs give the same bytes. With --cache the application's
    // name comes from the first record's name.
    void write(std::span<const unsigned char> attached_data, std::u16string_view first_record_name) const;

private:
    std::filesystem::path output_;
    std::unique_ptr<mapped_file> template_file_;
    launcher_template template_;
    subsystem kind_;
    std::vector<resource> resources_;
    std::uint32_t timestamp_;
    settings_request settings_;
};

// Throws pack_error unless `data` is attached data that the launcher can
// unpack: the magic, a frame that decodes completely into a complete
// archive, and record names that pack would accept. Names may repeat (the
// later record overwrites the earlier one). Returns the records.
std::vector<record_info> check_attached_data(std::span<const unsigned char> data);

// fenzar-pack link: checks the attached data file, then writes the launcher.
// A first record that is an x86-64 program makes a launcher that runs it,
// of the program's kind unless kind_given. Returns the kind written.
subsystem link_launcher(const std::filesystem::path& attached_data, launcher_options options);

}  // namespace fenzar::pack
