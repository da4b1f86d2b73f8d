// The dialogue's texts as a user sees them, written out independently of the
// program so that a changed byte shows up as a failure.
#pragma once

#include <string>

namespace expected {

const std::string kBanner = "Test of the Varenta routines.\n\n";

const std::string kMenuHeader =
    "Choose your Midi Out device to use - type its letter to select\n"
    "Or just press return to select the first one.\n\n";

const std::string kTail =
    "\n\nRecommended first time you try a device:\n"
    "Type \"test\" to test the pitch bend range of your sound card / synth.";

inline std::string chord_prompt(bool tail)
{
    return "\n\n****Things you can do at any time****\n\n"
           "To change pitch of 1/1 enter frequency followed by \"hz\"\n"
           "You can use \"0 hz\" to reset to middle c\n"
           "To change voice, enter \"voice\" then the instrument name\n"
           "e.g. \"voice harpsichord\" , to change voice to harpsichord,\n"
           "You can use just part of the instrument name, or it's number.\n"
           "For complete list of voices type \"voices\"\n\n"
           "****Chord test****\n\n"
           "Enter a chord to play in cents or ratios notation as intervals from 1/1\n"
           "Include decimal point for cents (SCALA convention).\n\n"
           "Just press return for the preset of a septimal minor chord 7/6 3/2 2/1\n\n"
           "Type \"next\" to move on to next option, \"start\" to start again or \"exit\" to exit." +
           (tail ? kTail : std::string()) + "\n";
}

inline std::string install_line(char letter)
{
    return std::string(1, letter) + " - How to install QuickTime for Midi apps to use\n";
}

inline std::string selected(char letter, const std::string& name)
{
    return "Device selected:\n" + std::string(1, letter) + " - " + name + "\n";
}

const std::string kInstallMessageStart = "How to install Quicktime for Midi apps:\n\nVisit ";
const std::string kInstallMessageMiddle =
    "\nChoose Custom Instll.\n\nThen choose to install Quicktime Music, and Quicktime for Java.\n\n"
    "If it doesn't let you install Quicktime for Java, then it probably\n\n"
    "means you don't yet have Java 2 runtime Environment installed\n\nYou can get it from\n\n";
const std::string kPressReturn = "Press return to exit.";
const std::string kCouldNotOpen =
    "Couldn't open Midi Out - perhaps it is already in use for another application.\n\nPress return to exit.";
const std::string kInitialising = "\n\nInitialising QuickTime - may take a little while\n";
const std::string kInitialised = "QT initialised okay\n";
const std::string kCouldNotStart = "\n\nCouldn't start up Quicktime\n\n";

const std::string kBendTestStart =
    "\n\n******Pitch bend range test******\n\nYou should now hear two notes played.\n\n"
    "What did you hear?\n\n"
    "If you hear the same pitch twice, pitch bends are played as desired, answer Y.\n\n"
    "Otherwise, answer N to see more information and then exit.\n\n"
    "Keep going (Y or N)?\n";
const std::string kBendTestHelp =
    "If you hear two distinct notes a major third apart then no pitch bends are\n"
    "played. You may get other intervals depending on the pitch bend range.\n\n"
    "See if you can adjust the pitch bend range at the sound card or synth.\n"
    "You want a range of plus or minus two semitones. Alternatively,\n"
    "use QuicktTime, or install a soft synth such as the Roland or\n"
    "Yamaha soft synths.\n"
    "Exit? - just press return to exit, or N if you want to try the test again\n";
const std::string kBendTestAgain = "****Type \"test\" to try the test again***";

}  // namespace expected
