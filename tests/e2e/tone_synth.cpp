// A test synthesizer for the end-to-end tests of --measure: a JACK client
// with a MIDI input port "midi_in" and an audio output port "out" that plays
// every note as a pure tone, with faults that a test sets and then expects
// the measurement to report:
//   tone_synth NAME [--range SEMITONES] [--detune KEY=CENTS]... [--detune-keys FIRST-LAST=CENTS]...
//              [--channel-detune CHANNEL=CENTS]... [--log FILE] [--tuning-messages] [--mts-always]
// Without --range it obeys the pitch-bend range message (registered
// parameter 0, data entry in semitones and cents), starting at +-2
// semitones; with it, it ignores the message and bends that many semitones.
// --detune moves one key, --detune-keys a run of keys as a sample's key
// range would (the later option wins where they overlap), --channel-detune
// every note of one channel (channels from 0). Events take effect at their
// frame within the cycle.
// With --tuning-messages it obeys the MIDI Tuning Standard's real-time Single Note Tuning Change
// (F0 7F <device> 08 02 <program> <count> [<key> <semitone> <fraction MSB>
// <fraction LSB>]... F7, any number of keys, 7F 7F 7F leaving a key as it
// was) in its tuning programs of bank 0; as FluidSynth does, a channel plays
// a tuning program only once it selected one (registered parameter 4 the
// bank, 3 the program), and a retuned key sounds its new pitch in the notes
// started afterwards; and the MPE Configuration Message (registered
// parameter 6 on channel 0, N > 0 member channels): members 1..N bend 48
// semitones until a range message says otherwise (--range still wins).
// --mts-always does the same and also makes every channel that selected no
// tuning program play tuning program 0. Without either it ignores both
// messages, as a plain General MIDI synth does.
// --log FILE writes a line whenever what a voice sounds changes: when it
// starts, and when its channel's bend or bend range moves it:
//   CHANNEL KEY FREQUENCY_HZ start|held|fading
// (held: a voice whose key is still down; fading: one in its release ramp).
// A pure tone sounds exactly the frequency of the model, so the log is what
// was heard, exactly. The process callback only queues the lines; the main
// thread writes them. Lines that found the queue full are counted and the
// log then ends with "lost N".
// It runs until SIGTERM or SIGINT, then prints how many note-ons it took and
// how many notes were still sounding (without their note-off):
//   note-ons N sounding M
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kChannels = 16;
constexpr int kVoices = 64;
constexpr float kLevel = 0.2f;        // peak amplitude of one note
constexpr double kRampSeconds = 0.002; // attack and release, no clicks

struct Voice {
    bool sounding;
    bool releasing;
    int channel;
    int key;
    double phase;     // cycles, 0..1
    double gain;      // 0..1 along the ramps
    double pitch;     // the key's tuning when it started, in MIDI note numbers
};

struct Channel {
    int bend = 8192;
    double range = 2.0;  // semitones for a full swing
    int rpn_high = 127, rpn_low = 127;
    int data_semitones = 2, data_cents = 0;
    int tuning_bank = 0;
    int tuning_program = -1;  // the tuning program selected; -1: none
};

constexpr int kTuningPrograms = 128;
constexpr double kMpeRange = 48.0;

struct Synth {
    jack_client_t* client;
    jack_port_t* midi_in;
    jack_port_t* out;
    double rate;
    double fixed_range;             // > 0: the range used whatever is asked
    double key_detune[128];         // cents
    double channel_detune[kChannels];
    Channel channels[kChannels];
    Voice voices[kVoices];
    bool mts_always;                // channels that selected no tuning program play program 0
    bool tuning_messages;           // false: Single Note Tuning Changes and MPE configurations ignored
    double tunings[kTuningPrograms][128];  // bank 0's tuning programs, MIDI note numbers
    std::atomic<int> note_ons;      // note-ons taken
    jack_ringbuffer_t* log;         // LogLines on their way to the log file; nullptr: no log
    std::atomic<int> log_lost;      // lines that found the queue full
} synth;

