// The lane kernels built for AVX512: 16 lanes.
#define KORVAX_LANES_WIDTH 16
#define KORVAX_LANES_KERNEL_SET Avx512Kernels
#include "lanes/korvaxlanes_kernels.inc"
