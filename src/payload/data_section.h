// Where a launcher image keeps its attached data: a read-only section of its
// own that the packer fills and sizes. The section opens with the data's
// length (64-bit little-endian), 8 bytes follow, and the data starts at
// offset 16. Plain macros, because the assembler file that defines the
// section in the launcher template reads them too.
//
// In the template, the first 4 of those 8 bytes hold the image-relative
// address of the C runtime's console-subsystem start-up, which the packer
// makes the entry point of a console launcher; in a launcher they are zero.
// The last 4 hold the size of the launch settings (32-bit little-endian,
// launch_settings.h) that follow the data's last byte: 0, and no settings,
// in the template and in every launcher made without --cache.
#pragma once

#define FENZAR_DATA_SECTION_NAME ".fzdata"
#define FENZAR_DATA_LENGTH_OFFSET 0
#define FENZAR_DATA_CONSOLE_ENTRY_OFFSET 8
#define FENZAR_DATA_SETTINGS_SIZE_OFFSET 12
#define FENZAR_DATA_OFFSET 16
