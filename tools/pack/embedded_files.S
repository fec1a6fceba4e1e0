// The contents of embedded.h, included by the assembler. The build names the
// files in FENZAR_EMBED_TEMPLATE, FENZAR_EMBED_MANIFEST and FENZAR_EMBED_ICON.
#define EMBED(name, path) \
	.balign 16; \
	.globl name##_start; \
name##_start: \
	.incbin path; \
	.globl name##_end; \
name##_end:

	.section .rodata
EMBED(fenzar_embedded_template, FENZAR_EMBED_TEMPLATE)
EMBED(fenzar_embedded_manifest, FENZAR_EMBED_MANIFEST)
EMBED(fenzar_embedded_icon, FENZAR_EMBED_ICON)

#if defined(__ELF__)
	.section .note.GNU-stack, "", %progbits
#endif
