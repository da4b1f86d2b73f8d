// The report, the verdict and the JSON results; see report.h. The runs of
// keys and a channel's range figures are worked out here too, from the
// measured points (results.h).
#include "hearing/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// A signed figure, or "-" when not measured.
std::string figure(double value, int decimals)
{
    return std::isnan(value) ? std::string("-") : text_format("%+.*f", decimals, value);
}

std::string note_name(int key)
{
    static const char* const names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return text_format("%s%d", names[key % 12], key / 12 - 1);
}

// The largest and the median size of the measured values.
struct Spread {
    double worst;    // NaN when none was measured
    double typical;  // median of the sizes
    int count;
};

Spread spread_of(std::vector<double> values)
{
    std::vector<double> sizes;
    double worst = std::nan("");
    for (double v : values) {
        if (std::isnan(v))
            continue;
        sizes.push_back(std::fabs(v));
        if (std::isnan(worst) || std::fabs(v) > std::fabs(worst))
            worst = v;
    }
    std::sort(sizes.begin(), sizes.end());
    double typical = std::nan("");
    if (!sizes.empty()) {
        size_t middle = sizes.size() / 2;
        typical = sizes.size() % 2 ? sizes[middle] : 0.5 * (sizes[middle - 1] + sizes[middle]);
    }
    return Spread{worst, typical, static_cast<int>(sizes.size())};
}

std::vector<double> tuning_errors(const MeasureResults& results)
{
    std::vector<double> errors;
    for (const TuningNote& t : results.tunings)
        errors.push_back(t.cents);
    return errors;
}

// The channels' unbent offsets against their median: a channel detuned on
// its own stands out.
constexpr double kDetunedCents = 1.0;

