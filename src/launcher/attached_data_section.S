// The attached data's section of the launcher template: the length constant,
// the launch settings' size and the data, all written by the packer. Defined
// in assembler, so that no compiler sees the template's values and folds
// them into the reader.
//
// The template is linked for the windows subsystem, whose start-up
// (WinMainCRTStartup) is its entry point. The C runtime's object holds the
// console start-up (mainCRTStartup) beside it, which tells the runtime it
// runs a console program; the image-relative address recorded here lets the
// packer make a console launcher from the same template. Linked with
// -mconsole instead, the template differs in nothing but that entry point
// and the subsystem field.
#include "payload/data_section.h"

	.section FENZAR_DATA_SECTION_NAME, "dr"
	.p2align 4
	.org FENZAR_DATA_LENGTH_OFFSET
	.globl fenzar_attached_data_length
fenzar_attached_data_length:
	.quad 0
	.org FENZAR_DATA_CONSOLE_ENTRY_OFFSET
	.rva mainCRTStartup
	.org FENZAR_DATA_SETTINGS_SIZE_OFFSET
	.globl fenzar_launch_settings_size
fenzar_launch_settings_size:
	.long 0
	.org FENZAR_DATA_OFFSET
	.globl fenzar_attached_data
fenzar_attached_data:
