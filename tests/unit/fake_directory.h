// A target directory that exists only in the platform table: it stays until
// a chosen number of removal attempts (deletions of the root) has been made,
// and every path and name the removal touches is recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fenzar {

inline constexpr char16_t fake_target[] = u"C:\\Temp\\onefile_1";
// How the removal reaches it: its parent opened by path, then the name
// relative to that.
inline constexpr char16_t fake_target_parent[] = u"\\\\?\\C:\\Temp";
inline constexpr char16_t fake_target_name[] = u"onefile_1";

struct FakeDirectory {
    int attempts = 0;
    int gone_after = 1 << 30;
    int file_after = 1 << 30;
    std::vector<uint32_t> pauses;
    // Every path and name the removal opens, finds or deletes.
    std::vector<std::u16string> touched;
};
inline FakeDirectory* fake_directory;

// Handles of the fake: the parent, and the target below it.
inline char fake_parent_handle;
inline char fake_target_handle;

inline uint32_t fake_target_attributes() {
    if (fake_directory->attempts >= fake_directory->gone_after) return platform::invalid_file_attributes;
    if (fake_directory->attempts >= fake_directory->file_after) return platform::file_attribute_normal;
    return platform::file_attribute_directory;
}

// Whether name, relative to handle, is the target.
inline bool is_fake_target(platform::DirectoryHandle parent, const char16_t* name) {
    return parent.value == &fake_parent_handle && std::u16string(name) == fake_target_name;
}

inline void install_fake_directory(platform::Table& table, FakeDirectory& state) {
    fake_directory = &state;
    table.open_directory_for_removal = [](platform::DirectoryHandle parent, const char16_t* name,
                                          platform::EntryFacts* facts) -> platform::DirectoryHandle {
        fake_directory->touched.push_back(name);
        if (!parent.valid()) {
            if (std::u16string(name) != fake_target_parent) return {nullptr};
            *facts = {platform::file_attribute_directory, 1};
            return {&fake_parent_handle};
        }
        uint32_t attributes = fake_target_attributes();
        if (!is_fake_target(parent, name) || attributes != platform::file_attribute_directory) return {nullptr};
        *facts = {attributes, 2};
        return {&fake_target_handle};
    };
    table.find_directory_entry = [](platform::DirectoryHandle parent, const char16_t* name,
                                    platform::EntryFacts* facts) {
        fake_directory->touched.push_back(name);
        *facts = {fake_target_attributes(), 2};
        return is_fake_target(parent, name) && facts->attributes != platform::invalid_file_attributes;
    };
    table.read_directory_entry = [](platform::DirectoryHandle, platform::RemovalEntry*) { return false; };
    table.close_directory = [](platform::DirectoryHandle) {};
    table.delete_entry_relative = [](platform::DirectoryHandle parent, const char16_t* name,
                                     const platform::EntryFacts*) {
        fake_directory->touched.push_back(name);
        if (is_fake_target(parent, name)) ++fake_directory->attempts;
        return false;
    };
    table.sleep_milliseconds = [](uint32_t milliseconds) { fake_directory->pauses.push_back(milliseconds); };
}

}  // namespace fenzar
