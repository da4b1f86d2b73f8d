// MIDI output to the ALSA sequencer and MIDI input from it, through RtMidi.
// RtMidi's ALSA output writes each message to the sequencer at once
// (blocking while the sequencer's pool is full), so nothing is queued here
// and messages arrive in the order sent. A whole system exclusive message is
// encoded as one SND_SEQ_EVENT_SYSEX event: RtMidi grows its encoder's
// buffer to the message's length before encoding it.
// Its input delivers each message on a thread of its own, which queues it for
// the main thread and wakes it. The program's own clients (its "out" and "in"
// ports, and the clients RtMidi opens only to list ports) are never listed.
#include "platform/linux/midi_linux.h"
#include "platform/posix/quiet_stderr.h"
#include "platform/posix/wake_posix.h"

#include <alsa/asoundlib.h>
#include <rtmidi/RtMidi.h>

#include <cstdio>
#include <unistd.h>

namespace {

const char* const kClientName = "Varenta";
const char* const kPortName = "out";
const char* const kInPortName = "in";
// Messages RtMidi's reader keeps when no callback takes them; the callback is
// set before any port opens, so none is kept.
constexpr unsigned kRtMidiQueue = 100;

void quiet_rtmidi(RtMidiError::Type, const std::string&, void*) {}

// A new RtMidi ALSA output, or nullptr when there is no sequencer.
RtMidiOut* new_output()
{
    try {
        RtMidiOut* out = new RtMidiOut(RtMidi::LINUX_ALSA, kClientName);
        out->setErrorCallback(quiet_rtmidi, nullptr);
        return out;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

// RtMidi names an ALSA port "client:port C:P"; returns the numbers C and P.
bool alsa_address(const std::string& name, int* client, int* port)
{
    size_t space = name.rfind(' ');
    if (space == std::string::npos)
        return false;
    return std::sscanf(name.c_str() + space + 1, "%d:%d", client, port) == 2;
}

// Whether the port of that name belongs to a client of this very process.
bool alsa_port_is_own(snd_seq_t* seq, const std::string& name)
{
    int client = 0, port = 0;
    if (seq == nullptr || !alsa_address(name, &client, &port))
        return false;
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    return snd_seq_get_any_client_info(seq, client, info) >= 0 && snd_seq_client_info_get_pid(info) == getpid();
}

// A sequencer handle for looking at ports and clients; nullptr when none.
snd_seq_t* open_query()
{
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return nullptr;
    return seq;
}

unsigned alsa_port_type(snd_seq_t* seq, const std::string& name)
{
    int client = 0, port = 0;
    if (seq == nullptr || !alsa_address(name, &client, &port))
        return 0;
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(seq, client, port, info) < 0)
        return 0;
    return snd_seq_port_info_get_type(info);
}

// The ports an RtMidi object lists (outputs list the ports that take MIDI,
// inputs those that send), but for this process's own; with their type bits
// when asked.
void list_others(RtMidi* api, bool with_types, std::vector<LinuxPort>* ports)
{
    snd_seq_t* seq = open_query();
    unsigned count = api->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        std::string name = api->getPortName(i);
        if (!alsa_port_is_own(seq, name))
            ports->push_back(LinuxPort{name, true, with_types ? alsa_port_type(seq, name) : 0u});
    }
    if (seq != nullptr)
        snd_seq_close(seq);
}

// list_others on an RtMidi object made only for the listing, which it then
// deletes; nothing when there is no sequencer (api nullptr).
template <typename Api>
void list_and_delete(Api* api, bool with_types, std::vector<LinuxPort>* ports)
{
    if (api == nullptr)
        return;
    list_others(api, with_types, ports);
    delete api;
}

}  // namespace

struct AlsaOutput {
    RtMidiOut* out;  // open RtMidi output, owned
};

void alsa_list_ports(std::vector<LinuxPort>* ports)
{
    QuietStderr quiet;
    list_and_delete(new_output(), true, ports);
}

