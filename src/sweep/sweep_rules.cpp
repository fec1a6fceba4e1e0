#include "sweep/sweep_rules.h"

#include "base/wide.h"
#include "target_dir/target_directory.h"

namespace fenzar {

namespace {

// The length of the prefix at text, or 0 when text does not start with it.
template <size_t N>
size_t match_prefix(const char16_t* text, const char16_t (&prefix)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) {
        if (text[i] != prefix[i]) return 0;
    }
    return N - 1;
}

LeftoverName read_tombstone(const char16_t* name, size_t prefix) {
    uint32_t launcher_id = 0;
    OwnerStamp stamp;
    if (size_t length = read_stamp(name + prefix, &stamp);
        length != 0 && name[prefix + length] == u'_' &&
        read_launcher_name_part(name + prefix + length + 1, &launcher_id)) {
        return {OwnerProof::exact, stamp, prefix + length + 1};
    }
    uint64_t sweeper = 0;
    size_t length = read_decimal(name + prefix, UINT32_MAX, &sweeper);
    if (length != 0 && sweeper != 0 && name[prefix + length] == u'_' &&
        read_launcher_name_part(name + prefix + length + 1, &launcher_id)) {
        return {OwnerProof::id_only, {static_cast<uint32_t>(sweeper), 0}, prefix + length + 1};
    }
    return {};
}

bool name_sweep_tombstone(const char16_t* name, const LeftoverName& facts, const OwnerStamp& claimer, char16_t* out) {
    out[0] = 0;
    append_wide_bounded(out, tombstone_name_prefix, leftover_name_capacity);
    append_stamp(out, claimer, leftover_name_capacity);
    append_wide_char_bounded(out, u'_', leftover_name_capacity);
    if (wide_length(out) + wide_length(name + facts.kept) > leftover_name_capacity) return false;
    append_wide_bounded(out, name + facts.kept, leftover_name_capacity);
    return true;
}

}  // namespace

LeftoverName read_sweep_name(const char16_t* name) {
    if (size_t prefix = match_prefix(name, tombstone_name_prefix); prefix != 0) return read_tombstone(name, prefix);
    size_t prefix = match_prefix(name, launcher_name_prefix);
    uint32_t launcher_id = 0;
    if (prefix == 0 || !read_launcher_name_part(name + prefix, &launcher_id)) return {};
    return {OwnerProof::made_entry, {launcher_id, 0}, prefix};
}

const LeftoverShapes sweep_shapes = {read_sweep_name, name_sweep_tombstone, leftover_minimum_age, true};

}  // namespace fenzar
