#include "leftovers/stamp.h"

#include "base/wide.h"
#include "platform/platform.h"

namespace fenzar {

OwnerStamp own_stamp() { return {platform::current_process_id(), platform::own_creation_time()}; }

void append_stamp(char16_t* destination, const OwnerStamp& stamp, size_t capacity) {
    append_decimal_bounded(destination, stamp.process_id, capacity);
    append_wide_char_bounded(destination, u'_', capacity);
    append_decimal_bounded(destination, stamp.created, capacity);
}

size_t read_stamp(const char16_t* text, OwnerStamp* stamp) {
    uint64_t id = 0;
    uint64_t created = 0;
    size_t id_length = read_decimal(text, UINT32_MAX, &id);
    if (id_length == 0 || id == 0 || text[id_length] != u'_') return 0;
    size_t created_length = read_decimal(text + id_length + 1, UINT64_MAX, &created);
    if (created_length == 0 || created == 0) return 0;
    *stamp = {static_cast<uint32_t>(id), created};
    return id_length + 1 + created_length;
}

}  // namespace fenzar
