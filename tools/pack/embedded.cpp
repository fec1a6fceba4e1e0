#include "embedded.h"

extern "C" const unsigned char fenzar_embedded_template_start[], fenzar_embedded_template_end[];
extern "C" const unsigned char fenzar_embedded_manifest_start[], fenzar_embedded_manifest_end[];
extern "C" const unsigned char fenzar_embedded_icon_start[], fenzar_embedded_icon_end[];

namespace fenzar::pack::embedded {

std::span<const unsigned char> launcher_template() {
    return {fenzar_embedded_template_start, fenzar_embedded_template_end};
}

std::span<const unsigned char> manifest() { return {fenzar_embedded_manifest_start, fenzar_embedded_manifest_end}; }

std::span<const unsigned char> icon() { return {fenzar_embedded_icon_start, fenzar_embedded_icon_end}; }

}  // namespace fenzar::pack::embedded
