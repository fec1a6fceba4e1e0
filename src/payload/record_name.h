// Which record names stay below the directory they are unpacked into and
// name a plain file there: the one rule that the launcher applies before it
// writes a record and the packer applies before it stores one.
#pragma once

#include <cstddef>

namespace fenzar {

// Why a record of this name must not be written, or null when it may. Refused:
// an empty name, an absolute one, a drive or any colon (a stream), a forward
// slash (the platform would take it as a separator that directory creation
// does not see), an empty component, a component of dots and spaces only ("."
// and "..", and the forms Windows trims to them), and a component that
// Windows opens as a device (see is_device_component).
const char* record_name_problem(const char16_t* name, size_t length);

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, CLOCK$, COM and LPT with a digit 0-9
// or a superscript 1, 2 or 3, in any ASCII case, also followed by spaces or
// an extension ("nul.txt", "COM1 .log").
bool is_device_component(const char16_t* component, size_t length);

}  // namespace fenzar
