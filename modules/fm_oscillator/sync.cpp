// Hard sync: every rising edge of Sync restarts the four operators. The call
// is cut into stretches at the edges; each stretch is one call of the current
// algorithm routine (m_sub_process).
#include "fm_oscillator.h"
#include "pitch.h"

namespace fm_oscillator {

template <int Kind>
void Module::SyncScan(int bufferOffset, int sampleFrames) {
    const float* sync = m_sync + bufferOffset;
    const float factor = m_linear_factor;  // read once per call (linear kind)
    float prev = m_last_sync;
    int start = 0;
    for (int i = 0; i < sampleFrames; ++i) {
        const float cur = sync[i];
        if (!(prev > 0.0f) && cur > 0.0f) {
            if (i > start) (this->*m_sub_process)(bufferOffset + start, i - start);
            double phase = 0.0;
            if constexpr (Kind != SYNC_RESET) {
                // The fraction of a sample between the interpolated zero crossing and
                // the edge sample, times the root increment at the edge.
                const double fraction = static_cast<double>(cur) / (static_cast<double>(cur) - prev);
                const float root = m_root_pitch[bufferOffset + i];
                const double inc = Kind == SYNC_OCTAVE ? OctIncrementNearest(root)
                                                       : static_cast<double>(root) * factor;
                phase = inc * fraction;
            }
            for (double& p : m_phase) p = phase;
            start = i;
        }
        prev = cur;
    }
    m_last_sync = prev;
    if (sampleFrames > start) (this->*m_sub_process)(bufferOffset + start, sampleFrames - start);
}

void Module::ProcessSyncReset(int bufferOffset, int sampleFrames) {
    SyncScan<SYNC_RESET>(bufferOffset, sampleFrames);
}

void Module::ProcessSyncOctave(int bufferOffset, int sampleFrames) {
    SyncScan<SYNC_OCTAVE>(bufferOffset, sampleFrames);
}

void Module::ProcessSyncLinear(int bufferOffset, int sampleFrames) {
    SyncScan<SYNC_LINEAR>(bufferOffset, sampleFrames);
}

}  // namespace fm_oscillator
