// The lane kernels built for SSE2: 4, 8 and 12 lanes in one, two and three
// registers.
#define KORVAX_LANES_SHAPE_SMALL 4
#define KORVAX_LANES_SHAPE_MIDDLE 4, 4
#define KORVAX_LANES_SHAPE_LARGE 4, 4, 4
#define KORVAX_LANES_KERNEL_SET Sse2Kernels
#include "lanes/korvaxlanes_kernels.inc"
