// What the processor can run. The wheel is built for any x86-64; the few
// kernels that have a wider form choose it at run time through this.
#pragma once

namespace tarvelo::cpu {

// Whether the processor runs AVX2 instructions (false off x86), asked once.
bool has_avx2();

}  // namespace tarvelo::cpu
