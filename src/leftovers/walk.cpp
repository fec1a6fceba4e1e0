#include "leftovers/walk.h"

#include "base/wide.h"

namespace fenzar {

namespace {

using LeftoverPath = WideBuffer<leftover_folder_capacity + 1 + leftover_name_capacity>;

bool join(LeftoverPath& path, const char16_t* folder, const char16_t* name) {
    if (wide_length(folder) > leftover_folder_capacity || wide_length(name) > leftover_name_capacity) return false;
    copy_wide_bounded(path, folder);
    append_wide_char_bounded(path, u'\\');
    append_wide_bounded(path, name);
    return true;
}

bool asked_to_stop(const AbandonCheck& stop) { return stop.is_set() && stop(); }

struct Walk {
    Walk(const char16_t* folder, const LeftoverShapes& shapes, const WalkLimits& limits, AbandonCheck outer,
         TreeRemoval& removal)
        : folder(folder), shapes(shapes), limits(limits), outer(outer), removal(removal) {}

    const char16_t* folder;
    const LeftoverShapes& shapes;
    const WalkLimits& limits;
    AbandonCheck outer;
    TreeRemoval& removal;
    ProcessSnapshot processes;
    OwnerStamp claimer;
    uint64_t now = 0;
    uint64_t deadline = 0;
    WalkTally tally;

    bool stopped() const { return asked_to_stop(outer) || platform::system_time_as_file_time() > deadline; }
    bool exhausted() const { return tally.removed >= limits.removals || tally.examined >= limits.examinations; }
};

bool walk_should_stop(void* context) { return static_cast<const Walk*>(context)->stopped(); }

// Calls visit(entry, name) for every candidate of one listing of the folder
// until visit returns false or the walk is stopped.
template <typename Visit>
void for_each_candidate(Walk& walk, Visit visit) {
    platform::DirectoryEntry entry;
    bool has_entry = false;
    platform::OwnedListing listing(platform::open_directory_listing(walk.folder, &entry, &has_entry));
    if (!listing.valid()) return;
    for (; has_entry && !walk.stopped(); has_entry = platform::next_directory_entry(listing.get(), &entry)) {
        LeftoverName name;
        if (!is_dead_leftover(walk.shapes, entry, walk.processes, walk.now, &name)) continue;
        if (!visit(entry, name)) break;
    }
}

// A random point to begin at: the counter's low bits and the process id.
uint32_t random_start(uint32_t candidates) {
    int64_t counter = 0;
    platform::query_performance_counter(&counter);
    uint64_t mixed = static_cast<uint64_t>(counter) * 0x9E3779B97F4A7C15ull ^ platform::current_process_id();
    return static_cast<uint32_t>((mixed >> 32) % candidates);
}

}  // namespace

bool is_dead_leftover(const LeftoverShapes& shapes, const platform::DirectoryEntry& entry,
                      const ProcessSnapshot& processes, uint64_t now, LeftoverName* name) {
    *name = shapes.read(entry.name);
    if (name->proof == OwnerProof::none) return false;
    if (shapes.directories_only && !is_plain_directory(entry.attributes)) return false;
    if (!is_old_enough(entry.creation_time, now, shapes.minimum_age)) return false;
    return is_owner_dead(*name, processes.find(name->owner.process_id), entry.creation_time);
}

void remove_claimed(const char16_t* tombstone, uint32_t listed_attributes, TreeRemoval& removal, AbandonCheck stop) {
    uint32_t attributes = platform::get_file_attributes(tombstone);
    if (attributes == platform::invalid_file_attributes) return;
    // A link when it was listed or is one now: the rename moved the entry
    // itself, never what it points to.
    if ((listed_attributes & platform::file_attribute_reparse_point) != 0) attributes = listed_attributes;
    bool is_directory = (attributes & platform::file_attribute_directory) != 0;
    if ((attributes & platform::file_attribute_reparse_point) != 0) {
        if (is_directory) {
            platform::remove_directory(tombstone);
        } else {
            platform::delete_file(tombstone);
        }
    } else if (is_directory) {
        remove_directory_tree_once(removal, tombstone, stop);
    } else {
        platform::delete_file(tombstone);
    }
}

bool claim_and_remove(const char16_t* folder, const platform::DirectoryEntry& entry, const LeftoverName& name,
                      const LeftoverShapes& shapes, const OwnerStamp& claimer, TreeRemoval& removal,
                      AbandonCheck stop) {
    if (!claimer.valid()) return false;
    LeftoverPath path;
    if (!join(path, folder, entry.name)) return false;
    if (is_plain_directory(entry.attributes)) {
        platform::DirectoryOwner owner = {};
        if (!platform::query_directory_owner(path.data(), &owner) || !may_remove_owned(owner)) return false;
    }
    char16_t tombstone_name[leftover_name_capacity + 1] = {};
    LeftoverPath tombstone;
    if (!shapes.name_tombstone(entry.name, name, claimer, tombstone_name) || !join(tombstone, folder, tombstone_name) ||
        !platform::rename_without_replacing(path.data(), tombstone.data())) {
        return false;
    }
    remove_claimed(tombstone.data(), entry.attributes, removal, stop);
    return true;
}

WalkTally remove_dead_leftovers(const char16_t* folder, const LeftoverShapes& shapes, const WalkLimits& limits,
                                AbandonCheck stop, TreeRemoval& removal) {
    Walk walk(folder, shapes, limits, stop, removal);
    walk.now = platform::system_time_as_file_time();
    walk.deadline = walk.now + limits.duration;
    walk.claimer = own_stamp();
    if (!walk.claimer.valid() || wide_length(folder) > leftover_folder_capacity || walk.stopped()) return walk.tally;
    walk.processes.take();

    for_each_candidate(walk, [&](const platform::DirectoryEntry&, const LeftoverName&) {
        ++walk.tally.candidates;
        return true;
    });
    uint32_t candidates = walk.tally.candidates;
    if (candidates == 0 || limits.examinations == 0 || limits.removals == 0) return walk.tally;
    uint32_t start = candidates <= limits.examinations ? 0 : random_start(candidates);

    AbandonCheck removal_stop{walk_should_stop, &walk};
    auto examine = [&](const platform::DirectoryEntry& entry, const LeftoverName& name) {
        ++walk.tally.examined;
        if (claim_and_remove(folder, entry, name, shapes, walk.claimer, removal, removal_stop)) ++walk.tally.removed;
        return !walk.exhausted();
    };
    uint32_t index = 0;
    for_each_candidate(walk, [&](const platform::DirectoryEntry& entry, const LeftoverName& name) {
        return index++ < start || examine(entry, name);
    });
    if (start == 0 || walk.exhausted()) return walk.tally;
    index = 0;
    for_each_candidate(walk, [&](const platform::DirectoryEntry& entry, const LeftoverName& name) {
        return index++ < start && examine(entry, name);
    });
    return walk.tally;
}

}  // namespace fenzar
