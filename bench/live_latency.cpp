// The measure of playing from a MIDI keyboard over JACK: two clients of its
// own beside the program, "live-keys" (port "out", which the program reads
// with --midi-in live-keys) and "live-listen" (port "in", chosen as the
// program's output device). On "go" read from standard input, live-keys
// plays a fixed phrase of NOTES notes (chords, fast runs at 1,000 notes a
// second, repeated keys, the pedal, volume) while live-listen records every
// message that comes back with its JACK frame. Once the output has been
// quiet for a second it prints what it found:
//   - the time from each note-on sent to the retuned note-on it caused (the
//     k-th note-on out answers the k-th note-on in), in JACK frames: median,
//     99th percentile, worst;
//   - the program's own share of that time: the latency less one period and
//     less the place of the note-on in its cycle (the output goes out one
//     period after it was sent, at the place in its cycle the program sent
//     it: this is the time the program took to answer, on JACK's clock);
//   - messages lost: note-ons and volume changes that did not come back;
//   - notes unmatched: note-ons that came back with another velocity, or that
//     no note-off ended.
// It prints "ready" once its ports exist, and exits 1 when a message was
// lost or a note unmatched.
//
// Usage: live_latency [NOTES] [--phrase FILE] [--record FILE]
// --phrase plays the messages of FILE instead of the fixed phrase, one a line:
// the time in milliseconds from the start, then the message's bytes in hex
// ("12.5 90 3c 64"). --record writes every message sent ("sent FRAME OFFSET
// BYTES") and every message received ("got FRAME BYTES") to FILE for a script
// to read; the clients then stay open after the figures until a line or the
// end of standard input, so that the program measured can be ended first.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Event {
    uint64_t frame;  // when to send, frames after the start
    uint8_t bytes[3];
};

struct Received {
    uint64_t frame;  // JACK frame it arrived at
    uint8_t bytes[3];
};

struct BenchState {
    jack_client_t* keys;          // the sending client
    jack_client_t* listen;        // the receiving client
    jack_port_t* out;             // live-keys:out
    jack_port_t* in;              // live-listen:in
    std::vector<Event> phrase;    // in the order sent, frames non-decreasing
    std::vector<uint64_t> sent;   // the frame each event went out at (written by the sender's cycle)
    std::vector<uint32_t> offset;  // its offset in that cycle, 0 .. period - 1
    std::atomic<bool> started;    // "go": start_frame is set
    uint64_t start_frame;         // frame clock at the start, plus a margin
    std::atomic<size_t> next;     // events sent so far
    std::vector<Received> got;    // preallocated; the receiver's cycle fills it
    std::atomic<size_t> got_count;
    std::atomic<size_t> overflow;  // messages that did not fit got
} bench;

// A deterministic phrase: chords, fast runs, repeated keys, the pedal.
void compose(int notes, double frames_per_ms)
{
    uint32_t seed = 12345;
    auto random_key = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<uint8_t>(40 + (seed >> 16) % 48);  // keys 40..87: degrees -20..27
    };
    std::vector<std::pair<double, std::vector<uint8_t>>> timed;  // ms, message
    double t = 0;
    int played = 0;
    auto note = [&](double on_ms, double off_ms, uint8_t key, uint8_t velocity) {
        timed.push_back({on_ms, {0x90, key, velocity}});
        timed.push_back({off_ms, {0x80, key, 64}});
        ++played;
    };
    // Sections in this order, over and over: on average some 450 notes a
    // second, the runs at 1,000.
    const char kOrder[] = "crrsrp";
    for (int section = 0; played < notes; ++section) {
        switch (kOrder[section % 6]) {
        case 'c':  // a chord of four, held 40 ms
            for (int i = 0; i < 4 && played < notes; ++i)
                note(t, t + 40, static_cast<uint8_t>(48 + 4 * i + section % 12), static_cast<uint8_t>(60 + i));
            t += 50;
            break;
        case 'r':  // a run of 32 notes, one a millisecond, each overlapping the next
            for (int i = 0; i < 32 && played < notes; ++i)
                note(t + i, t + i + 1.5, static_cast<uint8_t>(50 + i), static_cast<uint8_t>(40 + i));
            t += 35;
            break;
        case 's': {  // one key struck five times before its note-off
            uint8_t key = random_key();
            for (int i = 0; i < 5 && played < notes; ++i) {
                timed.push_back({t + 8 * i, {0x90, key, static_cast<uint8_t>(70 + i)}});
                ++played;
            }
            timed.push_back({t + 45, {0x80, key, 64}});
            t += 50;
            break;
        }
        default:  // the pedal down over eight short notes, then volume
            timed.push_back({t, {0xB0, 64, 127}});
            for (int i = 0; i < 8 && played < notes; ++i)
                note(t + 1 + 5 * i, t + 4 + 5 * i, random_key(), 90);
            timed.push_back({t + 45, {0xB0, 64, 0}});
            timed.push_back({t + 46, {0xB0, 7, static_cast<uint8_t>(100 + section % 27)}});
            t += 50;
            break;
        }
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [ms, bytes] : timed)
        bench.phrase.push_back(Event{static_cast<uint64_t>(ms * frames_per_ms), {bytes[0], bytes[1], bytes[2]}});
    bench.sent.assign(bench.phrase.size(), 0);
    bench.offset.assign(bench.phrase.size(), 0);
}

