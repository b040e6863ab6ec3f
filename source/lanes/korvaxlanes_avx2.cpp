// The lane kernels built for AVX2: 8 lanes.
#define KORVAX_LANES_WIDTH 8
#define KORVAX_LANES_KERNEL_SET Avx2Kernels
#include "lanes/korvaxlanes_kernels.inc"
