// The scale table, degree ratios and the reference pitch; see scale.h.
//
// Degrees may be any int and entries anything a user typed (0, negative,
// infinite), so the degree arithmetic is done in a wider type and every
// exponent is clamped before it is taken.
#include "tuning/scale.h"

#include "midi/channel.h"
#include "retune/degrees.h"

#include <cmath>
#include <cstdlib>

namespace {

struct TuningState {
    ScaleTable table;        // the current scale; count 0 and all entries 0.0 at start
    double reference_hz;     // frequency of the 1/1 in Hz, any value but 0 once set; 0.0 = not yet set
} state;

constexpr double DEFAULT_NOTE = 60.0;      // middle C: the 1/1 until a reference pitch is set
constexpr double HARMONIC_TOLERANCE = 1e-5; // entry 0 further than this from 1 means harmonic mode
constexpr double EXPONENT_LIMIT = 308.0;   // e^308 is still a finite double
constexpr double SMALLEST_PERIOD = 1e-50;  // periods below this (0, negative) count as this
constexpr int PRETUNED_DEGREES = 49;       // set_scale pre-tunes -49..49

double clamp_exponent(double y)
{
    if (y < -EXPONENT_LIMIT)
        return -EXPONENT_LIMIT;
    if (y > EXPONENT_LIMIT)
        return EXPONENT_LIMIT;
    return y;  // NaN stays NaN
}

// The 1/1 derived from the default note: 440 Hz is MIDI note 69.
double derived_reference_pitch()
{
    return 440.0 * std::exp(clamp_exponent(std::log(2.0) * (DEFAULT_NOTE - 69.0) / 12.0));
}

}  // namespace

const ScaleTable& scale_table() { return state.table; }

double reference_pitch() { return state.reference_hz; }

const char* scale_text() { return kept_scale_text(); }

int scale_size() { return state.table.count; }

int scale_is_set() { return state.table.scale_is_set; }

void tuning_reset() { state = TuningState(); }

void set_reference_pitch(double frequency_hz)
{
    // NaN would otherwise be stored and make every frequency NaN; it means
    // "no usable pitch" as 0 does.
    if (frequency_hz != 0.0 && !std::isnan(frequency_hz))
        state.reference_hz = frequency_hz;
    else
        state.reference_hz = derived_reference_pitch();
}

void set_scale(const char* text)
{
    if (state.reference_hz == 0.0)
        state.reference_hz = derived_reference_pitch();

    ScaleTable& table = state.table;
    table.count = 2;
    table.entries[0] = 1.0;
    table.entries[1] = std::pow(2.0, 1.0 / 12.0);
    table.scale_is_set = 1;
    if (text == nullptr || text[0] == '\0')
        return;

    parse_scale_text(table.entries, &table.count, text);
    // The bends the channels carry belong to the old scale: let the channel
    // choice hand them out afresh.
    for (int channel = 0; channel < channel_count(); ++channel)
        channel_state(channel).bend = UNKNOWN_BEND;
    // Pre-tune outward from the 1/1, so that the degrees most likely to be
    // played first get channels of their own before the channels run out.
    for (int i = 0; i <= PRETUNED_DEGREES; ++i) {
        prepare_degree_avoid_newest(i);
        if (i > 0)
            prepare_degree_avoid_newest(-i);
    }
}

double degree_ratio(const double* entries, int count, int degree)
{
    if (count <= 0 || entries == nullptr)
        return 1.0;
    // A degree is widened before any arithmetic: -INT_MIN and |INT_MIN| do
    // not fit an int.
    const long long d = degree;
    const double first = entries[0];
    if (std::fabs(first - 1.0) > HARMONIC_TOLERANCE) {
        if (d == 0)
            return 1.0;
        double r = static_cast<double>(d < 0 ? -d : d) * (first - 1.0) + 1.0;
        return d > 0 ? r : 1.0 / r;
    }
    if (count == 1)
        return 1.0;

    const long long n = count - 1;  // steps per period
    const double period = entries[count - 1];
    long long k;  // whole periods, may lie below INT_MIN for d = INT_MIN and n = 1
    long long i;  // 0..n - 1 for d >= 0, 1..n for d < 0
    if (d >= 0) {
        k = d / n;
        i = d % n;
    } else {
        k = d / n - 1;
        i = n - ((-d) % n);
    }
    if (k == 0)
        return entries[i];
    double y = static_cast<double>(k) * std::log(period < SMALLEST_PERIOD ? SMALLEST_PERIOD : period);
    return entries[i] * std::exp(clamp_exponent(y));
}

double current_degree_ratio(int degree) { return degree_ratio(state.table.entries, state.table.count, degree); }
