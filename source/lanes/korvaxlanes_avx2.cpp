// The lane kernels built for AVX2: 4, 8 and 12 lanes, the last in a register
// of 8 and one of 4.
#define KORVAX_LANES_SHAPE_SMALL 4
#define KORVAX_LANES_SHAPE_MIDDLE 8
#define KORVAX_LANES_SHAPE_LARGE 8, 4
#define KORVAX_LANES_KERNEL_SET Avx2Kernels
#include "lanes/korvaxlanes_kernels.inc"