// What the process callback queues for the log.
struct LogLine {
    int channel;
    int key;
    double frequency;
    int kind;  // LOG_START, LOG_HELD or LOG_FADING
};
enum { LOG_START, LOG_HELD, LOG_FADING };
const char* const kLogKinds[] = {"start", "held", "fading"};
constexpr size_t kLogBytes = 1 << 20;  // some 40000 lines: the main thread drains it every 20 ms

volatile sig_atomic_t stop = 0;

double frequency(const Voice& v)
{
    const Channel& c = synth.channels[v.channel];
    double semitones = v.pitch - 69 + (synth.key_detune[v.key] + synth.channel_detune[v.channel]) / 100.0 +
                       c.range * (c.bend - 8192) / 8192.0;
    return 440.0 * std::pow(2.0, semitones / 12.0);
}

// Real-time safe: a copy into the lock-free queue, or a count when it is full.
void log_voice(const Voice& v, int kind)
{
    if (synth.log == nullptr)
        return;
    const LogLine line{v.channel, v.key, frequency(v), kind};
    if (jack_ringbuffer_write_space(synth.log) < sizeof line) {
        synth.log_lost.fetch_add(1);
        return;
    }
    jack_ringbuffer_write(synth.log, reinterpret_cast<const char*>(&line), sizeof line);
}

// Every voice of the channel, after its bend or range has changed.
void log_channel(int channel)
{
    for (const Voice& v : synth.voices) {
        if (v.sounding && v.channel == channel)
            log_voice(v, v.releasing ? LOG_FADING : LOG_HELD);
    }
}

// Writes out what the process callback has queued; the main thread's.
void drain_log(std::FILE* file)
{
    LogLine line;
    bool wrote = false;
    while (jack_ringbuffer_read_space(synth.log) >= sizeof line) {
        jack_ringbuffer_read(synth.log, reinterpret_cast<char*>(&line), sizeof line);
        std::fprintf(file, "%d %d %.9f %s\n", line.channel, line.key, line.frequency, kLogKinds[line.kind]);
        wrote = true;
    }
    if (wrote)
        std::fflush(file);
}

// The pitch a key starts at on a channel: its tuning program's, or equal temperament.
double key_pitch(int channel, int key)
{
    const Channel& c = synth.channels[channel];
    int program = c.tuning_program;
    if (program < 0 && synth.mts_always)
        program = 0;
    if (program < 0 || c.tuning_bank != 0)
        return key;
    return synth.tunings[program][key];
}

// A real-time Single Note Tuning Change; anything else is ignored.
void apply_system_exclusive(const jack_midi_data_t* bytes, size_t size)
{
    if (!synth.tuning_messages || size < 8 || bytes[1] != 0x7F || bytes[3] != 0x08 || bytes[4] != 0x02 ||
        bytes[size - 1] != 0xF7)
        return;
    const int program = bytes[5], count = bytes[6];
    if (program >= kTuningPrograms || size != 8 + 4 * static_cast<size_t>(count))
        return;
    for (int i = 0; i < count; ++i) {
        const jack_midi_data_t* change = bytes + 7 + 4 * i;
        if (change[0] > 127 || change[1] > 127 || change[2] > 127 || change[3] > 127)
            return;
        if (change[1] == 0x7F && change[2] == 0x7F && change[3] == 0x7F)
            continue;  // no change
        synth.tunings[program][change[0]] = change[1] + ((change[2] << 7) | change[3]) / 16384.0;
    }
}

void set_range(int channel, double range)
{
    Channel& c = synth.channels[channel];
    if (synth.fixed_range <= 0.0 && range != c.range) {
        c.range = range;
        if (c.bend != 8192)
            log_channel(channel);
    }
}

