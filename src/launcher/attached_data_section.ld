/* Added to the default linker script for the launcher template: the attached
   data's section goes last but for the relocations, so that the packer can
   grow it without moving any section the code refers to. */
SECTIONS
{
  .fzdata BLOCK(__section_alignment__) : { KEEP (*(.fzdata)) }
}
INSERT BEFORE .reloc;
