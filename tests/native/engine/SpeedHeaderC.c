/* The kit's speed header compiled as C99 with pedantic errors, its answers handed to the C++
 * tests, which hold them against the C++ compilation: the same code must judge alike in both. */
#include "velomix_speed.h"

int VelomixEnvelopeFromC(int32_t tempo, int32_t rate, int32_t pitch) {
    return velomix_in_speed_envelope(tempo, rate, pitch);
}

int32_t VelomixHundredthsFromC(double factor) {
    return velomix_factor_hundredths(factor);
}
