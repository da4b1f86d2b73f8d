// Key tunings that ship with the program; see shipped_tunings.h.
#include "bridge/shipped_tunings.h"

#define XXH_INLINE_ALL  // the hash compiled in: no library to load beside the bridge
#include <xxhash.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <locale>
#include <sstream>

namespace {

constexpr const char* kMagic = "varenta-tunings";
constexpr int kVersion = 1;

// The identity line of the table in file: false when it is not a table of
// this version.
bool read_identity(std::istream& in, uint64_t* bytes, uint64_t* hash)
{
    std::string magic, word, hex;
    int version = 0;
    std::string line;
    if (!std::getline(in, line))
        return false;
    std::istringstream first(line);
    first.imbue(std::locale::classic());
    if (!(first >> magic >> version) || magic != kMagic || version != kVersion || !std::getline(in, line))
        return false;
    std::istringstream second(line);
    second.imbue(std::locale::classic());
    if (!(second >> word >> *bytes >> hex) || word != "soundfont" || hex.size() != 16 ||
        hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    *hash = std::stoull(hex, nullptr, 16);
    return true;
}

// The corrections of the rest of the table applied to tunings (the
// SoundFont's presets as stated); false at the first line that does not fit.
bool apply_corrections(std::istream& in, std::vector<PresetTuning>* tunings)
{
    std::vector<PresetTuning*> by_preset(128 * 128, nullptr);  // [bank * 128 + program]
    for (PresetTuning& t : *tunings)
        by_preset[t.bank * 128 + t.program] = &t;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        int bank = -1, program = -1, key = -1, heard = -1;
        double offset = NAN;
        std::string rest;
        if (!(fields >> bank >> program >> key >> offset >> heard) || (fields >> rest) || bank < 0 || bank > 127 ||
            program < 0 || program > 127 || key < 0 || key >= SOUNDFONT_KEYS || (heard != 0 && heard != 1) ||
            !(std::fabs(offset) <= LOOP_OFFSET_LIMIT_CENTS))
            return false;
        PresetTuning* t = by_preset[bank * 128 + program];
        if (t == nullptr || !t->sounding[key])
            return false;
        t->corrected[key] = true;
        t->offset_cents[key] = offset;
        t->heard[key] = heard == 1;
    }
    return true;
}

}  // namespace

bool soundfont_identity(const char* path, uint64_t* bytes, uint64_t* hash)
{
    int fd = path == nullptr ? -1 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    void* mapped = MAP_FAILED;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED)
        return false;
    *bytes = static_cast<uint64_t>(info.st_size);
    *hash = XXH3_64bits(mapped, static_cast<size_t>(info.st_size));
    munmap(mapped, static_cast<size_t>(info.st_size));
    return true;
}

std::string shipped_tunings_text(const std::vector<PresetTuning>& tunings, uint64_t bytes, uint64_t hash,
                                 const std::string& name)
{
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "%s %d\nsoundfont %" PRIu64 " %016" PRIx64 " %s\n", kMagic, kVersion, bytes,
                  hash, name.c_str());
    text += line;
    text += "# bank program key offset_cents heard\n";
    for (const PresetTuning& t : tunings) {
        for (int key = 0; key < SOUNDFONT_KEYS; ++key) {
            if (!t.corrected[key])
                continue;
            std::snprintf(line, sizeof line, "%d %d %d %.6f %d\n", t.bank, t.program, key, t.offset_cents[key],
                          t.heard[key] ? 1 : 0);
            text += line;
        }
    }
    return text;
}

bool soundfont_tunings_shipped(const char* path, double raise_cents, const std::string& directory,
                               std::vector<PresetTuning>* tunings)
{
    tunings->clear();
    struct stat info;
    DIR* dir = directory.empty() || path == nullptr || stat(path, &info) != 0 ? nullptr : opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    std::vector<std::string> tables;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string suffix = SHIPPED_TUNINGS_SUFFIX;
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            tables.push_back(directory + "/" + name);
    }
    closedir(dir);
    std::sort(tables.begin(), tables.end());

    bool hashed = false;
    uint64_t bytes = 0, hash = 0;
    for (const std::string& table : tables) {
        std::ifstream in(table);
        uint64_t table_bytes = 0, table_hash = 0;
        if (!read_identity(in, &table_bytes, &table_hash) || table_bytes != static_cast<uint64_t>(info.st_size))
            continue;
        if (!hashed && !soundfont_identity(path, &bytes, &hash))
            return false;
        hashed = true;
        if (bytes != table_bytes || hash != table_hash)
            continue;
        SoundFontPresets presets;
        if (!presets.open(path))
            return false;
        for (size_t i = 0; i < presets.count(); ++i)
            tunings->push_back(presets.stated(i));
        if (!apply_corrections(in, tunings)) {
            tunings->clear();
            return false;
        }
        set_tuning_raise(raise_cents, tunings);
        return true;
    }
    return false;
}
