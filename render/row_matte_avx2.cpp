// The vector matte for AVX2 (4 lanes: four doubles fill a register); compiled with -mavx2 alone: no fused multiply-add.
#define QUALVEX_LANES 4
#define QUALVEX_KERNEL_NAME kAvx2
#include "render/row_matte_kernel.inc"
