// The lane kernels built for SSE2: 4 lanes.
#define KORVAX_LANES_WIDTH 4
#define KORVAX_LANES_KERNEL_SET Sse2Kernels
#include "lanes/korvaxlanes_kernels.inc"
