// Kept calibrations; see store.h.
#include "calibration/store.h"

#include "calibration/correction.h"
#include "console/console.h"
#include "platform/platform.h"

#include <cstring>
#include <vector>

namespace {

constexpr const char* kFolder = "calibrations";
constexpr const char* kSuffix = ".json";
constexpr size_t kLargestFile = 4 << 20;  // far beyond the 128 voices of a whole synthesizer

bool ignored = false;

std::string folder()
{
    char settings[1024];
    if (platform_settings_folder(settings, sizeof settings) < 0)
        return std::string();
    return std::string(settings) + PLATFORM_PATH_SEPARATOR + kFolder;
}

bool kept_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '.' ||
           c == '-' || c == '_';
}

// Reads a calibration file; false with the reason when it cannot be used
// (an empty reason: there is no such file).
bool read_calibration(const std::string& path, const char* device, Calibration* calibration, std::string* reason)
{
    std::vector<char> bytes(kLargestFile);
    size_t length = 0;
    const int result = platform_file_read(path.c_str(), bytes.data(), bytes.size(), &length);
    reason->clear();
    if (result == PLATFORM_FILE_MISSING)
        return false;
    if (result == PLATFORM_FILE_TOO_LARGE) {
        *reason = "larger than any calibration";
        return false;
    }
    if (result != PLATFORM_FILE_OK) {
        *reason = "cannot be read";
        return false;
    }
    return calibration_from_json(std::string(bytes.data(), length), device, calibration, reason);
}

}  // namespace

std::string calibration_path(const char* device)
{
    const std::string calibrations = folder();
    if (calibrations.empty())
        return std::string();
    std::string name(device);
    for (char& c : name) {
        if (!kept_character(c))
            c = '_';
    }
    return calibrations + PLATFORM_PATH_SEPARATOR + name + kSuffix;
}

std::string keep_calibration(const Calibration& calibration)
{
    const std::string path = calibration_path(calibration.device.c_str());
    if (path.empty()) {
        error_printf("%s: no settings folder to keep the calibration in\n", PROGRAM_NAME);
        return std::string();
    }
    const std::string text = calibration_json(calibration);
    if (platform_make_folders(folder().c_str()) != PLATFORM_FILE_OK ||
        platform_file_write(path.c_str(), text.data(), text.size()) != PLATFORM_FILE_OK) {
        error_printf("%s: cannot write the calibration '%s'\n", PROGRAM_NAME, path.c_str());
        return std::string();
    }
    return path;
}

void ignore_calibrations(bool ignore) { ignored = ignore; }

bool use_device_calibration(const char* device)
{
    drop_calibration();
    if (ignored)
        return false;
    const std::string path = calibration_path(device);
    if (path.empty())
        return false;
    Calibration calibration;
    std::string reason;
    if (!read_calibration(path, device, &calibration, &reason)) {
        // A device without a calibration plays exactly as it always has.
        if (!reason.empty())
            error_printf("%s: calibration '%s' refused: %s; playing uncalibrated\n", PROGRAM_NAME, path.c_str(),
                     reason.c_str());
        return false;
    }
    use_calibration(calibration);
    console_printf("Calibrated on %s: %s\n", calibration.date.c_str(), calibration_summary(calibration).c_str());
    return true;
}

int list_calibrations()
{
    const std::string calibrations = folder();
    std::vector<std::string> names;
    const int count = calibrations.empty()
                          ? 0
                          : platform_folder_files(
                                calibrations.c_str(),
                                [](const char* name, void* context) {
                                    const size_t length = std::strlen(name), suffix = std::strlen(kSuffix);
                                    if (length > suffix && std::strcmp(name + length - suffix, kSuffix) == 0)
                                        static_cast<std::vector<std::string>*>(context)->push_back(name);
                                },
                                &names);
    if (count < 0) {
        error_printf("%s: cannot read the calibrations in '%s'\n", PROGRAM_NAME, calibrations.c_str());
        return 1;
    }
    console_printf("Calibrations in %s (%d):\n", calibrations.empty() ? "no settings folder" : calibrations.c_str(),
                   static_cast<int>(names.size()));
    for (const std::string& name : names) {
        Calibration calibration;
        std::string reason;
        if (read_calibration(calibrations + PLATFORM_PATH_SEPARATOR + name, nullptr, &calibration, &reason))
            console_printf("  %s\n    calibrated on %s: %s\n", calibration.device.c_str(), calibration.date.c_str(),
                           calibration_summary(calibration).c_str());
        else
            console_printf("  %s\n    refused: %s\n", name.c_str(), reason.c_str());
    }
    if (names.empty())
        console_printf("  none: %s --calibrate DEVICE --audio-in SOURCE makes one\n", PROGRAM_NAME);
    console_printf("Deleting a device's file removes its calibration.\n");
    return 0;
}

void calibration_reset()
{
    drop_calibration();
    ignored = false;
}
