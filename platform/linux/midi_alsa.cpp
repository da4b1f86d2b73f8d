// MIDI output to the ALSA sequencer through RtMidi. RtMidi's ALSA output
// writes each message to the sequencer at once (blocking while the
// sequencer's pool is full), so nothing is queued here.
#include "platform/linux/midi_linux.h"
#include "platform/posix/quiet_stderr.h"

#include <alsa/asoundlib.h>
#include <rtmidi/RtMidi.h>

#include <cstdio>

namespace {

const char* const kClientName = "Varenta";
const char* const kPortName = "out";

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

}  // namespace

struct AlsaOutput {
    RtMidiOut* out;  // open RtMidi output, owned
};

void alsa_list_ports(std::vector<LinuxPort>* ports)
{
    QuietStderr quiet;
    RtMidiOut* out = new_output();
    if (out == nullptr)
        return;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        seq = nullptr;
    unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        std::string name = out->getPortName(i);
        ports->push_back(LinuxPort{name, true, alsa_port_type(seq, name)});
    }
    if (seq != nullptr)
        snd_seq_close(seq);
    delete out;
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
