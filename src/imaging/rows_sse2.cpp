// SSE2 rows, the least an x86-64 processor has and all a 32-bit build may
// assume: every kernel, with word shuffles and masks where the later levels
// shuffle bytes.
#include "imaging/Sse2Traits.h"
#include "imaging/VectorKernels.h"

namespace telvor::imaging::sse2 {
TELVOR_DEFINE_VECTOR_ROWS(Sse2)
}  // namespace telvor::imaging::sse2
