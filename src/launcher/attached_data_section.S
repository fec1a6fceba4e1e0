// The attached data's section of the launcher template: the length constant
// and the data, both written by the packer. Defined in assembler, so that no
// compiler sees the template's length and folds it into the reader.
#include "payload/data_section.h"

	.section FENZAR_DATA_SECTION_NAME, "dr"
	.p2align 4
	.org FENZAR_DATA_LENGTH_OFFSET
	.globl fenzar_attached_data_length
fenzar_attached_data_length:
	.quad 0
	.org FENZAR_DATA_OFFSET
	.globl fenzar_attached_data
fenzar_attached_data:
