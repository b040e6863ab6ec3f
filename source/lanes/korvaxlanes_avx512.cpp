// The lane kernels built for AVX-512: 4, 8 and 16 lanes.
#define KORVAX_LANES_SHAPE_SMALL 4
#define KORVAX_LANES_SHAPE_MIDDLE 8
#define KORVAX_LANES_SHAPE_LARGE 16
#define KORVAX_LANES_KERNEL_SET Avx512Kernels
#include "lanes/korvaxlanes_kernels.inc"
