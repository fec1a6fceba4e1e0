// What fenzar-pack list reads: attached data files and launcher executables
// (locate_attached_data, launcher_summary), both given by users.
//
// Input: the file.
//
// Properties: each reader either refuses with PackError or succeeds; listed
// names are at most the launcher's 1,023 units and never empty; an input that
// starts with "ZUQ" is listed from offset 0 and has no launcher line; a
// launcher's line starts with "launcher: ".
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "error.h"
#include "fuzz_support.h"
#include "listing.h"

using namespace fenzar::pack;

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const unsigned char> file(data, size);
    const bool attached_data_file = size >= 3 && std::memcmp(data, "ZUQ", 3) == 0;
    try {
        const LocatedData found = locate_attached_data(file);
        if (attached_data_file && found.offset != 0) property_failed("attached data not listed from its start");
        if (found.offset > size) property_failed("attached data found past the file");
        for (const auto& record : found.records) {
            if (record.name.empty() || record.name.size() > 1023) {
                property_failed("a listed name of the wrong length", std::to_string(record.name.size()));
            }
        }
    } catch (const PackError&) {
    }
    try {
        const auto summary = launcher_summary(file);
        if (attached_data_file && summary) property_failed("a launcher line for attached data");
        if (summary && summary->rfind("launcher: ", 0) != 0) property_failed("a malformed launcher line", *summary);
    } catch (const PackError&) {
    }
    return 0;
}
