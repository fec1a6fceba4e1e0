// Template expansion with arbitrary templates, capacities and values from the
// system and the environment.
//
// Input: the capacity (2 bytes, little-endian), a flag byte (bit 0: the
// folder lookups fail; bit 1: there is no argument 0), then UTF-16LE fields,
// each ended by a zero unit: the template, the temporary path, the profile
// folder, the cache folder, argument 0, and the values of
// FENZAR_ONEFILE_PARENT, _RANDOM, _TIME_US and _START (a missing or empty
// field: the variable is unset).
//
// The system's answers keep to their contracts and no more: a temporary path
// that does not fit comes back as unterminated garbage filling the buffer, a
// folder of 1,024 units or more fills the folder buffer without a terminator.
//
// Properties: the output buffer (exactly capacity + 1 units on the heap) is
// never written past and holds a terminated string after every outcome; the
// outcome is true, false or an immediate stop; a template without "{" never
// stops and gives itself back when it fits, false when it does not.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/arguments.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "target_dir/expand_spec.h"

namespace fenzar {

namespace {

struct System {
    std::u16string temp;
    std::u16string profile;
    std::u16string cache;
    bool folders_fail;
    std::map<std::u16string, std::u16string> environment;
};
System system_now;

uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    auto found = system_now.environment.find(name);
    if (found == system_now.environment.end() || found->second.empty()) return 0;
    const std::u16string& value = found->second;
    if (value.size() + 1 > size) return static_cast<uint32_t>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(value.size());
}

bool set_environment_variable(const char16_t* name, const char16_t* value) {
    if (value == nullptr) {
        system_now.environment.erase(name);
    } else {
        system_now.environment[name] = value;
    }
    return true;
}

uint32_t get_temp_path(uint32_t size, char16_t* out) {
    const std::u16string& temp = system_now.temp;
    if (temp.size() + 1 > size) {
        for (uint32_t i = 0; i < size; ++i) out[i] = u'#';
        return static_cast<uint32_t>(temp.size() + 1);
    }
    std::memcpy(out, temp.c_str(), (temp.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(temp.size());
}

int32_t get_folder_path(int csidl, char16_t* out) {
    if (system_now.folders_fail) return static_cast<int32_t>(0x80004005u);
    const std::u16string& folder = csidl == platform::folder_profile ? system_now.profile : system_now.cache;
    size_t units = std::min<size_t>(folder.size(), platform::folder_path_capacity);
    std::memcpy(out, folder.data(), units * sizeof(char16_t));
    if (units < platform::folder_path_capacity) out[units] = 0;
    return 0;
}

uint64_t system_time_as_file_time() { return 133000000001234567ull; }
void query_performance_counter(int64_t* counter) { *counter = 987654321; }
uint32_t current_process_id() { return 4242; }

bool terminated_within(const char16_t* text, size_t units) {
    for (size_t i = 0; i < units; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_process_ends_recoverable();
    platform::table.get_environment_variable = get_environment_variable;
    platform::table.set_environment_variable = set_environment_variable;
    platform::table.get_temp_path = get_temp_path;
    platform::table.get_folder_path = get_folder_path;
    platform::table.system_time_as_file_time = system_time_as_file_time;
    platform::table.query_performance_counter = query_performance_counter;
    platform::table.current_process_id = current_process_id;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t capacity = data[0] | data[1] << 8;
    const uint8_t flags = data[2];
    size_t offset = 3;
    const std::u16string template_text = next_units(data, size, &offset);
    system_now = {next_units(data, size, &offset),
                  next_units(data, size, &offset),
                  next_units(data, size, &offset),
                  (flags & 1) != 0,
                  {}};
    std::u16string program = next_units(data, size, &offset);
    for (const char* name :
         {"FENZAR_ONEFILE_PARENT", "FENZAR_ONEFILE_RANDOM", "FENZAR_ONEFILE_TIME_US", "FENZAR_ONEFILE_START"}) {
        std::u16string value = next_units(data, size, &offset);
        if (!value.empty()) system_now.environment[std::u16string(name, name + std::strlen(name))] = value;
    }
    char16_t* argv[] = {program.data(), nullptr};
    const SavedArguments arguments = {1, (flags & 2) != 0 ? nullptr : argv};

    std::unique_ptr<char16_t[]> output(new char16_t[capacity + 1]);
    for (size_t i = 0; i <= capacity; ++i) output[i] = u'\uAAAA';
    enum { expanded, refused, stopped } outcome;
    {
        CapturedOutput quiet;
        try {
            outcome = expand_spec(output.get(), template_text.c_str(), capacity, arguments) ? expanded : refused;
        } catch (const ImmediateStop&) {
            outcome = stopped;
        } catch (const ProcessExit& exit) {
            property_failed("expansion exited", std::to_string(exit.status));
        }
    }

    if (!terminated_within(output.get(), capacity + 1)) property_failed("the output is not terminated");
    if (template_text.find(u'{') == std::u16string::npos) {
        const std::u16string result(output.get());
        bool fits = template_text.size() <= capacity;
        if (outcome == stopped) property_failed("a literal template stopped", printable(template_text));
        if (fits && (outcome != expanded || result != template_text)) {
            property_failed("a literal template that fits did not come back",
                            printable(template_text) + " -> " + printable(result));
        }
        if (!fits && outcome != refused) property_failed("a literal template past the capacity was accepted");
    }
    return 0;
}
