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
// derived from the output's name (see LauncherBuilder).
struct VersionOptions {
    std::optional<std::string> file_version;
    std::optional<std::string> product_version;
    std::optional<std::string> product_name;
    std::optional<std::string> company;
    std::optional<std::string> description;
    std::optional<std::string> copyright;
    std::optional<std::string> original_filename;
};

struct LauncherOptions {
    std::filesystem::path output;
    Subsystem kind = Subsystem::windows;
    ExecutionLevel level = ExecutionLevel::as_invoker;
    std::optional<std::filesystem::path> icon;
    // A template other than the built-in one; tests use a template with
    // fault hooks.
    std::optional<std::filesystem::path> template_file;
    VersionOptions version;
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
    std::optional<DpiAwareness> dpi;
};

// Everything of a launcher but its attached data, read and checked up front,
// so that pack refuses a bad template, icon or version before compressing.
// Defaults: the windows subsystem, execution level asInvoker, the built-in
// icon, file version 0.0.0.0, product version = file version, product
// name and internal name = the output's stem, description = product name,
// original filename = the output's name; no company or copyright.
class LauncherBuilder {
public:
    explicit LauncherBuilder(const LauncherOptions& options);

    // Writes the launcher; the output appears only when it is complete, and
    // the same inputs give the same bytes. With --cache the application's
    // name comes from the first record's name.
    void write(std::span<const unsigned char> attached_data, std::u16string_view first_record_name) const;

private:
    std::filesystem::path output_;
    std::unique_ptr<MappedFile> template_file_;
    LauncherTemplate template_;
    Subsystem kind_;
    std::vector<Resource> resources_;
    std::uint32_t timestamp_;
    SettingsRequest settings_;
};

// Throws PackError unless `data` is attached data that the launcher can
// unpack: the magic, a frame that decodes completely into a complete
// archive, and record names that pack would accept. Names may repeat (the
// later record overwrites the earlier one). Returns the records.
std::vector<RecordInfo> check_attached_data(std::span<const unsigned char> data);

// fenzar-pack link: checks the attached data file, then writes the launcher.
// A first record that is an x86-64 program makes a launcher that runs it,
// of the program's kind unless kind_given. Returns the kind written.
Subsystem link_launcher(const std::filesystem::path& attached_data, LauncherOptions options);

}  // namespace fenzar::pack
