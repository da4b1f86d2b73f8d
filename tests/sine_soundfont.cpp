// The sine SoundFonts; see sine_soundfont.h.
//
// Layout (SoundFont 2.01): RIFF "sfbk" holding LIST "INFO" (ifil, isng,
// INAM), LIST "sdta" (smpl: 16-bit mono samples, each followed by 46 zero
// samples) and LIST "pdta" (phdr, pbag, pmod, pgen, inst, ibag, imod, igen,
// shdr, each list closed by its terminal record).
#include "sine_soundfont.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kZeroPadding = 46;  // zero samples the format requires after each sample
constexpr double kAmplitude = 16000.0;
constexpr uint32_t kUnloopedSeconds = 2;

// Generator operators used here.
constexpr uint16_t kGenEndLoopOffset = 3;
constexpr uint16_t kGenVibLfoToPitch = 6;
constexpr uint16_t kGenReleaseVolEnv = 38;
constexpr uint16_t kGenInstrument = 41;
constexpr uint16_t kGenKeyRange = 43;
constexpr uint16_t kGenVelocityRange = 44;
constexpr uint16_t kGenCoarseTune = 51;
constexpr uint16_t kGenFineTune = 52;
constexpr uint16_t kGenSampleId = 53;
constexpr uint16_t kGenSampleModes = 54;
constexpr uint16_t kGenScaleTuning = 56;
constexpr uint16_t kGenRootKey = 58;
constexpr uint16_t kLoopContinuously = 1;
constexpr int16_t kReleaseTimecents = -3986;  // about 0.1 s
constexpr uint16_t kMonoSample = 1;

class Bytes {
public:
    void u8(uint8_t v) { data_.push_back(v); }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v & 0xFF));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v & 0xFFFF));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void tag(const char* four) { text(four, 4); }
    // Exactly size bytes: the text, then zeros.
    void text(const std::string& value, size_t size)
    {
        for (size_t i = 0; i < size; ++i)
            u8(i < value.size() ? static_cast<uint8_t>(value[i]) : 0);
    }
    void append(const Bytes& other) { data_.insert(data_.end(), other.data_.begin(), other.data_.end()); }
    size_t size() const { return data_.size(); }
    const std::vector<uint8_t>& data() const { return data_; }

private:
    std::vector<uint8_t> data_;
};

// A chunk: its id, its size, its body, padded to an even length.
Bytes chunk(const char* id, const Bytes& body)
{
    Bytes out;
    out.tag(id);
    out.u32(static_cast<uint32_t>(body.size()));
    out.append(body);
    if (body.size() % 2 != 0)
        out.u8(0);
    return out;
}

Bytes list(const char* type, const std::vector<Bytes>& chunks)
{
    Bytes body;
    body.tag(type);
    for (const Bytes& c : chunks)
        body.append(c);
    return chunk("LIST", body);
}

// A zero-terminated text of even length.
Bytes info_text(const std::string& value)
{
    Bytes out;
    out.text(value, value.size() % 2 == 0 ? value.size() + 2 : value.size() + 1);
    return out;
}

Bytes info_list()
{
    Bytes version;
    version.u16(2);
    version.u16(1);
    return list("INFO", {chunk("ifil", version), chunk("isng", info_text("EMU8000")),
                         chunk("INAM", info_text("Varenta sine"))});
}

uint32_t lead_frames(const SineSample& sample)
{
    return sample.lead_frames != 0 ? sample.lead_frames : sample.loop_frames;
}

uint32_t sample_frames(const SineSample& sample)
{
    return sample.looped ? lead_frames(sample) + 2 * sample.loop_frames : kUnloopedSeconds * sample.sample_rate_hz;
}

// The sample data of every sample, one after another; starts receives where
// each begins, in frames.
Bytes sample_list(const SineSoundFont& font, std::vector<uint32_t>* starts)
{
    Bytes samples;
    const double pi = std::acos(-1.0);
    uint32_t at = 0;
    for (const SineSample& sample : font.samples) {
        starts->push_back(at);
        const uint32_t frames = sample_frames(sample);
        const uint32_t lead = sample.looped ? lead_frames(sample) : 0;
        const double lead_ratio = std::exp2(sample.lead_cents / 1200.0);
        for (uint32_t i = 0; i < frames; ++i) {
            // Whole cycles per loop: the phase is the same at both loop ends,
            // and the lead ends at the phase the loop starts with.
            const double from_loop = (static_cast<double>(i) - lead) / sample.loop_frames;
            double cycles = i < lead ? sample.loop_cycles * lead_ratio * from_loop
                                     : static_cast<double>(sample.loop_cycles) * ((i - lead) % sample.loop_frames) /
                                           sample.loop_frames;
            samples.i16(static_cast<int16_t>(std::lround(kAmplitude * std::sin(2.0 * pi * cycles))));
        }
        for (uint32_t i = 0; i < kZeroPadding; ++i)
            samples.i16(0);
        at += frames + kZeroPadding;
    }
    return list("sdta", {chunk("smpl", samples)});
}

void generator(Bytes& out, uint16_t oper, uint16_t amount)
{
    out.u16(oper);
    out.u16(amount);
}

void signed_generator(Bytes& out, uint16_t oper, int amount) { generator(out, oper, static_cast<uint16_t>(amount)); }

void range_generator(Bytes& out, uint16_t oper, int low, int high)
{
    generator(out, oper, static_cast<uint16_t>(low | (high << 8)));
}

