// Every room back to its start; see reset.h.
#include "app/reset.h"

#include "calibration/store.h"
#include "dialogue/driver.h"
#include "dialogue/prompt.h"
#include "live/live_play.h"
#include "live/midi_source.h"
#include "hearing/hearing.h"
#include "midi/bridge.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "retune/method.h"
#include "retune/notes.h"
#include "retuner/retuner.h"
#include "tuning/keyboard_map.h"
#include "tuning/scala_file.h"
#include "tuning/scale.h"
#include "tuning/scale_parser.h"

void program_reset()
{
    bridge_reset();
    device_reset();
    channel_reset();
    driver_reset();
    prompt_reset();
    scale_parser_reset();
    scala_file_reset();
    keyboard_map_reset();
    tuning_reset();
    notes_reset();
    hearing_reset();
    live_play_reset();
    midi_source_reset();
    retuner_session_reset();
    calibration_reset();
    tuning_method_reset();
}
