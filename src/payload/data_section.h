// Where a launcher image keeps its attached data: a read-only section of its
// own that the packer fills and sizes. The section opens with the data's
// length (64-bit little-endian), 8 zero bytes follow, and the data starts at
// offset 16. Plain macros, because the assembler file that defines the
// section in the launcher template reads them too.
#pragma once

#define FENZAR_DATA_SECTION_NAME ".fzdata"
#define FENZAR_DATA_LENGTH_OFFSET 0
#define FENZAR_DATA_OFFSET 16
