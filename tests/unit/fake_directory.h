// A target directory that exists only in the platform table: it stays until
// a chosen number of removal attempts (removals of the root) has been made,
// and every path the removal touches is recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

inline constexpr char16_t fake_target[] = u"C:\\Temp\\onefile_1";
inline constexpr char16_t fake_target_extended[] = u"\\\\?\\C:\\Temp\\onefile_1";

struct FakeDirectory {
    int attempts = 0;
    int gone_after = 1 << 30;
    int file_after = 1 << 30;
    std::vector<uint32_t> pauses;
    std::vector<std::u16string> touched;
};
inline FakeDirectory* fake_directory;

inline void install_fake_directory(platform::Table& table, FakeDirectory& state) {
    fake_directory = &state;
    table.get_file_attributes = [](const char16_t* path) -> uint32_t {
        fake_directory->touched.push_back(path);
        if (std::u16string(path) != fake_target_extended) return platform::invalid_file_attributes;
        if (fake_directory->attempts >= fake_directory->gone_after) return platform::invalid_file_attributes;
        if (fake_directory->attempts >= fake_directory->file_after) return platform::file_attribute_normal;
        return platform::file_attribute_directory;
    };
    table.open_directory_listing = [](const char16_t* path, platform::DirectoryEntry*,
                                      bool* has_first) -> platform::DirectoryListing {
        fake_directory->touched.push_back(path);
        *has_first = false;
        return {fake_directory};
    };
    table.next_directory_entry = [](platform::DirectoryListing, platform::DirectoryEntry*) { return false; };
    table.close_directory_listing = [](platform::DirectoryListing) {};
    table.remove_directory = [](const char16_t* path) {
        fake_directory->touched.push_back(path);
        if (std::u16string(path) == fake_target_extended) ++fake_directory->attempts;
        return false;
    };
    table.delete_file = [](const char16_t* path) {
        fake_directory->touched.push_back(path);
        return false;
    };
    table.set_file_attributes = [](const char16_t* path, uint32_t) {
        fake_directory->touched.push_back(path);
        return false;
    };
    table.sleep_milliseconds = [](uint32_t milliseconds) { fake_directory->pauses.push_back(milliseconds); };
}
