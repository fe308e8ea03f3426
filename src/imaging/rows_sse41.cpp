// SSSE3/SSE4.1 rows: SSE2's kernels with the byte shuffle where it saves steps.
#include "imaging/Sse41Traits.h"
#include "imaging/VectorKernels.h"

namespace telvor::imaging::sse41 {
TELVOR_DEFINE_VECTOR_ROWS(Sse41)
}  // namespace telvor::imaging::sse41
