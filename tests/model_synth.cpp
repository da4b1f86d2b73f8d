// The synthesizer model; see model_synth.h.
#include "model_synth.h"

#include <cmath>

void ModelSynth::apply(const std::vector<FakeMessage>& log, size_t first)
{
    for (size_t i = first; i < log.size(); ++i) {
        const FakeMessage& m = log[i];
        Channel& ch = channels_[m.channel & 31];
        switch (m.status) {
        case 0xE0:
            ch.bend = m.data1 + 128 * m.data2;
            ++ch.bend_messages;
            break;
        case 0xB0:
            if (m.data1 == 101)
                ch.rpn_high = m.data2;
            else if (m.data1 == 100)
                ch.rpn_low = m.data2;
            else if (m.data1 == 6 && ch.rpn_high == 0 && ch.rpn_low == 0)
                ch.range_semitones = m.data2;
            break;
        case 0x90: {
            // Kept even at velocity 0 (which a synth takes as a note-off): the
            // tests want every note the program started.
            HeardNote heard;
            heard.on_ms = m.time_ms;
            heard.off_ms = UINT32_MAX;
            heard.on_index = i;
            heard.off_index = SIZE_MAX;
            heard.channel = m.channel;
            heard.note = m.data1;
            heard.velocity = m.data2;
            heard.bend = ch.bend;
            const double units = ch.bend - 8192;
            const double range = units >= 0 ? faults.range_up : faults.range_down;
            double semitones = m.data1 - 69 + units / 8192 * (range > 0.0 ? range : ch.range_semitones) +
                               (faults.key_cents[m.data1 & 127] + faults.channel_cents[m.channel & 31]) / 100.0;
            if (faults.whole_cents)
                semitones = (std::floor((semitones + 69) * 100.0 + 1e-9) - 6900.0) / 100.0;
            heard.frequency = 440.0 * std::pow(2.0, semitones / 12);
            notes_.push_back(heard);
            break;
        }
        case 0x80: {
            bool matched = false;
            for (HeardNote& n : notes_) {
                if (n.off_ms == UINT32_MAX && n.channel == m.channel && n.note == m.data1) {
                    n.off_ms = m.time_ms;
                    n.off_index = i;
                    matched = true;
                    break;
                }
            }
            if (!matched)
                ++unmatched_offs_;
            break;
        }
        default:
            break;
        }
    }
}

std::vector<HeardNote> ModelSynth::sounding() const
{
    std::vector<HeardNote> result;
    for (const HeardNote& n : notes_) {
        if (n.off_ms == UINT32_MAX)
            result.push_back(n);
    }
    return result;
}

double cents_between(double a_hz, double b_hz) { return 1200.0 * std::log2(b_hz / a_hz); }
