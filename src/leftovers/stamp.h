// Who made or claimed a leftover. A process id alone names a process only
// while it lives, and Windows reuses ids at once; with the process's
// creation time it names one process for good, so a name that carries both
// tells when its maker has gone even if the id is in use again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenzar {

struct OwnerStamp {
    uint32_t process_id = 0;
    // In the units of system_time_as_file_time.
    uint64_t created = 0;

    bool valid() const { return process_id != 0 && created != 0; }
};

// This process's stamp; invalid when the system does not tell its creation
// time, and then nothing may be named after it.
OwnerStamp own_stamp();

// The text form: PID "_" CREATED, both decimal without leading zeros, from 1.
inline constexpr size_t stamp_text_capacity = 10 + 1 + 20;

// Appends the text form to destination (capacity units, bounded).
void append_stamp(char16_t* destination, const OwnerStamp& stamp, size_t capacity);
// Reads a text form at text; the number of units read (the rest of text
// may follow), 0 when there is none.
size_t read_stamp(const char16_t* text, OwnerStamp* stamp);

}  // namespace fenzar
