// Which instruction set the finishing steps' whole-frame loops run on: the baseline processor's,
// or AVX2 (without fused multiply-add) where the processor has it. Both give every value the same
// bits; AVX2 only runs the same operations on more values at once.
#pragma once

namespace qualvex::finish {

enum class FinishIsa { Baseline, Avx2 };

bool FinishIsaAvailable(FinishIsa isa);
// The widest this processor runs; QUALVEX_FINISH_ISA=baseline in the environment asks for the
// baseline (to measure or compare them).
FinishIsa ChosenFinishIsa();

}  // namespace qualvex::finish
