// The default-synthesizer choice; see port_choice.h.
#include "platform/port_choice.h"

int default_synth_port(const PortListing* ports, int count)
{
    for (int i = 0; i < count; ++i) {
        if (ports[i].is_alsa && (ports[i].type_bits & PORT_TYPE_SYNTH_BITS) != 0)
            return i;
    }
    return -1;
}
