#pragma once

// Timestamps of one chunk's way from the device to the sequencer, for the end-to-end benchmark.
// Compiled in only with -DTESSARYN_STAGE_TIMES=ON; otherwise every mark is nothing.
namespace tessaryn::stages {

enum Stage { readReturned, parsed, handedOver, kCount };

#ifdef TESSARYN_STAGE_TIMES
// Records the monotonic clock for the next chunk at this stage. The marks are written to the
// file named by $TESSARYN_STAGE_TIMES when the program ends.
void mark(Stage stage);
#else
inline void mark(Stage) {}
#endif

}  // namespace tessaryn::stages
