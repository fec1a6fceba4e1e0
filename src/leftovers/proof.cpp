#include "leftovers/proof.h"

#include <algorithm>
#include <utility>

namespace fenzar {

bool is_owner_dead(const LeftoverName& name, const ProcessFact& process, uint64_t entry_created) {
    if (name.proof == OwnerProof::none) return false;
    switch (process.state) {
        case ProcessFact::absent:
        case ProcessFact::ended:
            return true;
        case ProcessFact::unknown:
            return false;
        case ProcessFact::running:
            break;
    }
    switch (name.proof) {
        case OwnerProof::exact:
            return process.created != name.owner.created;
        case OwnerProof::made_entry:
            return process.created > entry_created;
        case OwnerProof::id_only:
        case OwnerProof::none:
            return false;
    }
    return false;
}

bool is_old_enough(uint64_t created, uint64_t now, uint64_t minimum_age) {
    return created <= now && now - created >= minimum_age;
}

bool is_plain_directory(uint32_t attributes) {
    return (attributes & platform::file_attribute_directory) != 0 &&
           (attributes & platform::file_attribute_reparse_point) == 0;
}

bool may_remove_owned(const platform::DirectoryOwner& owner) {
    if (owner.elevated) return owner.owner_is_default_owner && !owner.default_owner_is_user;
    return owner.owner_is_user;
}

bool ProcessSnapshot::take() {
    entries_.reset();
    count_ = 0;
    listed_ = false;
    // Room for a busy machine at once; more when the list says so.
    uint32_t capacity = 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto entries = platform::allocate_elements<platform::ProcessTimes>(capacity);
        // Without memory each lookup asks the system, as without a list.
        if (!entries.valid()) return false;
        uint32_t count = 0;
        if (platform::list_processes(entries.get(), capacity, &count)) {
            std::sort(entries.get(), entries.get() + count,
                      [](const platform::ProcessTimes& a, const platform::ProcessTimes& b) {
                          return a.process_id < b.process_id;
                      });
            entries_ = std::move(entries);
            count_ = count;
            listed_ = true;
            return true;
        }
        if (count <= capacity) return false;
        capacity = count + 256;
    }
    return false;
}

ProcessFact ProcessSnapshot::find(uint32_t process_id) const {
    if (!listed_) {
        uint64_t created = 0;
        switch (platform::query_process_state(process_id, &created)) {
            case platform::ProcessState::none:
                return {ProcessFact::absent, 0};
            case platform::ProcessState::ended:
                return {ProcessFact::ended, 0};
            case platform::ProcessState::running:
                return {ProcessFact::running, created};
            case platform::ProcessState::unknown:
                return {ProcessFact::unknown, 0};
        }
        return {ProcessFact::unknown, 0};
    }
    const platform::ProcessTimes* begin = entries_.get();
    const platform::ProcessTimes* end = begin + count_;
    const platform::ProcessTimes* found = std::lower_bound(
        begin, end, process_id, [](const platform::ProcessTimes& entry, uint32_t id) { return entry.process_id < id; });
    if (found == end || found->process_id != process_id) return {ProcessFact::absent, 0};
    if (found->ended) return {ProcessFact::ended, 0};
    return {ProcessFact::running, found->creation_time};
}

}  // namespace fenzar
