// Expansion of path templates with placeholders such as {TEMP} and {PID}.
#pragma once

#include <cstdint>

#include "base/arguments.h"

namespace fenzar {

// Expands template_text into output (capacity + 1 units). Returns false for an
// unknown placeholder, a literal that does not fit, a folder that cannot be
// found or a failed nested {PROGRAM}; other limit violations stop the process.
// May publish FENZAR_ONEFILE_RANDOM, FENZAR_ONEFILE_TIME_US and
// FENZAR_ONEFILE_START. The output is terminated at every moment.
//
// A "}" outside a placeholder is a literal. A name longer than 1023 units
// matches no placeholder: its closing "}" fails the expansion, and nothing is
// stored past the name buffer. {PROGRAM} and the placeholders made from it
// read argument 0 of arguments; without one they are an immediate stop.
bool expand_spec(char16_t* output, const char16_t* template_text, uint64_t capacity, const SavedArguments& arguments);

// The eight bytes of eight xorshift32 steps from seed (0 counts as 1).
void make_random_bytes(uint32_t seed, uint8_t bytes[8]);
// Those bytes in unpadded base64url: 11 characters and a terminator.
void make_random_token(uint32_t seed, char16_t token[12]);

}  // namespace fenzar