size_t message_size(uint8_t status) { return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3; }

// The phrase of a --phrase file; false when it cannot be read.
bool read_phrase(const char* path, double frames_per_ms)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    std::vector<std::pair<double, Event>> timed;
    char line[256];
    bool ok = true;
    while (ok && std::fgets(line, sizeof line, file) != nullptr) {
        double ms = 0;
        unsigned b[3] = {0, 0, 0};
        const int n = std::sscanf(line, "%lf %x %x %x", &ms, &b[0], &b[1], &b[2]);
        if (n <= 0)
            continue;  // a blank line
        ok = n >= 3 && ms >= 0 && b[0] >= 0x80 && b[0] < 0xF0 && b[1] < 0x80 && b[2] < 0x80 &&
             (n == 4 || message_size(static_cast<uint8_t>(b[0])) == 2);
        timed.push_back({ms, Event{0, {static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                                       static_cast<uint8_t>(b[2])}}});
    }
    std::fclose(file);
    if (!ok || timed.empty())
        return false;
    std::stable_sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [ms, event] : timed) {
        event.frame = static_cast<uint64_t>(ms * frames_per_ms);
        bench.phrase.push_back(event);
    }
    bench.sent.assign(bench.phrase.size(), 0);
    bench.offset.assign(bench.phrase.size(), 0);
    return true;
}

// Every message sent and received, for a script to read.
bool write_record(const char* path)
{
    FILE* file = std::fopen(path, "w");
    if (file == nullptr)
        return false;
    for (size_t i = 0; i < bench.phrase.size(); ++i) {
        const Event& e = bench.phrase[i];
        std::fprintf(file, "sent %llu %u %02x %02x", static_cast<unsigned long long>(bench.sent[i]), bench.offset[i],
                     e.bytes[0], e.bytes[1]);
        if (message_size(e.bytes[0]) == 3)
            std::fprintf(file, " %02x", e.bytes[2]);
        std::fprintf(file, "\n");
    }
    const size_t got = bench.got_count.load();
    for (size_t i = 0; i < got; ++i) {
        const Received& r = bench.got[i];
        std::fprintf(file, "got %llu %02x %02x", static_cast<unsigned long long>(r.frame), r.bytes[0], r.bytes[1]);
        if (message_size(r.bytes[0]) == 3)
            std::fprintf(file, " %02x", r.bytes[2]);
        std::fprintf(file, "\n");
    }
    std::fprintf(file, "overflow %zu\n", bench.overflow.load());
    return std::fclose(file) == 0;
}

