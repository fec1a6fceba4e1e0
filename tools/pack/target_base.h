// --target-base: the template of the folder a launcher makes its fresh
// directories in, in place of %TEMP% (src/target_dir/target_directory.h).
#pragma once

#include <string>
#include <string_view>

namespace fenzar::pack {

// Why the launcher could not use this base, or an empty string when it can.
// A base is one full path that every start of the launcher, and both of its
// processes, expand alike: it begins with {TEMP}, {HOME} or {CACHE_DIR}, a
// drive (C:\...) or a share (\\server\share), followed by folders that
// Windows can create. Refused besides: other placeholders (those that differ
// at every start, which would leave the sweep nothing to find, and the
// {PROGRAM} family, which the caller chooses), a placeholder after the
// start, a drive's or share's root alone, a trailing backslash, and more
// than 1024 UTF-16 units.
std::string target_base_problem(std::u16string_view base);

}  // namespace fenzar::pack
