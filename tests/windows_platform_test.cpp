// The Windows backend itself, run under wine: WinMM through the seam (on a
// system that may list no port at all), console key events as the dialogue
// receives them, the clock and sleeps, whole files and the home folder, and
// a Ctrl-C delivered through the console's control events. The end-to-end
// tests drive the console reads.
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(WinmmOutput, DeviceIdsThatNameNoPortFailAndChangeNothing)
{
    int count = platform_midi_port_count();
    EXPECT_GE(count, 0);
    for (int id : {count, count + 5, -2}) {
        char name[32] = "untouched";
        EXPECT_EQ(platform_midi_port_name(id, name, sizeof name), PLATFORM_BAD_DEVICE) << id;
        EXPECT_STREQ(name, "") << id;
        PortHandle before = reinterpret_cast<PortHandle>(name);
        PortHandle handle = before;
        EXPECT_NE(platform_midi_open(id, &handle), PLATFORM_OK) << id;
        EXPECT_EQ(handle, before) << id;
    }
    EXPECT_EQ(platform_midi_send(nullptr, 0x007F3C93u, 2), PLATFORM_UNAVAILABLE);
    platform_midi_close(nullptr);
}

TEST(WinmmOutput, TheMapperIsNamedExactlyWhenItOpens)
{
    char name[64] = "untouched";
    int named = platform_midi_port_name(PLATFORM_DEFAULT_SYNTH, name, sizeof name);
    PortHandle handle = nullptr;
    int opened = platform_midi_open(PLATFORM_DEFAULT_SYNTH, &handle);
    if (named == PLATFORM_OK) {
        EXPECT_STRNE(name, "");
        ASSERT_EQ(opened, PLATFORM_OK);
        // The centring bend on channel 0 reaches the mapper's synthesizer.
        EXPECT_EQ(platform_midi_send(handle, 0x004000E0u, 2), PLATFORM_OK);
        platform_midi_close(handle);
    } else {
        EXPECT_STREQ(name, "");
        EXPECT_NE(opened, PLATFORM_OK);
        EXPECT_EQ(handle, nullptr);
    }
}

namespace {

KEY_EVENT_RECORD key_event(char ascii, WORD virtual_key, WORD scan, DWORD state = 0, BOOL down = TRUE)
{
    KEY_EVENT_RECORD key = {};
    key.bKeyDown = down;
    key.wRepeatCount = 1;
    key.wVirtualKeyCode = virtual_key;
    key.wVirtualScanCode = scan;
    key.uChar.AsciiChar = ascii;
    key.dwControlKeyState = state;
    return key;
}

// The keystroke as "byte" or "lead,scan", or "none".
std::string keystroke(const KEY_EVENT_RECORD& key)
{
    int lead = -1, scan = -1;
    switch (windows_key_bytes(key, &lead, &scan)) {
    case 0: return "none";
    case 1: return std::to_string(lead);
    default: return std::to_string(lead) + "," + std::to_string(scan);
    }
}

}  // namespace

TEST(ConsoleKeys, CharactersOneByteSpecialKeysLeadAndScanModifiersNothing)
{
    const struct {
        KEY_EVENT_RECORD key;
        const char* keystroke;
    } cases[] = {
        {key_event('a', 'A', 30), "97"},
        {key_event('\r', VK_RETURN, 28), "13"},
        {key_event(27, VK_ESCAPE, 1), "27"},
        {key_event(static_cast<char>(0xE9), 0, 0), "233"},  // typed in the input code page
        {key_event('a', 'A', 30, 0, FALSE), "none"},         // released
        {key_event(0, VK_UP, 72, ENHANCED_KEY), "224,72"},
        {key_event(0, VK_DELETE, 83, ENHANCED_KEY), "224,83"},
        {key_event(0, VK_UP, 72), "0,72"},  // the keypad's 8 without Num Lock
        {key_event(0, VK_F1, 59), "0,59"},
        {key_event(0, VK_F10, 68), "0,68"},
        {key_event(0, VK_F11, 87), "224,133"},
        {key_event(0, VK_F12, 88), "224,134"},
        {key_event(0, VK_SHIFT, 42), "none"},
        {key_event(0, VK_CONTROL, 29, ENHANCED_KEY), "none"},
        {key_event(0, VK_CAPITAL, 58), "none"},
        {key_event(0, VK_PACKET, 0), "none"},  // text from an input method, no key
    };
    for (const auto& c : cases)
        EXPECT_EQ(keystroke(c.key), c.keystroke) << c.key.wVirtualKeyCode;
}