int play(jack_nframes_t frames, void*)
{
    void* buffer = jack_port_get_buffer(bench.out, frames);
    jack_midi_clear_buffer(buffer);
    if (!bench.started.load())
        return 0;
    const uint64_t cycle_start = jack_last_frame_time(bench.keys);
    size_t i = bench.next.load();
    for (; i < bench.phrase.size(); ++i) {
        const Event& e = bench.phrase[i];
        uint64_t at = bench.start_frame + e.frame;
        if (at >= cycle_start + frames)
            break;
        jack_nframes_t offset = at > cycle_start ? static_cast<jack_nframes_t>(at - cycle_start) : 0;
        const size_t size = message_size(e.bytes[0]);
        if (jack_midi_event_write(buffer, offset, e.bytes, size) != 0)
            break;  // the port's buffer is full: the rest next cycle
        bench.sent[i] = cycle_start + offset;
        bench.offset[i] = offset;
    }
    bench.next.store(i);
    return 0;
}

int listen(jack_nframes_t frames, void*)
{
    void* buffer = jack_port_get_buffer(bench.in, frames);
    const uint64_t cycle_start = jack_last_frame_time(bench.listen);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0)
            continue;
        size_t n = bench.got_count.load();
        if (n >= bench.got.size()) {
            bench.overflow.fetch_add(1);
            continue;
        }
        Received& r = bench.got[n];
        r.frame = cycle_start + event.time;
        for (size_t b = 0; b < 3; ++b)
            r.bytes[b] = b < event.size ? event.buffer[b] : 0;
        bench.got_count.store(n + 1);
    }
    return 0;
}

