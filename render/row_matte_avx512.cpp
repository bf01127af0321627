// The vector matte for AVX-512 (8 lanes: eight doubles fill a register).
#define QUALVEX_LANES 8
#define QUALVEX_KERNEL_NAME kAvx512
#include "render/row_matte_kernel.inc"