void apply(const jack_midi_data_t* bytes, size_t size)
{
    if (size < 2)
        return;
    if (bytes[0] == 0xF0) {
        apply_system_exclusive(bytes, size);
        return;
    }
    const int status = bytes[0] & 0xF0, channel = bytes[0] & 0x0F;
    Channel& c = synth.channels[channel];
    const int data1 = bytes[1], data2 = size > 2 ? bytes[2] : 0;
    if (status == 0x90 && data2 > 0) {
        synth.note_ons.fetch_add(1);
        for (Voice& v : synth.voices) {
            if (!v.sounding) {
                v = Voice{true, false, channel, data1, 0.0, 0.0, key_pitch(channel, data1)};
                log_voice(v, LOG_START);
                return;
            }
        }
    } else if (status == 0x80 || status == 0x90) {
        for (Voice& v : synth.voices) {
            if (v.sounding && !v.releasing && v.channel == channel && v.key == data1) {
                v.releasing = true;
                return;
            }
        }
    } else if (status == 0xE0 && size > 2) {
        const int bend = data1 | (data2 << 7);
        if (bend != c.bend) {
            c.bend = bend;
            log_channel(channel);
        }
    } else if (status == 0xB0 && size > 2) {
        if (data1 == 101)
            c.rpn_high = data2;
        else if (data1 == 100)
            c.rpn_low = data2;
        else if ((data1 == 6 || data1 == 38) && c.rpn_high == 0 && c.rpn_low == 0) {
            (data1 == 6 ? c.data_semitones : c.data_cents) = data2;
            set_range(channel, c.data_semitones + c.data_cents / 100.0);
        } else if (data1 == 6 && c.rpn_high == 0 && c.rpn_low == 4) {
            c.tuning_bank = data2;
        } else if (data1 == 6 && c.rpn_high == 0 && c.rpn_low == 3) {
            c.tuning_program = data2;
        } else if (data1 == 6 && c.rpn_high == 0 && c.rpn_low == 6 && channel == 0 && data2 > 0 &&
                   synth.tuning_messages) {
            for (int member = 1; member <= data2 && member < kChannels; ++member) {
                Channel& m = synth.channels[member];
                m.data_semitones = static_cast<int>(kMpeRange);
                m.data_cents = 0;
                set_range(member, kMpeRange);
            }
        }
    }
}

int process(jack_nframes_t frames, void*)
{
    void* midi = jack_port_get_buffer(synth.midi_in, frames);
    float* out = static_cast<float*>(jack_port_get_buffer(synth.out, frames));
    const uint32_t events = jack_midi_get_event_count(midi);
    uint32_t next = 0;
    jack_midi_event_t event;
    bool pending = events > 0 && jack_midi_event_get(&event, midi, 0) == 0;
    const double ramp = 1.0 / (kRampSeconds * synth.rate);
    for (jack_nframes_t i = 0; i < frames; ++i) {
        while (pending && event.time <= i) {
            apply(event.buffer, event.size);
            pending = ++next < events && jack_midi_event_get(&event, midi, next) == 0;
        }
        double sum = 0.0;
        for (Voice& v : synth.voices) {
            if (!v.sounding)
                continue;
            v.gain += v.releasing ? -ramp : ramp;
            if (v.gain >= 1.0)
                v.gain = 1.0;
            if (v.gain <= 0.0 && v.releasing) {
                v.sounding = false;
                continue;
            }
            sum += v.gain * std::sin(2.0 * M_PI * v.phase);
            v.phase += frequency(v) / synth.rate;
            v.phase -= std::floor(v.phase);
        }
        out[i] = static_cast<float>(kLevel * sum);
    }
    return 0;
}

void on_signal(int) { stop = 1; }

bool read_pair(const char* text, int* index, double* cents)
{
    char* end = nullptr;
    long i = std::strtol(text, &end, 10);
    if (end == text || *end != '=')
        return false;
    *index = static_cast<int>(i);
    *cents = std::strtod(end + 1, nullptr);
    return true;
}

