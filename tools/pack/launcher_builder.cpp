#include "launcher_builder.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "embedded.h"
#include "error.h"
#include "listing.h"
#include "names.h"
#include "pe_reading.h"
#include "output_file.h"
#include "version_info.h"

namespace fenzar::pack {

namespace {

namespace fs = std::filesystem;

// SOURCE_DATE_EPOCH when set (reproducible builds' convention), else 0, so
// that the same inputs give the same file.
std::uint32_t launcher_timestamp() {
    const char* value = std::getenv("SOURCE_DATE_EPOCH");
    if (value == nullptr || *value == 0) return 0;
    const std::string_view text = value;
    std::uint32_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw PackError("SOURCE_DATE_EPOCH must be a number of seconds from 0 to 4294967295");
    }
    return seconds;
}

// A file name's stem as std::filesystem::path takes it, on UTF-8 text: the
// same on both systems, whatever the name holds.
std::string text_stem(std::string_view name) {
    if (const auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name == "..") return std::string(name);
    return std::string(name.substr(0, dot));
}

// The output's name as UTF-8 text from the system's own form (wide on
// Windows), so that both packers write the same version information.
VersionFields version_of(const LauncherOptions& options) {
    const auto& given = options.version;
    VersionFields fields;
    fields.file_version = given.file_version.value_or("0.0.0.0");
    fields.product_version = given.product_version.value_or(fields.file_version);
    fields.product_name = given.product_name.value_or(display_path(options.output.stem()));
    fields.description = given.description.value_or(fields.product_name);
    fields.original_filename = given.original_filename.value_or(display_path(options.output.filename()));
    fields.internal_name = text_stem(fields.original_filename);
    fields.company = given.company.value_or("");
    fields.copyright = given.copyright.value_or("");
    fields.packer_version = options.packer_version;
    return fields;
}

// The template the options name, or the built-in one, checked.
LauncherTemplate template_of(const LauncherOptions& options, std::unique_ptr<MappedFile>& file) {
    std::span<const unsigned char> image = embedded::launcher_template();
    std::string origin = "the built-in launcher template";
    if (options.template_file) {
        file = std::make_unique<MappedFile>(*options.template_file);
        image = file->bytes();
        origin = display_path(*options.template_file);
    }
    try {
        return read_template(image);
    } catch (const PackError& error) {
        throw PackError(origin + ": not a launcher template: " + error.what());
    }
}

}  // namespace

LauncherBuilder::LauncherBuilder(const LauncherOptions& options)
    : output_(options.output),
      template_(template_of(options, template_file_)),
      kind_(options.kind),
      timestamp_(launcher_timestamp()),
      settings_{options.cache, options.runs_program, options.target_base} {
    auto manifest = with_execution_level(embedded::manifest(), options.level);
    if (options.dpi) manifest = with_dpi_awareness(manifest, *options.dpi);
    resources_.push_back({rt_manifest, 1, std::move(manifest)});
    if (options.icon) {
        std::unique_ptr<MappedFile> icon;
        try {
            icon = std::make_unique<MappedFile>(*options.icon);
        } catch (const PackError& error) {
            throw PackError(std::string("cannot read the icon: ") + error.what());
        }
        auto icons = icon_resources(icon->bytes(), display_path(*options.icon));
        std::move(icons.begin(), icons.end(), std::back_inserter(resources_));
    } else {
        auto icons = icon_resources(embedded::icon(), "the built-in icon");
        std::move(icons.begin(), icons.end(), std::back_inserter(resources_));
    }
    resources_.push_back({rt_version, 1, version_resource(version_of(options))});
}

void LauncherBuilder::write(std::span<const unsigned char> attached_data, std::u16string_view first_record_name) const {
    const auto settings = settings_block(settings_, attached_data, first_record_name, output_.filename().u16string());
    OutputFile output(output_);
    write_launcher(template_, kind_, attached_data, resources_, timestamp_, output.stream(), settings);
    output.commit(0777);
}

std::vector<RecordInfo> check_attached_data(std::span<const unsigned char> data) {
    auto records = read_records(data);
    if (records.empty()) {
        throw PackError("the archive holds no records; its first must be the application library");
    }
    std::vector<std::u16string> names;
    for (const auto& record : records) {
        if (const auto problem = name_problem(record.name); !problem.empty()) {
            throw PackError("the record '" + utf16_to_display(record.name) + "': " + problem);
        }
        names.push_back(record.name);
    }
    if (const auto clash = find_file_under_directory_clash(names)) {
        throw PackError("the record '" + utf16_to_display(names[clash->first]) +
                        "' is a file and also a directory of the record '" + utf16_to_display(names[clash->second]) +
                        "'");
    }
    return records;
}

Subsystem link_launcher(const fs::path& attached_data, LauncherOptions options) {
    // The template and the icon are checked first, as pack does.
    static_cast<void>(LauncherBuilder(options));
    const MappedFile data(attached_data);
    std::vector<RecordInfo> records;
    try {
        records = check_attached_data(data.bytes());
    } catch (const PackError& error) {
        throw PackError(display_path(attached_data) + ": not attached data the launcher can unpack: " + error.what());
    }
    if (const std::uint16_t program_kind = records.front().program_subsystem; program_kind != 0) {
        options.runs_program = true;
        if (!options.kind_given) options.kind = program_kind == 3 ? Subsystem::console : Subsystem::windows;
    }
    const LauncherBuilder builder(options);
    builder.write(data.bytes(), records.front().name);
    return options.kind;
}

}  // namespace fenzar::pack
