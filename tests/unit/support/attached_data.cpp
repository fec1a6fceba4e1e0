// Empty attached data for unit tests that link the launcher flow but never
// read the image's own data. Being in an archive, it is only linked into a
// test that does not define fenzar_attached_data itself.
#include "payload/attached_data.h"

extern "C" const unsigned char fenzar_attached_data[1] = {0};
extern "C" const uint64_t fenzar_attached_data_length = 0;
