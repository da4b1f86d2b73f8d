// The Windows backend itself, run under wine: WinMM through the seam (on a
// system that may list no port at all), console key events as the dialogue
// receives them, the clock and sleeps, whole files and the home folder, and
// a Ctrl-C delivered through the console's control events. The end-to-end
// tests drive the console reads.
#include "platform/platform.h"
#include "platform/windows/wake_windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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
    const uint8_t tuning[] = {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x45, 0x45, 0x00, 0x00, 0xF7};
    EXPECT_EQ(platform_midi_send_sysex(nullptr, tuning, sizeof tuning), PLATFORM_UNAVAILABLE);
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
        // The centring bend on channel 0 reaches the mapper's synthesizer,
        // and so does a tuning message (key 69 to A440 itself) between two
        // notes; a malformed one is refused before it reaches the driver.
        EXPECT_EQ(platform_midi_send(handle, 0x004000E0u, 2), PLATFORM_OK);
        const uint8_t tuning[] = {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x45, 0x45, 0x00, 0x00, 0xF7};
        const uint8_t unfinished[] = {0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 0x45, 0x45, 0x00, 0x00};
        EXPECT_EQ(platform_midi_send(handle, 0x00404590u, 2), PLATFORM_OK);
        EXPECT_EQ(platform_midi_send_sysex(handle, tuning, sizeof tuning), PLATFORM_OK);
        EXPECT_EQ(platform_midi_send_sysex(handle, unfinished, sizeof unfinished), PLATFORM_UNAVAILABLE);
        EXPECT_EQ(platform_midi_send(handle, 0x00004580u, 2), PLATFORM_OK);
        platform_midi_close(handle);
    } else {
        EXPECT_STREQ(name, "");
        EXPECT_NE(opened, PLATFORM_OK);
        EXPECT_EQ(handle, nullptr);
    }
}

TEST(WinmmInput, DevicesAsListedAndNoPortOfTheProgramsOwn)
{
    // Wine here lists no midiIn device; a Windows with some opens the first.
    int count = platform_midi_in_count();
    EXPECT_GE(count, 0);
    for (int index : {count, count + 3, -5}) {
        char name[32] = "untouched";
        EXPECT_NE(platform_midi_in_name(index, name, sizeof name), PLATFORM_OK) << index;
        EXPECT_STREQ(name, "") << index;
        EXPECT_NE(platform_midi_in_open(index), PLATFORM_OK) << index;
    }
    EXPECT_NE(platform_midi_in_open(PLATFORM_MIDI_IN_OWN_PORT), PLATFORM_OK);
    EXPECT_EQ(windows_midi_event(), nullptr);  // nothing open: the key wait watches no MIDI
    if (count > 0) {
        ASSERT_EQ(platform_midi_in_open(0), PLATFORM_OK);
        EXPECT_NE(windows_midi_event(), nullptr);
        platform_midi_in_listen(true);
        platform_midi_in_listen(false);
        uint32_t message;
        EXPECT_FALSE(platform_midi_in_take(&message));
    }
    platform_midi_in_close();
    platform_midi_in_close();
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

namespace {

std::string answer(const std::string& folder) { return std::to_string(folder.size()) + " " + folder; }

bool is_folder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void write_file(const std::string& path)
{
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE) << path;
    CloseHandle(out);
}

// What platform_folder_files returns, then the names it visited in order.
std::string listing(const std::string& folder)
{
    std::vector<std::string> names;
    int count = platform_folder_files(
        folder.c_str(),
        [](const char* name, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); },
        &names);
    std::string text = std::to_string(count) + ":";
    for (const std::string& name : names)
        text += " [" + name + "]";
    return text;
}

// A fresh folder in the temporary folder, removed with all it holds.
class FolderFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        root = std::string(temp) + "varenta-folders-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    std::string root;
};

}  // namespace

TEST(Files, TheSettingsFolderIsVarentaInTheRoamingApplicationData)
{
    char saved[MAX_PATH] = {};
    GetEnvironmentVariableA("APPDATA", saved, MAX_PATH);
    auto settings = [](int size) {
        char buffer[MAX_PATH];
        int length = platform_settings_folder(buffer, size);
        return std::to_string(length) + " " + buffer;
    };
    const std::string folder = "C:\\users\\ann\\AppData\\Roaming\\varenta";
    SetEnvironmentVariableA("APPDATA", "C:\\users\\ann\\AppData\\Roaming");
    EXPECT_EQ(settings(MAX_PATH), answer(folder));
    EXPECT_EQ(settings(static_cast<int>(folder.size()) + 1), answer(folder));
    EXPECT_EQ(settings(static_cast<int>(folder.size())), "-1 ");  // no room for the terminator
    SetEnvironmentVariableA("APPDATA", "C:\\users\\ann\\AppData\\Roaming\\");
    EXPECT_EQ(settings(MAX_PATH), answer(folder));
    SetEnvironmentVariableA("APPDATA", "D:\\");
    EXPECT_EQ(settings(MAX_PATH), answer("D:\\varenta"));
    SetEnvironmentVariableA("APPDATA", nullptr);
    EXPECT_EQ(settings(MAX_PATH), "-1 ");
    SetEnvironmentVariableA("APPDATA", saved[0] != '\0' ? saved : nullptr);
}

TEST_F(FolderFiles, MakeFoldersMakesEveryMissingFolderAndRefusesAFileInTheWay)
{
    EXPECT_EQ(platform_make_folders((root + "\\a\\b/c").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "\\a\\b\\c"));
    EXPECT_EQ(platform_make_folders((root + "\\a\\b\\c").c_str()), PLATFORM_FILE_OK);  // all there already
    EXPECT_EQ(platform_make_folders((root + "\\a\\\\d\\").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "\\a\\d"));

    write_file(root + "\\file");
    for (const std::string& path : {root + "\\file", root + "\\file\\sub", root + "\\file\\sub\\deeper"})
        EXPECT_EQ(platform_make_folders(path.c_str()), PLATFORM_FILE_UNREADABLE) << path;
    DWORD attributes = GetFileAttributesA((root + "\\file").c_str());
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(platform_make_folders(""), PLATFORM_FILE_UNREADABLE);
}

TEST_F(FolderFiles, FilesOnlyInByteOrderAndNoneWithoutAFolder)
{
    // The file system's own order would be case-blind: a b, A.txt, b.txt, _x.
    for (const char* name : {"b.txt", "A.txt", "_x", "a b"})
        write_file(root + "\\" + name);
    ASSERT_TRUE(CreateDirectoryA((root + "\\sub").c_str(), nullptr));
    write_file(root + "\\sub\\inner.scl");
    const std::string files = "4: [A.txt] [_x] [a b] [b.txt]";
    EXPECT_EQ(listing(root), files);
    EXPECT_EQ(listing(root + "\\"), files);
    EXPECT_EQ(listing(root + "/"), files);
    EXPECT_EQ(listing(root + "\\sub"), "1: [inner.scl]");

    ASSERT_TRUE(CreateDirectoryA((root + "\\empty").c_str(), nullptr));
    for (const std::string& folder : {root + "\\missing", root + "\\missing\\deeper", root + "\\b.txt",
                                      root + "\\empty", std::string()})
        EXPECT_EQ(listing(folder), "0:") << folder;
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