TEST(Clock, SleepsLastTheirMillisecondsByTheClock)
{
    uint32_t before = platform_clock_ms();
    platform_sleep_ms(30);
    uint32_t slept = platform_clock_ms() - before;
    EXPECT_GE(slept, 29u);  // the clock counts whole milliseconds
}

TEST(Files, WholeFilesAndWhyOthersCannotBeRead)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    const std::string folder = std::string(temp) + "varenta-files-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string file = folder + "\\scale.scl";
    const std::string text = "! s\r\n1\r\n2/1\r\n";
    HANDLE out = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(out);

    char buffer[64];
    size_t length = 99;
    EXPECT_EQ(platform_file_read(file.c_str(), buffer, text.size(), &length), PLATFORM_FILE_OK);
    EXPECT_EQ(std::string(buffer, length), text);  // byte for byte, CR LF kept
    EXPECT_EQ(platform_file_read((folder + "/scale.scl").c_str(), buffer, sizeof buffer, &length), PLATFORM_FILE_OK);
    EXPECT_EQ(platform_file_read(file.c_str(), buffer, text.size() - 1, &length), PLATFORM_FILE_TOO_LARGE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(platform_file_read(folder.c_str(), buffer, sizeof buffer, &length), PLATFORM_FILE_FOLDER);
    EXPECT_EQ(platform_file_read((folder + "\\missing.scl").c_str(), buffer, sizeof buffer, &length),
              PLATFORM_FILE_MISSING);
    EXPECT_EQ(platform_file_read((folder + "\\none\\x.scl").c_str(), buffer, sizeof buffer, &length),
              PLATFORM_FILE_MISSING);
    EXPECT_EQ(platform_file_read("NUL", buffer, sizeof buffer, &length), PLATFORM_FILE_UNREADABLE);
    DeleteFileA(file.c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST(Files, TheHomeFolderIsTheProfileWithoutItsLastSeparator)
{
    char saved[3][MAX_PATH] = {};
    const char* const names[] = {"USERPROFILE", "HOMEDRIVE", "HOMEPATH"};
    for (int i = 0; i < 3; ++i)
        GetEnvironmentVariableA(names[i], saved[i], MAX_PATH);
    auto home = [](int size) {
        char buffer[MAX_PATH];
        int length = platform_home_folder(buffer, size);
        return std::to_string(length) + " " + buffer;
    };
    SetEnvironmentVariableA("USERPROFILE", "C:\\users\\ann\\");
    EXPECT_EQ(home(MAX_PATH), "12 C:\\users\\ann");
    EXPECT_EQ(home(12), "-1 ");  // no room for the terminator
    SetEnvironmentVariableA("USERPROFILE", "C:\\");
    EXPECT_EQ(home(MAX_PATH), "3 C:\\");
    SetEnvironmentVariableA("USERPROFILE", nullptr);
    SetEnvironmentVariableA("HOMEDRIVE", "D:");
    SetEnvironmentVariableA("HOMEPATH", "\\home\\bo");
    EXPECT_EQ(home(MAX_PATH), "10 D:\\home\\bo");
    SetEnvironmentVariableA("HOMEPATH", nullptr);
    EXPECT_EQ(home(MAX_PATH), "-1 ");
    for (int i = 0; i < 3; ++i)
        SetEnvironmentVariableA(names[i], saved[i][0] != '\0' ? saved[i] : nullptr);
}

// Last in this file: a request to end cannot be taken back.
TEST(EndRequests, CtrlCCutsASleepShortAndStopsEveryRead)
{
    // Under ctest there is no console to send the event through: make one.
    if (GetConsoleWindow() == nullptr)
        AllocConsole();
    platform_watch_end_requests();
    ASSERT_EQ(platform_end_request(), 0);
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    uint32_t before = platform_clock_ms();
    platform_sleep_ms(20000);
    EXPECT_LT(platform_clock_ms() - before, 10000u);  // woken by the request, not the time
    EXPECT_EQ(platform_end_request(), PLATFORM_REQUEST_INTERRUPT);

    before = platform_clock_ms();
    platform_sleep_ms(20000);
    EXPECT_LT(platform_clock_ms() - before, 10000u);
    char line[16];
    EXPECT_EQ(platform_console_read_line(line, sizeof line), -1);
    EXPECT_EQ(platform_console_read_key(), -1);
    EXPECT_EQ(platform_console_read_char(), -1);
}
