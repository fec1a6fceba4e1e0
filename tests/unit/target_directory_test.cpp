// The target directory's full-path step.
#include "target_dir/target_directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "platform_override.h"

namespace fenzar {

namespace {

uint32_t full_path_length;

uint32_t fake_full_path(const char16_t*, uint32_t size, char16_t* out) {
    if (full_path_length < size) {
        for (uint32_t i = 0; i < full_path_length; ++i) out[i] = u'p';
        out[full_path_length] = 0;
    }
    return full_path_length;
}

TEST(TargetDirectory, FullPathOf4095IsAcceptedAnd4096Stops) {
    PlatformOverride platform;
    platform.table().get_full_path_name = fake_full_path;
    full_path_length = 4095;
    TargetDirectory target_directory;
    EXPECT_TRUE(resolve_target_directory(target_directory, SavedArguments{}));
    EXPECT_EQ(wide_length(target_directory.data()), 4095u);
    for (uint32_t length : {0u, 4096u, 4097u}) {
        full_path_length = length;
        EXPECT_IMMEDIATE_STOP(resolve_target_directory(target_directory, SavedArguments{}));
    }
}

// The environment and folders of a parent and of the child it starts.
std::map<std::u16string, std::u16string> environment;
uint32_t process_id;

uint32_t fake_get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    auto found = environment.find(name);
    if (found == environment.end() || found->second.empty()) return 0;
    if (found->second.size() >= size) return static_cast<uint32_t>(found->second.size() + 1);
    std::memcpy(buffer, found->second.c_str(), (found->second.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(found->second.size());
}

bool fake_set_environment_variable(const char16_t* name, const char16_t* value) {
    environment[name] = value;
    return true;
}

int32_t fake_get_folder_path(int csidl, char16_t* out) {
    const char16_t* folder =
        csidl == platform::folder_local_app_data ? u"C:\\Users\\me\\AppData\\Local\\" : u"C:\\Users\\me";
    std::memcpy(out, folder, (std::char_traits<char16_t>::length(folder) + 1) * sizeof(char16_t));
    return 0;
}

uint32_t fake_current_process_id() { return process_id; }

uint32_t same_full_path(const char16_t* path, uint32_t size, char16_t* out) {
    uint32_t length = static_cast<uint32_t>(std::char_traits<char16_t>::length(path));
    if (length < size) std::memcpy(out, path, (length + 1) * sizeof(char16_t));
    return length;
}

std::u16string spec_for(const char16_t* base) {
    TargetSpec spec;
    make_target_spec(spec, base);
    return spec.data();
}

TEST(TargetDirectory, WithoutABaseTheTemplateIsTheBuiltInOne) {
    EXPECT_EQ(spec_for(u""), built_in_target_spec);
    EXPECT_EQ(spec_for(u"{TEMP}"), built_in_target_spec);
    EXPECT_EQ(spec_for(u"D:\\Apps"), u"D:\\Apps\\onefile_{PID}_{TIME_US}_{RANDOM}");
    // The longest base the settings carry fits.
    std::u16string longest = u"D:\\" + std::u16string(1021, u'a');
    EXPECT_EQ(spec_for(longest.c_str()), longest + u"\\onefile_{PID}_{TIME_US}_{RANDOM}");
}

// The child computes its directory from the values the parent left in the
// environment: with a base, both find the same directory, below the base,
// named as the sweep recognises a launcher's directory.
TEST(TargetDirectory, ParentAndChildComputeTheSameDirectoryBelowTheBase) {
    PlatformOverride platform;
    platform.table().get_environment_variable = fake_get_environment_variable;
    platform.table().set_environment_variable = fake_set_environment_variable;
    platform.table().get_folder_path = fake_get_folder_path;
    platform.table().current_process_id = fake_current_process_id;
    platform.table().get_full_path_name = same_full_path;
    environment = {{u"FENZAR_ONEFILE_PARENT", u"4242"}};
    TargetSpec spec;
    make_target_spec(spec, u"{CACHE_DIR}\\Vendor\\App");

    process_id = 4242;
    TargetDirectory parent;
    ASSERT_TRUE(resolve_target_directory(parent, SavedArguments{}, spec.data()));
    process_id = 4250;
    TargetDirectory child;
    ASSERT_TRUE(resolve_target_directory(child, SavedArguments{}, spec.data()));
    EXPECT_EQ(std::u16string(child.data()), std::u16string(parent.data()));

    const std::u16string base = u"C:\\Users\\me\\AppData\\Local\\Vendor\\App\\";
    std::u16string directory = parent.data();
    ASSERT_EQ(directory.substr(0, base.size()), base);
    std::u16string name = directory.substr(base.size());
    ASSERT_EQ(name.substr(0, 8), u"onefile_");
    uint32_t named_id = 0;
    EXPECT_TRUE(read_launcher_name_part(name.c_str() + 8, &named_id));
    EXPECT_EQ(named_id, 4242u);
    environment.clear();
}

}  // namespace

}  // namespace fenzar
