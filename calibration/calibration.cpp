// A calibration and its file; see calibration.h.
#include "calibration/calibration.h"

#include "midi/channel.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace {

// Fields in the order written, so that the file reads top down.
using json = nlohmann::ordered_json;

constexpr int kLastProgram = 127;
constexpr int kLastKey = 127;

// Rounds to what the file keeps (a thousandth of a cent is far below what
// anyone hears or any synthesizer resolves), so that it reads as written.
double kept(double value, double scale)
{
    const double rounded = std::round(value * scale) / scale;
    return rounded == 0.0 ? 0.0 : rounded;  // never "-0.0"
}

// A field of an object, refused unless present and of the kind asked.
struct Fault {
    std::string reason;
};

const json& field(const json& object, const char* name)
{
    auto found = object.find(name);
    if (found == object.end())
        throw Fault{std::string("no \"") + name + "\""};
    return *found;
}

int whole(const json& object, const char* name, int low, int high)
{
    const json& value = field(object, name);
    if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high)
        throw Fault{std::string("\"") + name + "\" is not a whole number " + std::to_string(low) + ".." +
                    std::to_string(high)};
    return value.get<int>();
}

double number(const json& object, const char* name)
{
    const json& value = field(object, name);
    if (!value.is_number() || !std::isfinite(value.get<double>()))
        throw Fault{std::string("\"") + name + "\" is not a number"};
    return value.get<double>();
}

std::string text(const json& object, const char* name)
{
    const json& value = field(object, name);
    if (!value.is_string())
        throw Fault{std::string("\"") + name + "\" is not a text"};
    return value.get<std::string>();
}

bool yes_or_no(const json& object, const char* name)
{
    const json& value = field(object, name);
    if (!value.is_boolean())
        throw Fault{std::string("\"") + name + "\" is not true or false"};
    return value.get<bool>();
}

const json& list(const json& object, const char* name)
{
    const json& value = field(object, name);
    if (!value.is_array())
        throw Fault{std::string("\"") + name + "\" is not a list"};
    return value;
}

double offset(const json& object, const char* name, const std::string& whose)
{
    const double cents = number(object, name);
    if (std::fabs(cents) > CALIBRATION_MAX_OFFSET_CENTS) {
        char phrase[160];
        std::snprintf(phrase, sizeof phrase, "%s is %+.1f c off, beyond +-%.0f c", whose.c_str(), cents,
                      CALIBRATION_MAX_OFFSET_CENTS);
        throw Fault{phrase};
    }
    return cents;
}

double range(const json& object, const char* name, int channel)
{
    const double semitones = number(object, name);
    if (!(semitones > 0.0))
        throw Fault{"channel " + std::to_string(channel) + "'s bend range is 0 or below"};
    return semitones;
}

Calibration parse(const json& root, const char* device)
{
    if (!root.is_object())
        throw Fault{"not a calibration"};
    const json& version = field(root, "varenta_calibration");
    if (!version.is_number_integer() || version.get<long long>() != CALIBRATION_VERSION)
        throw Fault{"version " + version.dump() + ", not " + std::to_string(CALIBRATION_VERSION)};
    Calibration c;
    c.device = text(root, "device");
    if (device != nullptr && c.device != device)
        throw Fault{"made for another device, \"" + c.device + "\""};
    c.date = text(root, "date");
    c.pitch_step_cents = number(root, "pitch_step_cents");
    if (c.pitch_step_cents < 0.0 || c.pitch_step_cents > CALIBRATION_MAX_OFFSET_CENTS)
        throw Fault{"a pitch step of " + std::to_string(c.pitch_step_cents) + " c"};
    c.centre_cents = number(root, "centre_cents");
    if (std::fabs(c.centre_cents) > CALIBRATION_MAX_CENTRE_CENTS)
        throw Fault{"a centring beyond +-1 c"};
    c.obeys_mts = yes_or_no(root, "obeys_mts");
    c.mts_needs_program = yes_or_no(root, "mts_needs_program");
    c.obeys_mpe = yes_or_no(root, "obeys_mpe");
    for (const json& v : list(root, "voices")) {
        CalibrationVoice voice;
        voice.program = whole(v, "program", 0, kLastProgram);
        voice.name = text(v, "name");
        int next_key = 0;
        for (const json& r : list(v, "key_runs")) {
            KeyRun run;
            run.first_key = whole(r, "first_key", next_key, kLastKey);
            run.last_key = whole(r, "last_key", run.first_key, kLastKey);
            run.cents = offset(r, "cents", "a key of program " + std::to_string(voice.program));
            next_key = run.last_key + 1;
            voice.runs.push_back(run);
        }
        for (const CalibrationVoice& earlier : c.voices) {
            if (earlier.program == voice.program)
                throw Fault{"program " + std::to_string(voice.program) + " twice"};
        }
        c.voices.push_back(voice);
    }
    for (const json& ch : list(root, "channels")) {
        CalibrationChannel channel;
        channel.channel = whole(ch, "channel", 0, MAX_CHANNELS - 1);
        if (channel.channel == PERCUSSION_CHANNEL)
            throw Fault{"channel 9 is the percussion channel"};
        for (const CalibrationChannel& earlier : c.channels) {
            if (earlier.channel == channel.channel)
                throw Fault{"channel " + std::to_string(channel.channel) + " twice"};
        }
        channel.bend_up_semitones = range(ch, "bend_up_semitones", channel.channel);
        channel.bend_down_semitones = range(ch, "bend_down_semitones", channel.channel);
        channel.offset_cents = offset(ch, "offset_cents", "channel " + std::to_string(channel.channel));
        c.channels.push_back(channel);
    }
    if (c.channels.empty())
        throw Fault{"no channels"};
    return c;
}

}  // namespace

