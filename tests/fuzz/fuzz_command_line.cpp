// The child's command line: quoting arguments and splitting the result gives
// them back exactly.
//
// Input: a mode byte, then UTF-16LE units. Even mode: the units are the raw
// command line the launcher was started with; build_child_command_line makes
// the child's line from it, and splitting that gives the executable path and
// then the same arguments as splitting the raw line. Odd mode: the units are
// arguments, each ended by a zero unit; append_argument quotes each after the
// executable path, and splitting gives them back.
//
// The line has a capacity of 32,768 units; an immediate stop is right only
// when the arguments, each doubled and quoted, could pass it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child/command_line.h"
#include "child/split_command_line.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

// A path that needs quoting, as many do.
const std::u16string executable = u"C:\\Program Files\\Fenzar App\\app.exe";

std::u16string raw_line;

const char16_t* get_raw_command_line() { return raw_line.c_str(); }

std::vector<std::u16string> split(const char16_t* line) {
    CommandLineArguments arguments = split_command_line(line);
    if (!arguments.valid()) property_failed("the splitter ran out of memory");
    std::vector<std::u16string> out;
    for (int i = 0; i < arguments.count; ++i) out.emplace_back(arguments.pointers[i]);
    if (arguments.pointers[arguments.count] != nullptr) property_failed("the argument list is not ended by null");
    return out;
}

std::string listed(const std::vector<std::u16string>& arguments) {
    std::string out;
    for (const std::u16string& argument : arguments) {
        out += '[';
        out += printable(argument);
        out += "] ";
    }
    return out;
}

// Whether quoting every argument, at worst doubling each unit and adding two
// quotes and a separator, could need more than the line's capacity.
bool could_pass_capacity(const std::vector<std::u16string>& arguments) {
    size_t most = executable.size() + 3;
    for (const std::u16string& argument : arguments) most += 2 * argument.size() + 3;
    return most > child_command_line_capacity;
}

void expect_same_arguments(const std::vector<std::u16string>& given, const std::u16string& line) {
    std::vector<std::u16string> back = split(line.c_str());
    if (back.empty() || back[0] != executable)
        property_failed("argument 0 is not the executable path", printable(line));
    std::vector<std::u16string> expected = {executable};
    expected.insert(expected.end(), given.begin(), given.end());
    if (back != expected) {
        property_failed("the arguments do not come back",
                        "given:  " + listed(expected) + "\nline:   " + printable(line) + "\nsplit:  " + listed(back));
    }
}

}  // namespace

}  // namespace fenzar

using namespace fenzar;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_process_ends_recoverable();
    platform::table.get_raw_command_line = get_raw_command_line;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool argument_list = data[0] % 2 == 1;
    std::vector<std::u16string> given;
    size_t offset = 1;
    if (argument_list) {
        while (offset < size) given.push_back(next_units(data, size, &offset));
    } else {
        raw_line = next_units(data, size, &offset);
        given = split(raw_line.c_str());
        given.erase(given.begin());
    }
    auto child_command_line = std::make_unique<ChildCommandLine>();
    try {
        if (argument_list) {
            append_argument(*child_command_line, executable.c_str());
            for (const std::u16string& argument : given) {
                append_wide_char_bounded(*child_command_line, u' ');
                append_argument(*child_command_line, argument.c_str());
            }
        } else {
            build_child_command_line(*child_command_line, executable.c_str());
        }
    } catch (const ImmediateStop&) {
        if (!could_pass_capacity(given)) property_failed("a stop for a line that fits", listed(given));
        return 0;
    } catch (const ProcessExit& exit) {
        property_failed("building the line exited", std::to_string(exit.status));
    }
    expect_same_arguments(given, child_command_line->data());
    return 0;
}
