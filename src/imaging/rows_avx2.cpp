// AVX2 rows: 256-bit registers, two 128-bit lanes.
#include "imaging/Avx2Traits.h"
#include "imaging/VectorKernels.h"

namespace telvor::imaging::avx2 {
TELVOR_DEFINE_VECTOR_ROWS(Avx2)
}  // namespace telvor::imaging::avx2