// FIRST-LAST=CENTS, keys 0..127 with FIRST <= LAST.
bool read_key_run(const char* text, int* first, int* last, double* cents)
{
    char* end = nullptr;
    const long a = std::strtol(text, &end, 10);
    if (end == text || *end != '-')
        return false;
    const char* rest = end + 1;
    const long b = std::strtol(rest, &end, 10);
    if (end == rest || *end != '=' || a < 0 || b > 127 || a > b)
        return false;
    *first = static_cast<int>(a);
    *last = static_cast<int>(b);
    *cents = std::strtod(end + 1, nullptr);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tone_synth NAME [--range S] [--detune KEY=CENTS]... [--detune-keys FIRST-LAST=CENTS]... "
                             "[--channel-detune CH=CENTS]... [--log FILE] [--tuning-messages] [--mts-always]\n");
        return 2;
    }
    std::FILE* log = nullptr;
    for (int i = 2; i < argc; i += 2) {
        int index = 0, last = 0;
        double cents = 0.0;
        if (std::strcmp(argv[i], "--mts-always") == 0) {
            synth.mts_always = synth.tuning_messages = true;
            --i;
            continue;
        }
        if (std::strcmp(argv[i], "--tuning-messages") == 0) {
            synth.tuning_messages = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tone_synth: %s needs a value\n", argv[i]);
            return 2;
        }
        if (std::strcmp(argv[i], "--range") == 0) {
            synth.fixed_range = std::strtod(argv[i + 1], nullptr);
        } else if (std::strcmp(argv[i], "--detune") == 0 && read_pair(argv[i + 1], &index, &cents) && index >= 0 &&
                   index < 128) {
            synth.key_detune[index] = cents;
        } else if (std::strcmp(argv[i], "--detune-keys") == 0 && read_key_run(argv[i + 1], &index, &last, &cents)) {
            for (int key = index; key <= last; ++key)
                synth.key_detune[key] = cents;
        } else if (std::strcmp(argv[i], "--log") == 0 && log == nullptr) {
            log = std::fopen(argv[i + 1], "w");
            if (log == nullptr) {
                std::fprintf(stderr, "tone_synth: cannot write %s\n", argv[i + 1]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--channel-detune") == 0 && read_pair(argv[i + 1], &index, &cents) &&
                   index >= 0 && index < kChannels) {
            synth.channel_detune[index] = cents;
        } else {
            std::fprintf(stderr, "tone_synth: cannot use %s %s\n", argv[i], argv[i + 1]);
            return 2;
        }
    }
    for (Channel& c : synth.channels)
        c.range = synth.fixed_range > 0.0 ? synth.fixed_range : 2.0;
    for (auto& program : synth.tunings) {
        for (int key = 0; key < 128; ++key)
            program[key] = key;
    }
    if (log != nullptr) {
        synth.log = jack_ringbuffer_create(kLogBytes);
        if (synth.log == nullptr) {
            std::fprintf(stderr, "tone_synth: no memory for the log\n");
            return 1;
        }
        jack_ringbuffer_mlock(synth.log);  // spares the callback page faults where allowed
    }

    jack_status_t status;
    synth.client = jack_client_open(argv[1], JackNoStartServer, &status);
    if (synth.client == nullptr) {
        std::fprintf(stderr, "tone_synth: no JACK server\n");
        return 1;
    }
    synth.rate = jack_get_sample_rate(synth.client);
    synth.midi_in = jack_port_register(synth.client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    synth.out = jack_port_register(synth.client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    if (synth.midi_in == nullptr || synth.out == nullptr || jack_set_process_callback(synth.client, process, nullptr) != 0 ||
        jack_activate(synth.client) != 0) {
        std::fprintf(stderr, "tone_synth: cannot start\n");
        return 1;
    }
    while (!stop) {
        usleep(20000);
        if (log != nullptr)
            drain_log(log);
    }
    jack_deactivate(synth.client);
    if (log != nullptr) {
        drain_log(log);
        if (synth.log_lost.load() > 0)
            std::fprintf(log, "lost %d\n", synth.log_lost.load());
        std::fclose(log);
        jack_ringbuffer_free(synth.log);
    }
    int sounding = 0;
    for (const Voice& v : synth.voices)
        sounding += v.sounding && !v.releasing ? 1 : 0;
    std::printf("note-ons %d sounding %d\n", synth.note_ons.load(), sounding);
    jack_client_close(synth.client);
    return 0;
}
