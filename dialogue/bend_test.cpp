// The pitch-bend range test; see bend_test.h.
#include "dialogue/bend_test.h"

#include "console/console.h"
#include "midi/channel.h"
#include "midi/device.h"
#include "retune/method.h"

// Under MPE the members bend 48 semitones, and the manager channel sounds
// nothing: two members each bent half their range, one down from C6 and
// one up from C2, meet at middle C when the range is what the zone asked.
static void play_member_bend_test_notes()
{
    const double half_swing = BEND_CENTRE / 2.0;
    set_pitch_bend(port_handle(), 1, BEND_CENTRE - half_swing);
    pause_seconds(0.5);
    note_on(port_handle(), 1, 60 + MPE_BEND_RANGE / 2, 127);
    pause_seconds(1.0);
    note_off(port_handle(), 1, 60 + MPE_BEND_RANGE / 2, 127);
    set_pitch_bend(port_handle(), 2, BEND_CENTRE + half_swing);
    pause_seconds(0.5);
    note_on(port_handle(), 2, 60 - MPE_BEND_RANGE / 2, 127);
    pause_seconds(1.0);
    note_off(port_handle(), 2, 60 - MPE_BEND_RANGE / 2, 127);
}

void play_bend_test_notes()
{
    if (tuning_method() == METHOD_MPE) {
        play_member_bend_test_notes();
        return;
    }
    set_pitch_bend(port_handle(), 0, 0.0);
    pause_seconds(0.5);
    note_on(port_handle(), 0, 62, 127);
    pause_seconds(1.0);
    note_off(port_handle(), 0, 62, 127);
    set_pitch_bend(port_handle(), 1, 16383.0);
    pause_seconds(0.5);
    note_on(port_handle(), 1, 58, 127);
    pause_seconds(1.0);
    note_off(port_handle(), 1, 58, 127);
}

int pitch_bend_test(int& recommendation_flag)
{
    static char answer[LINE_BUFFER_SIZE];  // the user's answers

    console_printf("\n\n******Pitch bend range test******\n\n");
    console_printf("You should now hear two notes played.\n\n");
    play_bend_test_notes();
    console_printf("What did you hear?\n\n"
                   "If you hear the same pitch twice, pitch bends are played as desired, answer Y.\n\n"
                   "Otherwise, answer N to see more information and then exit.\n\n"
                   "Keep going (Y or N)?\n");
    input_line(answer, LINE_BUFFER_SIZE);
    trim_line(answer);
    if (upper_ascii(static_cast<unsigned char>(answer[0])) != 'N') {
        recommendation_flag = 0;
        return 1;
    }
    console_printf("If you hear two distinct notes a major third apart then no pitch bends are\n"
                   "played. You may get other intervals depending on the pitch bend range.\n\n"
                   "See if you can adjust the pitch bend range at the sound card or synth.\n"
                   "You want a range of plus or minus two semitones. Alternatively,\n"
                   "use QuicktTime, or install a soft synth such as the Roland or\n"
                   "Yamaha soft synths.\n"
                   "Exit? - just press return to exit, or N if you want to try the test again\n");
    input_line(answer, LINE_BUFFER_SIZE);  // not trimmed: a leading space is an answer other than N
    if (upper_ascii(static_cast<unsigned char>(answer[0])) != 'N')
        return 0;
    console_printf("****Type \"test\" to try the test again***");
    recommendation_flag = 1;
    return 1;
}
