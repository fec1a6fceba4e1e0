#include "launcher/run_mode.h"

#include <utility>

#include "base/environment.h"
#include "base/report.h"
#include "platform/platform.h"

namespace fenzar {

namespace {

// Processes that may stand between an instance and the one the variable
// names, this instance's real parent included: the instance a parent starts,
// then an instance that its application starts from the launcher's file, and
// so on. A bound, so that the proof stays a few system calls.
constexpr int longest_parent_chain = 4;

enum class Proof {
    proven,
    // Another process, a reused id, a foreign image, a lower elevation: a
    // parent-mode start.
    not_proven,
    // The process exists but cannot be examined.
    unexaminable,
};

// A process of the chain: the one whose real parent is checked next.
struct Link {
    platform::OwnedProcess process;
    uint64_t creation_time;
};

// Whether the process that has the id is the real parent of the link: it
// existed when the link was created (so it holds the id the system recorded
// then; a younger one got the id after the parent ended) and runs the same
// image, elevated when this instance is. Equal creation times pass: the
// system's clock may give a parent and the child it starts at once the same
// time, and an id is not free for another process before its parent has
// ended, which is after the child's creation.
Proof prove_parent(OwnPaths& own_paths, uint32_t parent_id, bool elevated, Link* link, uint32_t* error) {
    platform::OwnedProcess parent(platform::open_process_for_query(parent_id));
    if (!parent.valid()) {
        *error = platform::last_error();
        return *error == platform::error_invalid_parameter ? Proof::not_proven : Proof::unexaminable;
    }
    Proof proof = Proof::unexaminable;
    uint64_t creation_time = 0;
    bool parent_elevated = false;
    if (!platform::get_process_creation_time(parent.get(), &creation_time) ||
        (elevated && !platform::get_process_elevation(parent.get(), &parent_elevated))) {
        *error = platform::last_error();
    } else if (creation_time > link->creation_time || (elevated && !parent_elevated)) {
        proof = Proof::not_proven;
    } else {
        switch (runs_same_executable(own_paths, parent.get(), error)) {
            case SameExecutable::yes:
                proof = Proof::proven;
                break;
            case SameExecutable::no:
                proof = Proof::not_proven;
                break;
            case SameExecutable::unknown:
                break;
        }
    }
    if (proof != Proof::proven) return proof;
    link->process = std::move(parent);
    link->creation_time = creation_time;
    return proof;
}

// Neither mode is safe: as a parent it would unpack and start a child that
// meets the same wall, one after another.
[[noreturn]] void fail_to_examine(uint32_t error) { fail_with_system_error(message::examine_parent_failed, error); }

}  // namespace

// The proof comes from the system, not from the environment, which any
// program of the user can set for all the user's new processes: a chain of
// real parents, each created no later than its child and running this
// executable, ends at the named process. An elevated instance takes only
// elevated links, since a genuine elevated child has an elevated parent.
RunMode detect_run_mode(OwnPaths& own_paths, bool* started_by_named) {
    if (started_by_named != nullptr) *started_by_named = false;
    int32_t named_id = 0;
    {
        EnvironmentCopy value = get_environment_copy(variable::parent);
        if (!value.valid() || !parse_decimal_strict(value.get(), &named_id)) return RunMode::parent;
    }

    Link link = {platform::OwnedProcess(platform::own_process()), 0};
    uint32_t parent_id = 0;
    bool elevated = false;
    // Without its own facts no instance can prove anything, its children
    // neither: parent mode would start them one after another.
    if (!platform::get_process_creation_time(link.process.get(), &link.creation_time) ||
        !platform::get_parent_process_id(link.process.get(), &parent_id) ||
        !platform::get_process_elevation(link.process.get(), &elevated)) {
        fail_to_examine(platform::last_error());
    }
    RunMode mode = RunMode::parent;
    for (int links = 0; links < longest_parent_chain; ++links) {
        bool named = parent_id == static_cast<uint32_t>(named_id);
        uint32_t error = 0;
        Proof proof = prove_parent(own_paths, parent_id, elevated, &link, &error);
        // Only where the named process is this instance's real parent does
        // its failure repeat in every child started as a parent.
        if (proof == Proof::unexaminable && named && links == 0) fail_to_examine(error);
        if (proof != Proof::proven) break;
        if (named) {
            mode = RunMode::reentered;
            if (started_by_named != nullptr) *started_by_named = links == 0;
            break;
        }
        if (!platform::get_parent_process_id(link.process.get(), &parent_id)) break;
    }
    return mode;
}

void prepare_parent_environment() {
    unset_environment_value(variable::start);
    unset_environment_value(variable::time_us);
    unset_environment_value(variable::random);
    // Set again only once this run has chosen a cache directory: a value
    // anyone else set never reaches the child.
    unset_environment_value(variable::cache_files);
    set_environment_number(variable::parent, static_cast<int32_t>(platform::current_process_id()));
}

}  // namespace fenzar