double median_zero_bend(const MeasureResults& results)
{
    std::vector<double> values;
    for (const ChannelBend& c : results.channels) {
        if (!std::isnan(c.cents_at_zero_bend))
            values.push_back(c.cents_at_zero_bend);
    }
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

bool detuned(const ChannelBend& c, double median)
{
    return std::fabs(c.cents_at_zero_bend - median) > kDetunedCents;
}

// "0-15" style lists of channel numbers.
std::string channel_list(const std::vector<int>& channels)
{
    std::string text;
    for (size_t i = 0; i < channels.size();) {
        size_t j = i;
        while (j + 1 < channels.size() && channels[j + 1] == channels[j] + 1 + (channels[j] + 1 == 9 ? 1 : 0))
            ++j;
        if (!text.empty())
            text += ", ";
        text += j > i ? text_format("%d-%d", channels[i], channels[j]) : text_format("%d", channels[i]);
        i = j + 1;
    }
    return text;
}

// A channel whose range was measured and is not the one asked.
bool disobeys(const ChannelBend& c)
{
    return !c.obeys_range_message && !std::isnan(c.bend_up_semitones) && !std::isnan(c.bend_down_semitones);
}

std::vector<int> disobeying(const MeasureResults& results)
{
    std::vector<int> channels;
    for (const ChannelBend& c : results.channels) {
        if (disobeys(c))
            channels.push_back(c.channel);
    }
    return channels;
}

// The first channel that disobeys, for the range it uses.
const ChannelBend* typical_disobeying(const MeasureResults& results)
{
    for (const ChannelBend& c : results.channels) {
        if (disobeys(c))
            return &c;
    }
    return nullptr;
}

std::string json_number(double value, int decimals)
{
    return std::isnan(value) || std::isinf(value) ? std::string("null") : text_format("%.*f", decimals, value);
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += text_format("\\%c", c);
        else if (c < 0x20)
            out += text_format("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

}  // namespace

std::string text_format(const char* pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    int n = std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

void complete_channel(ChannelBend* c)
{
    const double* s = c->shift_semitones;
    const int last = BEND_POINTS - 1;
    c->bend_up_semitones = s[last] * 8192.0 / BEND_OFFSETS[last];
    c->bend_down_semitones = s[0] * 8192.0 / BEND_OFFSETS[0];
    c->linearity_cents = 0.0;
    for (int i = 1; i < last; ++i) {
        double t = static_cast<double>(BEND_OFFSETS[i] - BEND_OFFSETS[0]) / (BEND_OFFSETS[last] - BEND_OFFSETS[0]);
        double line = s[0] + t * (s[last] - s[0]);
        double distance = 100.0 * std::fabs(s[i] - line);
        if (std::isnan(distance) || distance > c->linearity_cents)
            c->linearity_cents = distance;  // NaN, once in, stays: not measured
    }
    c->obeys_range_message = std::fabs(c->bend_up_semitones - ASKED_BEND_RANGE) <= BEND_RANGE_TOLERANCE &&
                             std::fabs(c->bend_down_semitones - ASKED_BEND_RANGE) <= BEND_RANGE_TOLERANCE;
}

std::string verdict(const MeasureResults& results)
{
    Spread error = spread_of(tuning_errors(results));
    if (error.count == 0)
        return "could not measure Varenta's tunings on this synthesizer";
    std::string text;
    if (const ChannelBend* c = typical_disobeying(results)) {
        std::vector<int> channels = disobeying(results);
        text = text_format("ignores the 2-semitone pitch-bend range on %s of %d channels (bends +%.2f/-%.2f semitones), "
                      "so Varenta's tunings land up to %.1f cents off",
                      channels.size() == results.channels.size() ? "all" : text_format("%d", static_cast<int>(channels.size())).c_str(),
                      static_cast<int>(results.channels.size()), c->bend_up_semitones, c->bend_down_semitones,
                      std::fabs(error.worst));
    } else {
        text = text_format("plays Varenta's tunings within %.1f cents", std::fabs(error.worst));
    }
    const double median = median_zero_bend(results);
    std::vector<int> off;
    for (const ChannelBend& c : results.channels) {
        if (detuned(c, median))
            off.push_back(c.channel);
    }
    if (off.size() == 1) {
        for (const ChannelBend& c : results.channels) {
            if (c.channel == off[0])
                text += text_format("; channel %d is detuned by %+.1f cents", c.channel, c.cents_at_zero_bend - median);
        }
    } else if (!off.empty()) {
        text += text_format("; channels %s are detuned against the others", channel_list(off).c_str());
    }
    return text;
}

std::string report_text(const MeasureResults& r)
{
    std::string t;
    t += text_format("\nVarenta measured %s from %s, voice %d %s, at %.0f Hz, in %.0f s.\n", r.device.c_str(),
                r.source.c_str(), r.program, r.voice.c_str(), r.sample_rate, r.seconds);
    if (r.corrections == "shipped" || r.corrections == "cached")
        t += text_format("Its key corrections were in use (%s): %d keys of %s corrected.\n",
                         r.corrections == "shipped" ? "shipped with Varenta for this SoundFont"
                                                    : "worked out by an earlier start, from the cache",
                         r.corrected_keys, r.voice.c_str());
    else if (r.corrections == "none")
        t += "It had no key corrections yet (its first start works them out): every key played as the SoundFont "
             "states it.\n";

    t += "\n1. The route\n";
    t += text_format("  Sound arrives %.1f ms after the note-on, at %.1f dB re full scale.\n", r.latency_ms, r.level_db);

    t += text_format("\n2. The unbent tuning: channel 0, cents against equal temperament at A = 440 Hz\n");
    t += "  key  note    cents\n";
    for (const KeyOffset& k : r.keys)
        t += text_format("  %3d  %-4s  %7s\n", k.key, note_name(k.key).c_str(), figure(k.cents, 2).c_str());
    std::vector<double> offsets;
    for (const KeyOffset& k : r.keys)
        offsets.push_back(k.cents);
    Spread keys = spread_of(offsets);
    t += text_format("  Worst %s cents, typical %.2f.\n", figure(keys.worst, 2).c_str(), keys.typical);
    std::vector<KeyRun> runs = key_runs(r.keys);
    t += text_format("  %d runs of keys sharing an offset (within %.1f cent) ", static_cast<int>(runs.size()),
                KEY_RUN_TOLERANCE);
    t += "(the sample key ranges, as far as every third key shows):\n";
    for (const KeyRun& run : runs)
        t += text_format("    keys %3d-%-3d %s cents\n", run.first_key, run.last_key, figure(run.cents, 2).c_str());

    t += text_format("\n3. The pitch-bend range on every melodic channel: key %d, shifts in semitones\n", r.reference_key);
    t += "   ch  unbent c     -8192    -4096    +4096    +8191   up      down    linear c  obeys\n";
    for (const ChannelBend& c : r.channels) {
        t += text_format("  %3d  %8s  ", c.channel, figure(c.cents_at_zero_bend, 2).c_str());
        for (int i = 0; i < BEND_POINTS; ++i) {
            if (BEND_OFFSETS[i] != 0)
                t += text_format("%8s ", figure(c.shift_semitones[i], 3).c_str());
        }
        t += text_format(" %6.3f  %6.3f  %7s   %s\n", c.bend_up_semitones, c.bend_down_semitones,
                         std::isnan(c.linearity_cents) ? "-" : text_format("%.2f", c.linearity_cents).c_str(),
                         c.obeys_range_message ? "yes" : disobeys(c) ? "NO" : "-");
    }
    std::vector<int> bad = disobeying(r);
    if (const ChannelBend* c = typical_disobeying(r)) {
        t += text_format("  Channel%s %s did not obey the message asking for +-2 semitones: the synthesizer bends "
                    "+%.3f/-%.3f semitones, %.2f times the range asked, so every retuned note is off by that "
                    "factor. The pitch-bend range test (\"test\" at any prompt) makes it heard.\n",
                    bad.size() > 1 ? "s" : "", channel_list(bad).c_str(), c->bend_up_semitones,
                    c->bend_down_semitones, c->bend_up_semitones / ASKED_BEND_RANGE);
    } else if (!r.channels.empty()) {
        t += text_format("  Every channel obeys the +-2 semitone range (within %.2f semitones).\n", BEND_RANGE_TOLERANCE);
    }
    const double median = median_zero_bend(r);
    for (const ChannelBend& c : r.channels) {
        if (detuned(c, median))
            t += text_format("  Channel %d is detuned by %+.2f cents against the others.\n", c.channel,
                        c.cents_at_zero_bend - median);
    }

    if (r.pitch_step_cents > 0.0)
        t += text_format("  Pitches go in whole-cent steps: bent up from the unbent key, the first step comes at "
                         "%.2f cents.\n", r.step_at_cents);
    else if (r.pitch_step_cents == 0.0)
        t += "  Pitches follow the bend smoothly, in no whole-cent steps.\n";

    t += "\n4. Varenta's tunings, each note against the pitch asked\n";
    t += "  test         asked Hz   measured Hz    cents   ch  key   bend\n";
    for (const TuningNote& n : r.tunings)
        t += text_format("  %-10s %10.3f  %12.3f  %7s  %3d  %3d  %5d\n", n.test.c_str(), n.asked_hz, n.measured_hz,
                    figure(n.cents, 2).c_str(), n.channel, n.midi_note, n.bend);
    Spread error = spread_of(tuning_errors(r));
    t += text_format("  Worst %s cents, typical %.2f.\n", figure(error.worst, 2).c_str(), error.typical);

    t += "\n5. The tuning messages\n";
    t += r.obeys_mts == 1   ? (r.mts_needs_program == 1 ? "  MIDI Tuning Standard: a key retuned +30 c by a Single Note "
                                                           "Tuning Change sounds so once tuning program 0 is selected.\n"
                                                         : "  MIDI Tuning Standard: a key retuned +30 c by a Single Note "
                                                           "Tuning Change sounds so.\n")
         : r.obeys_mts == 0 ? "  MIDI Tuning Standard: a Single Note Tuning Change leaves the key as it was.\n"
                            : "  MIDI Tuning Standard: not found out.\n";
    t += r.obeys_mpe == 1   ? "  MPE: the Configuration Message alone gives a member channel its 48-semitone bend range.\n"
         : r.obeys_mpe == 0 ? "  MPE: the Configuration Message leaves a member channel's bend range as it was.\n"
                            : "  MPE: not found out.\n";

    t += text_format("\nVerdict: %s.\n", verdict(r).c_str());
    return t;
}

std::string report_json(const MeasureResults& r)
{
    std::string j = "{\n";
    j += text_format("  \"device\": %s,\n  \"source\": %s,\n", json_string(r.device).c_str(), json_string(r.source).c_str());
    j += text_format("  \"voice\": %s,\n  \"program\": %d,\n", json_string(r.voice).c_str(), r.program);
    if (!r.corrections.empty())
        j += text_format("  \"corrections\": %s,\n  \"corrected_keys\": %d,\n", json_string(r.corrections).c_str(),
                         r.corrected_keys);
    j += text_format("  \"sample_rate\": %s,\n  \"seconds\": %s,\n", json_number(r.sample_rate, 0).c_str(),
                json_number(r.seconds, 1).c_str());
    j += text_format("  \"latency_ms\": %s,\n  \"level_db\": %s,\n", json_number(r.latency_ms, 2).c_str(),
                json_number(r.level_db, 2).c_str());
    j += "  \"keys\": [";
    for (size_t i = 0; i < r.keys.size(); ++i)
        j += text_format("%s\n    {\"key\": %d, \"cents\": %s}", i ? "," : "", r.keys[i].key,
                    json_number(r.keys[i].cents, 4).c_str());
    j += "\n  ],\n  \"key_runs\": [";
    std::vector<KeyRun> runs = key_runs(r.keys);
    for (size_t i = 0; i < runs.size(); ++i)
        j += text_format("%s\n    {\"first_key\": %d, \"last_key\": %d, \"cents\": %s}", i ? "," : "", runs[i].first_key,
                    runs[i].last_key, json_number(runs[i].cents, 4).c_str());
    j += text_format("\n  ],\n  \"bend_key\": %d,\n  \"bend_values\": [", r.reference_key);
    for (int i = 0; i < BEND_POINTS; ++i)
        j += text_format("%s%d", i ? ", " : "", 8192 + BEND_OFFSETS[i]);
    j += "],\n  \"channels\": [";
    for (size_t i = 0; i < r.channels.size(); ++i) {
        const ChannelBend& c = r.channels[i];
        j += text_format("%s\n    {\"channel\": %d, \"cents_at_zero_bend\": %s, \"bend_up_semitones\": %s, "
                    "\"bend_down_semitones\": %s, \"linearity_cents\": %s, \"obeys_range_message\": %s, "
                    "\"shifts_semitones\": [",
                    i ? "," : "", c.channel, json_number(c.cents_at_zero_bend, 4).c_str(),
                    json_number(c.bend_up_semitones, 5).c_str(), json_number(c.bend_down_semitones, 5).c_str(),
                    json_number(c.linearity_cents, 3).c_str(), c.obeys_range_message ? "true" : "false");
        for (int p = 0; p < BEND_POINTS; ++p)
            j += text_format("%s%s", p ? ", " : "", json_number(c.shift_semitones[p], 5).c_str());
        j += "]}";
    }
    j += "\n  ],\n  \"tunings\": [";
    for (size_t i = 0; i < r.tunings.size(); ++i) {
        const TuningNote& n = r.tunings[i];
        j += text_format("%s\n    {\"test\": %s, \"asked_hz\": %s, \"measured_hz\": %s, \"cents\": %s, \"channel\": %d, "
                    "\"key\": %d, \"bend\": %d}",
                    i ? "," : "", json_string(n.test).c_str(), json_number(n.asked_hz, 4).c_str(),
                    json_number(n.measured_hz, 4).c_str(), json_number(n.cents, 4).c_str(), n.channel, n.midi_note,
                    n.bend);
    }
    auto tristate = [](int value) { return value < 0 ? "null" : value ? "true" : "false"; };
    j += text_format("\n  ],\n  \"obeys_mts\": %s,\n  \"mts_needs_program\": %s,\n  \"obeys_mpe\": %s,",
                     tristate(r.obeys_mts), tristate(r.mts_needs_program), tristate(r.obeys_mpe));
    j += text_format("\n  \"verdict\": %s\n}\n", json_string(verdict(r)).c_str());
    return j;
}
