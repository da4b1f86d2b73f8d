// The sine SoundFont; see sine_soundfont.h.
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

// The sample: 100 samples per period at a declared 44000 Hz is exactly
// 440 Hz. The loop spans whole periods inside the data, so interpolation
// around the loop points sees the same sine on both sides.
constexpr int kPeriodSamples = 100;
constexpr uint32_t kSampleRate = 44000;
static_assert(kSampleRate / kPeriodSamples * 1.0 == SINE_ROOT_HZ, "the sine must sound at its root frequency");
constexpr uint32_t kSampleLength = 40 * kPeriodSamples;
constexpr uint32_t kLoopStart = 10 * kPeriodSamples;
constexpr uint32_t kLoopEnd = 30 * kPeriodSamples;
constexpr uint32_t kZeroPadding = 46;  // zero samples the format requires after each sample
constexpr double kAmplitude = 16000.0;

constexpr int kPresets = 128;

// Generator operators used here.
constexpr uint16_t kGenReleaseVolEnv = 38;
constexpr uint16_t kGenInstrument = 41;
constexpr uint16_t kGenSampleId = 53;
constexpr uint16_t kGenSampleModes = 54;
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

Bytes sample_list()
{
    Bytes samples;
    const double pi = std::acos(-1.0);
    for (uint32_t i = 0; i < kSampleLength; ++i) {
        double phase = 2.0 * pi * static_cast<double>(i % kPeriodSamples) / kPeriodSamples;
        samples.i16(static_cast<int16_t>(std::lround(kAmplitude * std::sin(phase))));
    }
    for (uint32_t i = 0; i < kZeroPadding; ++i)
        samples.i16(0);
    return list("sdta", {chunk("smpl", samples)});
}

void generator(Bytes& out, uint16_t oper, uint16_t amount)
{
    out.u16(oper);
    out.u16(amount);
}

// A modulator list holding only its terminal record.
Bytes no_modulators()
{
    Bytes out;
    for (int i = 0; i < 5; ++i)
        out.u16(0);
    return out;
}

Bytes preset_data()
{
    // Presets: programs 0..127 of bank 0, one zone each, naming instrument 0.
    Bytes phdr, pbag, pgen;
    for (int program = 0; program < kPresets; ++program) {
        phdr.text("Sine " + std::to_string(program), 20);
        phdr.u16(static_cast<uint16_t>(program));
        phdr.u16(0);                               // bank
        phdr.u16(static_cast<uint16_t>(program));  // first zone
        phdr.u32(0);
        phdr.u32(0);
        phdr.u32(0);
        pbag.u16(static_cast<uint16_t>(program));  // first generator
        pbag.u16(0);                               // first modulator
        generator(pgen, kGenInstrument, 0);
    }
    phdr.text("EOP", 20);
    phdr.u16(0);
    phdr.u16(0);
    phdr.u16(kPresets);
    phdr.u32(0);
    phdr.u32(0);
    phdr.u32(0);
    pbag.u16(kPresets);
    pbag.u16(0);
    generator(pgen, 0, 0);

    // One instrument with one zone: the looped sample over every key.
    Bytes inst, ibag, igen;
    inst.text("Sine", 20);
    inst.u16(0);
    inst.text("EOI", 20);
    inst.u16(1);
    ibag.u16(0);
    ibag.u16(0);
    ibag.u16(3);
    ibag.u16(0);
    generator(igen, kGenReleaseVolEnv, static_cast<uint16_t>(kReleaseTimecents));
    generator(igen, kGenSampleModes, kLoopContinuously);
    generator(igen, kGenSampleId, 0);  // the sample comes last in its zone
    generator(igen, 0, 0);

    Bytes shdr;
    shdr.text("Sine 440", 20);
    shdr.u32(0);
    shdr.u32(kSampleLength);
    shdr.u32(kLoopStart);
    shdr.u32(kLoopEnd);
    shdr.u32(kSampleRate);
    shdr.u8(SINE_ROOT_KEY);
    shdr.u8(0);  // pitch correction, cents
    shdr.u16(0);
    shdr.u16(kMonoSample);
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

bool write_sine_soundfont(const std::string& path)
{
    Bytes body;
    body.tag("sfbk");
    body.append(info_list());
    body.append(sample_list());
    body.append(preset_data());
    Bytes file = chunk("RIFF", body);

    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(file.data().data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}
