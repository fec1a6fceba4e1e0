// Removing a directory tree: the target directory after the child has ended,
// after a failure and on an interruption; the trees of dead launchers.
#pragma once

#include <cstddef>
#include <mutex>

#include "base/callback.h"
#include "platform/platform.h"

namespace fenzar {

// The root's path, in its extended-length form, and the names of the
// directories the removal is in below it share one buffer of the longest
// extended-length path (32,767 units). The removal itself opens every entry
// relative to its opened parent, so paths of any length are removed.
inline constexpr size_t removal_path_capacity = 32767;
// Every level below the root adds a backslash and at least one unit.
inline constexpr size_t removal_depth_limit = removal_path_capacity / 2;

// The working memory of removals, used only under its lock: a second caller
// waits until the first has finished, then finds the directory gone. Kept
// with the run rather than on a stack, so that the console handler's thread,
// which has a small stack, needs none of it.
struct TreeRemoval {
    // A directory the removal is in, open for listing.
    struct Level {
        platform::DirectoryHandle directory;
        // As its parent listed it: what may be deleted once it is empty.
        platform::EntryFacts facts;
        // Its name in path: from name_start up to name_end.
        size_t name_start;
        size_t name_end;
    };

    std::mutex lock;
    char16_t path[removal_path_capacity + 1];
    Level levels[removal_depth_limit];
    platform::RemovalEntry listed;
};

// Removes the tree at directory, a full path below a root (also in its
// extended-length form), retrying 20 times 100 ms apart while the directory
// is still there. Every directory is opened relative to its opened parent
// without following links and entered only when it is the plain directory
// its parent listed (same file id); every entry is deleted relative to its
// parent and only when it is still what was listed. A link, also one put in
// place of a directory during the removal, is removed as the link or left
// alone; what it points to is never touched.
// Anything else (an empty or relative path, the root of a drive or share, a
// device or extended-length form) is left alone.
void remove_directory_tree(TreeRemoval& removal, const char16_t* directory);

// Asked before every entry of a removal that may be left half done: true
// to leave off. None by default.
using AbandonCheck = Callback<bool()>;
// One attempt at the same removal, without retries, that leaves off before
// the next entry once abandon is requested; what is left stays. For removing
// the trees of dead launchers beside the running application.
void remove_directory_tree_once(TreeRemoval& removal, const char16_t* directory, AbandonCheck abandon);

}  // namespace fenzar