// A modulator list holding only its terminal record.
Bytes no_modulators()
{
    Bytes out;
    for (int i = 0; i < 5; ++i)
        out.u16(0);
    return out;
}

void preset_header(Bytes& phdr, const std::string& name, int program, int bank, size_t first_zone)
{
    phdr.text(name, 20);
    phdr.u16(static_cast<uint16_t>(program));
    phdr.u16(static_cast<uint16_t>(bank));
    phdr.u16(static_cast<uint16_t>(first_zone));
    phdr.u32(0);
    phdr.u32(0);
    phdr.u32(0);
}

Bytes preset_data(const SineSoundFont& font, const std::vector<uint32_t>& starts)
{
    // Preset i has one zone naming instrument i, which holds the zones.
    Bytes phdr, pbag, pgen, inst, ibag, igen;
    size_t generators = 0, instrument_zones = 0;
    for (size_t i = 0; i < font.presets.size(); ++i) {
        const SinePreset& preset = font.presets[i];
        preset_header(phdr, "Sine " + std::to_string(preset.program), preset.program, preset.bank, i);
        pbag.u16(static_cast<uint16_t>(i));
        pbag.u16(0);
        generator(pgen, kGenInstrument, static_cast<uint16_t>(i));

        inst.text("Sine " + std::to_string(i), 20);
        inst.u16(static_cast<uint16_t>(instrument_zones));
        for (const SineZone& zone : preset.zones) {
            ibag.u16(static_cast<uint16_t>(generators));
            ibag.u16(0);
            Bytes zone_generators;
            range_generator(zone_generators, kGenKeyRange, zone.key_low, zone.key_high);
            range_generator(zone_generators, kGenVelocityRange, zone.velocity_low, zone.velocity_high);
            signed_generator(zone_generators, kGenReleaseVolEnv, kReleaseTimecents);
            if (font.samples[zone.sample].looped)
                generator(zone_generators, kGenSampleModes, kLoopContinuously);
            signed_generator(zone_generators, kGenFineTune, zone.fine_tune);
            signed_generator(zone_generators, kGenCoarseTune, zone.coarse_tune);
            signed_generator(zone_generators, kGenScaleTuning, zone.scale_tuning);
            signed_generator(zone_generators, kGenEndLoopOffset, zone.loop_end_offset);
            if (zone.vibrato_cents != 0)
                signed_generator(zone_generators, kGenVibLfoToPitch, zone.vibrato_cents);
            if (zone.root_override >= 0)
                signed_generator(zone_generators, kGenRootKey, zone.root_override);
            generator(zone_generators, kGenSampleId, static_cast<uint16_t>(zone.sample));  // last in its zone
            igen.append(zone_generators);
            generators += zone_generators.size() / 4;
            ++instrument_zones;
        }
    }
    preset_header(phdr, "EOP", 0, 0, font.presets.size());
    pbag.u16(static_cast<uint16_t>(font.presets.size()));
    pbag.u16(0);
    generator(pgen, 0, 0);
    inst.text("EOI", 20);
    inst.u16(static_cast<uint16_t>(instrument_zones));
    ibag.u16(static_cast<uint16_t>(generators));
    ibag.u16(0);
    generator(igen, 0, 0);

    Bytes shdr;
    for (size_t i = 0; i < font.samples.size(); ++i) {
        const SineSample& sample = font.samples[i];
        shdr.text("Sine sample " + std::to_string(i), 20);
        shdr.u32(starts[i]);
        shdr.u32(starts[i] + sample_frames(sample));
        shdr.u32(starts[i] + lead_frames(sample));
        shdr.u32(starts[i] + lead_frames(sample) + sample.loop_frames);
        shdr.u32(sample.sample_rate_hz);
        shdr.u8(static_cast<uint8_t>(sample.root_key));
        shdr.u8(static_cast<uint8_t>(static_cast<int8_t>(sample.pitch_correction)));
        shdr.u16(0);
        shdr.u16(kMonoSample);
    }
    shdr.text("EOS", 20);
    for (int i = 0; i < 5; ++i)
        shdr.u32(0);
    shdr.u8(0);
    shdr.u8(0);
    shdr.u16(0);
    shdr.u16(0);

    return list("pdta", {chunk("phdr", phdr), chunk("pbag", pbag), chunk("pmod", no_modulators()),
                         chunk("pgen", pgen), chunk("inst", inst), chunk("ibag", ibag),
                         chunk("imod", no_modulators()), chunk("igen", igen), chunk("shdr", shdr)});
}

}  // namespace

std::vector<uint8_t> sine_soundfont_bytes(const SineSoundFont& font)
{
    Bytes body;
    body.tag("sfbk");
    body.append(info_list());
    std::vector<uint32_t> starts;
    body.append(sample_list(font, &starts));
    body.append(preset_data(font, starts));
    return chunk("RIFF", body).data();
}

bool write_sine_soundfont(const std::string& path, const SineSoundFont& font)
{
    std::vector<uint8_t> file = sine_soundfont_bytes(font);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

bool write_sine_soundfont(const std::string& path)
{
    // 100 samples per period at a declared 44000 Hz is exactly 440 Hz.
    SineSoundFont font;
    font.samples.push_back(SineSample{44000, 100, 1, SINE_ROOT_KEY, 0, true});
    static_assert(44000.0 * 1 / 100 == SINE_ROOT_HZ, "the sine must sound at its root frequency");
    for (int program = 0; program < 128; ++program)
        font.presets.push_back(SinePreset{0, program, {SineZone{0, 127, 0}}});
    return write_sine_soundfont(path, font);
}
