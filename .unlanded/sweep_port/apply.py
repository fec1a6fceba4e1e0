# Applies the sweep onto the structure layout (run after taking main's side of the conflicted files).
import re, shutil
R = '/work/wt/sweep/'
def edit(path, old, new, count=1):
    s = open(R + path).read()
    assert old in s, (path, old[:60])
    s = s.replace(old, new, count)
    open(R + path, 'w').write(s)

# Layer order and dependencies.
edit('CMakeLists.txt', 'foreach(layer platform base payload target_dir unpack removal child launcher)',
     'foreach(layer platform base payload target_dir unpack removal child sweep launcher)')
open(R + 'src/sweep/CMakeLists.txt', 'w').write(
    'fenzar_layer(sweep SOURCES sweep_rules.cpp sweep.cpp DEPENDS fenzar_child fenzar_removal fenzar_target_dir)\n')
edit('src/launcher/CMakeLists.txt', 'DEPENDS fenzar_child fenzar_unpack fenzar_removal fenzar_target_dir)',
     'DEPENDS fenzar_child fenzar_unpack fenzar_removal fenzar_target_dir fenzar_sweep)')
for name in ('sweep.h', 'sweep.cpp'):
    shutil.copy('/tmp/sweep_port/' + name, R + 'src/sweep/' + name)
shutil.copy('/tmp/sweep_port/sweep_test.cpp', R + 'tests/unit/sweep_test.cpp')

# The abandonable removal.
edit('src/removal/tree_removal.h', '''void remove_directory_tree(TreeRemoval& removal, const char16_t* directory);''',
'''void remove_directory_tree(TreeRemoval& removal, const char16_t* directory);

// Asked before every entry of a removal that may be left half done.
struct AbandonCheck {
    bool (*requested)(const void* context) = nullptr;
    const void* context = nullptr;
};
// One attempt at the same removal, without retries, that leaves off before
// the next entry once abandon is requested; what is left stays. For removing
// the trees of dead launchers beside the running application.
void remove_directory_tree_once(TreeRemoval& removal, const char16_t* directory, AbandonCheck abandon);''')
edit('src/removal/tree_removal.cpp', '''void remove_tree_once(TreeRemoval& removal, size_t root_length) {''',
'''// Closes the listings of every level still open.
void leave_levels(TreeRemoval& removal, size_t depth) {
    while (depth > 0) platform::close_directory_listing(removal.levels[--depth].listing);
}

void remove_tree_once(TreeRemoval& removal, size_t root_length, AbandonCheck abandon = {}) {''')
edit('src/removal/tree_removal.cpp', '''    while (depth > 0) {
        TreeRemoval::Level& level = removal.levels[depth - 1];''', '''    while (depth > 0) {
        if (abandon.requested != nullptr && abandon.requested(abandon.context)) {
            leave_levels(removal, depth);
            return;
        }
        TreeRemoval::Level& level = removal.levels[depth - 1];''')
s = open(R + 'src/removal/tree_removal.cpp').read()
s = s.rstrip('\n') + '''

void remove_directory_tree_once(TreeRemoval& removal, const char16_t* directory, AbandonCheck abandon) {
    std::lock_guard<std::mutex> guard(removal.lock);
    size_t root_length = make_removal_root(removal, directory);
    if (root_length == 0) return;
    remove_tree_once(removal, root_length, abandon);
}
'''
open(R + 'src/removal/tree_removal.cpp', 'w').write(s)

# The hook beside the wait.
edit('src/child/launch.h', '''// Starts the launcher's own executable''', '''// Work that runs beside the wait for the child: begun once the child has
// started, ended as soon as the wait has returned (before the target
// directory is removed, and whether or not an interruption has begun).
struct BesideWait {
    // Returns what end is handed.
    void* (*begin)(const void* context) = nullptr;
    void (*end)(void* begun) = nullptr;
    const void* context = nullptr;
};

// Starts the launcher's own executable''')
edit('src/child/launch.h', '''                             ChildCommandLine& child_command_line);''',
     '''                             ChildCommandLine& child_command_line, BesideWait beside = {});''')
edit('src/child/launch.cpp', '''                             ChildCommandLine& child_command_line) {''',
     '''                             ChildCommandLine& child_command_line, BesideWait beside) {''')
edit('src/child/launch.cpp', '''    uint32_t exit_status = wait_for_child_exit_status(child, interruption);
''', '''    void* begun = beside.begin != nullptr ? beside.begin(beside.context) : nullptr;
    uint32_t exit_status = wait_for_child_exit_status(child, interruption);
    if (beside.end != nullptr) beside.end(begun);
''')
edit('src/launcher/launcher_main.cpp', '#include "platform/platform.h"\n', '#include "platform/platform.h"\n#include "sweep/sweep.h"\n')
edit('src/launcher/launcher_main.cpp', '''    int32_t exit_status =
        start_child_and_wait(run.child, run.interruption, run.own_paths.module_file_name.data(), run.child_command_line);''',
'''    SweepRequest sweep{run.target_directory.data(), &run.interruption};
    int32_t exit_status = start_child_and_wait(run.child, run.interruption, run.own_paths.module_file_name.data(),
                                               run.child_command_line, sweep_beside_wait(sweep));''')
print('applied')