jack_client_t* open_client(const char* name, JackProcessCallback process, jack_port_t** port, unsigned long flags,
                           const char* port_name)
{
    jack_status_t status;
    jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
    if (client == nullptr)
        return nullptr;
    *port = jack_port_register(client, port_name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
    jack_set_process_callback(client, process, nullptr);
    if (*port == nullptr || jack_activate(client) != 0)
        return nullptr;
    return client;
}

int64_t percentile(const std::vector<int64_t>& sorted, double p)
{
    size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv)
{
    int notes = 10000;
    const char* phrase_path = nullptr;
    const char* record_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--phrase") == 0 && i + 1 < argc)
            phrase_path = argv[++i];
        else if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc)
            record_path = argv[++i];
        else
            notes = std::atoi(argv[i]);
    }
    bench.listen = open_client("live-listen", listen, &bench.in, JackPortIsInput, "in");
    bench.keys = open_client("live-keys", play, &bench.out, JackPortIsOutput, "out");
    if (bench.listen == nullptr || bench.keys == nullptr || notes <= 0) {
        std::fprintf(stderr, "live_latency: no JACK server, or no ports\n");
        return 2;
    }
    const double rate = jack_get_sample_rate(bench.keys);
    const jack_nframes_t period = jack_get_buffer_size(bench.keys);
    if (phrase_path == nullptr) {
        compose(notes, rate / 1000.0);
    } else if (!read_phrase(phrase_path, rate / 1000.0)) {
        std::fprintf(stderr, "live_latency: %s: not a phrase of timed messages\n", phrase_path);
        return 2;
    }
    bench.got.resize(bench.phrase.size() * 20 + 1000);
    std::printf("ready\n");
    std::fflush(stdout);

    char line[64];
    if (std::fgets(line, sizeof line, stdin) == nullptr)
        return 2;
    bench.start_frame = jack_frame_time(bench.keys) + 4 * period;
    bench.started.store(true);
    // Until everything is sent and the output has been quiet for a second.
    size_t seen = 0;
    int quiet_ms = 0;
    while (bench.next.load() < bench.phrase.size() || quiet_ms < 1000) {
        usleep(10000);
        size_t now = bench.got_count.load();
        quiet_ms = now == seen ? quiet_ms + 10 : 0;
        seen = now;
    }
    if (record_path != nullptr && !write_record(record_path)) {
        std::fprintf(stderr, "live_latency: cannot write %s\n", record_path);
        return 2;
    }
    // With --record the clients stay until the script has ended the program.
    auto end = [&](int status) {
        std::fflush(stdout);
        if (record_path != nullptr) {
            std::printf("recorded\n");
            std::fflush(stdout);
            if (std::fgets(line, sizeof line, stdin) == nullptr) {
            }
        }
        jack_client_close(bench.keys);
        jack_client_close(bench.listen);
        return status;
    };

    std::vector<uint64_t> in_frames;
    std::vector<uint32_t> in_offsets;
    std::vector<uint8_t> in_velocities;
    int volume_changes = 0;
    for (size_t i = 0; i < bench.phrase.size(); ++i) {
        const Event& e = bench.phrase[i];
        if ((e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] > 0) {
            in_frames.push_back(bench.sent[i]);
            in_offsets.push_back(bench.offset[i]);
            in_velocities.push_back(e.bytes[2]);
        }
        volume_changes += e.bytes[0] == 0xB0 && e.bytes[1] == 7;
    }
    std::vector<int64_t> latencies;
    std::vector<int64_t> answers;
    std::map<std::pair<int, int>, int> sounding;  // (channel, note) -> note-ons without their note-off
    int unmatched = 0;
    int volume_messages = 0;
    size_t k = 0;
    const size_t got = bench.got_count.load();
    for (size_t i = 0; i < got; ++i) {
        const Received& r = bench.got[i];
        const int status = r.bytes[0] & 0xF0, channel = r.bytes[0] & 0x0F;
        if (status == 0x90 && r.bytes[2] > 0) {
            if (k < in_frames.size()) {
                // Signed: an answer placed before its question would show as such.
                latencies.push_back(static_cast<int64_t>(r.frame) - static_cast<int64_t>(in_frames[k]));
                answers.push_back(latencies.back() - period + in_offsets[k]);
                unmatched += r.bytes[2] != in_velocities[k];
            }
            ++k;
            ++sounding[{channel, r.bytes[1]}];
        } else if (status == 0x80 || status == 0x90) {
            if (sounding[{channel, r.bytes[1]}] > 0)
                --sounding[{channel, r.bytes[1]}];
        } else if (status == 0xB0 && r.bytes[1] == 7) {
            ++volume_messages;
        }
    }
    for (const auto& entry : sounding)
        unmatched += entry.second;
    const long lost = static_cast<long>(in_frames.size()) - static_cast<long>(std::min(k, in_frames.size())) +
                      (15L * volume_changes - volume_messages) + static_cast<long>(bench.overflow.load());
    if (latencies.empty()) {
        std::printf("no note came back\n");
        return end(1);
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(answers.begin(), answers.end());
    const int64_t goal = period + static_cast<int64_t>(rate / 1000.0 + 0.5);
    const size_t within = static_cast<size_t>(std::upper_bound(latencies.begin(), latencies.end(), goal) -
                                              latencies.begin());
    const double ms_per_frame = 1000.0 / rate;
    auto show = [&](const char* what, int64_t frames) {
        std::printf("  %-7s %5lld frames  %6.2f ms\n", what, static_cast<long long>(frames),
                    static_cast<double>(frames) * ms_per_frame);
    };
    std::printf("%zu notes and %d volume changes sent in %.1f s; period %u frames (%.2f ms) at %.0f Hz\n",
                in_frames.size(), volume_changes, static_cast<double>(bench.phrase.back().frame) / rate, period,
                period * ms_per_frame, rate);
    std::printf("from a note-on in to its retuned note-on out:\n");
    show("median", percentile(latencies, 0.5));
    show("p99", percentile(latencies, 0.99));
    show("worst", latencies.back());
    std::printf("the program's own answer time (latency less a period and the note-on's place in its cycle):\n");
    show("median", percentile(answers, 0.5));
    show("p99", percentile(answers, 0.99));
    show("worst", answers.back());
    std::printf("goal: p99 <= one period plus 1 ms = %lld frames; %.2f%% of the notes within it\n",
                static_cast<long long>(goal), 100.0 * static_cast<double>(within) / static_cast<double>(latencies.size()));
    std::printf("messages lost: %ld\nnotes unmatched: %d\n", lost, unmatched);
    return end(lost == 0 && unmatched == 0 ? 0 : 1);
}