std::vector<KeyRun> key_runs(const std::vector<KeyOffset>& keys)
{
    std::vector<KeyRun> runs;
    size_t first = 0;
    while (first < keys.size()) {
        if (std::isnan(keys[first].cents)) {
            ++first;
            continue;
        }
        size_t last = first;
        double sum = keys[first].cents;
        while (last + 1 < keys.size() && !std::isnan(keys[last + 1].cents) &&
               std::fabs(keys[last + 1].cents - keys[first].cents) <= KEY_RUN_TOLERANCE) {
            ++last;
            sum += keys[last].cents;
        }
        runs.push_back(KeyRun{keys[first].key, keys[last].key, sum / static_cast<double>(last - first + 1)});
        first = last + 1;
    }
    return runs;
}

std::string calibration_json(const Calibration& calibration)
{
    json voices = json::array();
    for (const CalibrationVoice& v : calibration.voices) {
        json runs = json::array();
        for (const KeyRun& r : v.runs)
            runs.push_back({{"first_key", r.first_key}, {"last_key", r.last_key}, {"cents", kept(r.cents, 1e3)}});
        voices.push_back({{"program", v.program}, {"name", v.name}, {"key_runs", runs}});
    }
    json channels = json::array();
    for (const CalibrationChannel& c : calibration.channels) {
        channels.push_back({{"channel", c.channel},
                            {"bend_up_semitones", kept(c.bend_up_semitones, 1e5)},
                            {"bend_down_semitones", kept(c.bend_down_semitones, 1e5)},
                            {"offset_cents", kept(c.offset_cents, 1e3)}});
    }
    json root = {{"varenta_calibration", CALIBRATION_VERSION},
                 {"device", calibration.device},
                 {"date", calibration.date},
                 {"pitch_step_cents", kept(calibration.pitch_step_cents, 1e3)},
                 {"centre_cents", kept(calibration.centre_cents, 1e3)},
                 {"obeys_mts", calibration.obeys_mts},
                 {"mts_needs_program", calibration.mts_needs_program},
                 {"obeys_mpe", calibration.obeys_mpe},
                 {"voices", voices},
                 {"channels", channels}};
    return root.dump(2) + "\n";
}

bool calibration_from_json(const std::string& text, const char* device, Calibration* calibration,
                           std::string* reason)
{
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        *reason = "not readable JSON";
        return false;
    }
    try {
        *calibration = parse(root, device);
        return true;
    } catch (const Fault& fault) {
        *reason = fault.reason;
        return false;
    }
}

std::string calibration_summary(const Calibration& calibration)
{
    char phrase[256];
    std::string summary;
    if (!calibration.channels.empty()) {
        double up_low = calibration.channels[0].bend_up_semitones, up_high = up_low;
        double down_low = calibration.channels[0].bend_down_semitones, down_high = down_low;
        double detuned = 0.0;
        for (const CalibrationChannel& c : calibration.channels) {
            up_low = std::fmin(up_low, c.bend_up_semitones);
            up_high = std::fmax(up_high, c.bend_up_semitones);
            down_low = std::fmin(down_low, c.bend_down_semitones);
            down_high = std::fmax(down_high, c.bend_down_semitones);
            if (std::fabs(c.offset_cents) > std::fabs(detuned))
                detuned = c.offset_cents;
        }
        // Ranges that print alike are given once; channels that differ as a span.
        auto span = [](double low, double high) {
            char both[48];
            if (std::round(low * 100.0) == std::round(high * 100.0))
                std::snprintf(both, sizeof both, "%.2f", low);
            else
                std::snprintf(both, sizeof both, "%.2f..%.2f", low, high);
            return std::string(both);
        };
        summary = "bend range +" + span(up_low, up_high) + "/-" + span(down_low, down_high);
        if (std::fabs(detuned) >= 0.05) {
            std::snprintf(phrase, sizeof phrase, ", channels up to %+.1f c apart", detuned);
            summary += phrase;
        }
    }
    if (!calibration.voices.empty()) {
        summary += summary.empty() ? "keys of " : ", keys of ";
        constexpr size_t kNamed = 3;  // more voices are counted, not named
        for (size_t i = 0; i < calibration.voices.size() && i < kNamed; ++i)
            summary += (i == 0 ? "" : ", ") + calibration.voices[i].name;
        if (calibration.voices.size() > kNamed) {
            std::snprintf(phrase, sizeof phrase, " and %d more voices", static_cast<int>(calibration.voices.size() - kNamed));
            summary += phrase;
        }
        std::snprintf(phrase, sizeof phrase, " within %.1f c of their measure", KEY_RUN_TOLERANCE);
        summary += phrase;
    }
    if (calibration.pitch_step_cents > 0.0) {
        std::snprintf(phrase, sizeof phrase, ", its %g-cent steps centred", calibration.pitch_step_cents);
        summary += phrase;
    }
    return summary;
}