AlsaOutput* alsa_output_open(const std::string& port_name)
{
    QuietStderr quiet;
    RtMidiOut* out = new_output();
    if (out == nullptr)
        return nullptr;
    // Ports come and go: find this one again by its name.
    unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (out->getPortName(i) != port_name)
            continue;
        out->openPort(i, kPortName);
        if (!out->isPortOpen())
            break;
        return new AlsaOutput{out};
    }
    delete out;
    return nullptr;
}

void alsa_output_send(AlsaOutput* output, const unsigned char* bytes, size_t size)
{
    // A port that has gone away takes the message silently: RtMidi reports
    // the failed write to the quiet error callback.
    output->out->sendMessage(bytes, size);
}

void alsa_output_close(AlsaOutput* output)
{
    QuietStderr quiet;
    output->out->closePort();
    delete output->out;
    delete output;
}

// ---- Input -------------------------------------------------------------------

namespace {

// RtMidi's reader thread: queue the message, wake the main thread.
void on_input(double, std::vector<unsigned char>* message, void* queue)
{
    if (message != nullptr &&
        midi_in_queue_push(*static_cast<MidiInQueue*>(queue), message->data(), message->size()))
        posix_midi_wake();
}

// A new RtMidi ALSA input, or nullptr when there is no sequencer.
RtMidiIn* new_input()
{
    try {
        RtMidiIn* in = new RtMidiIn(RtMidi::LINUX_ALSA, kClientName, kRtMidiQueue);
        in->setErrorCallback(quiet_rtmidi, nullptr);
        in->ignoreTypes(true, true, true);  // system exclusive, clock and timing, active sensing
        return in;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

// Notes in *failed (a bool) that RtMidi reported an error, not a warning.
void note_failure(RtMidiError::Type type, const std::string&, void* failed)
{
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
        *static_cast<bool*>(failed) = true;
}

}  // namespace

struct AlsaInput {
    RtMidiIn* in;      // open RtMidi input, owned
    snd_seq_t* query;  // for looking the source up while it plays; nullptr until first needed
};

void alsa_list_sources(std::vector<LinuxPort>* ports)
{
    QuietStderr quiet;
    list_and_delete(new_input(), false, ports);
}

AlsaInput* alsa_input_open(const std::string& source_name, MidiInQueue* queue)
{
    QuietStderr quiet;
    RtMidiIn* in = new_input();
    if (in == nullptr)
        return nullptr;
    in->setCallback(on_input, queue);
    // RtMidi reports a failed open to the error callback only, and does not
    // count a virtual port as open.
    bool failed = false;
    in->setErrorCallback(note_failure, &failed);
    if (source_name.empty()) {
        in->openVirtualPort(kInPortName);
    } else {
        failed = true;  // until the source is found
        // RtMidi opens our own port, "in", and connects the source to it;
        // other sources can be connected to that port as well.
        unsigned count = in->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            if (in->getPortName(i) == source_name) {
                failed = false;
                in->openPort(i, kInPortName);
                failed = failed || !in->isPortOpen();
                break;
            }
        }
    }
    in->setErrorCallback(quiet_rtmidi, nullptr);
    if (failed) {
        delete in;
        return nullptr;
    }
    return new AlsaInput{in, nullptr};
}

void alsa_input_close(AlsaInput* input)
{
    QuietStderr quiet;
    input->in->closePort();
    delete input->in;
    if (input->query != nullptr)
        snd_seq_close(input->query);
    delete input;
}

bool alsa_port_gone(AlsaInput* input, const std::string& name)
{
    int client = 0, port = 0;
    if (input == nullptr || !alsa_address(name, &client, &port))
        return false;
    if (input->query == nullptr)
        input->query = open_query();
    if (input->query == nullptr)
        return false;
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    return snd_seq_get_any_port_info(input->query, client, port, info) < 0;
}
