// The POSIX backend's files on real folders (the unit tests have the fake
// platform instead): the settings folder as the environment names it, making
// folders, and listing a folder's files, in folders of the test's own under
// the temporary folder.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// An environment variable, put back as it was when the test ends.
class SavedVariable {
public:
    explicit SavedVariable(const char* name) : name_(name)
    {
        const char* value = std::getenv(name);
        had_ = value != nullptr;
        value_ = had_ ? value : "";
    }
    ~SavedVariable() { set(had_ ? value_.c_str() : nullptr); }
    void set(const char* value) const
    {
        if (value != nullptr)
            setenv(name_, value, 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    std::string value_;
};

// What platform_settings_folder returns and writes, as "length folder".
std::string settings_folder(int size = 4096)
{
    std::vector<char> buffer(static_cast<size_t>(size) + 1, 'x');
    buffer.back() = '\0';
    int length = platform_settings_folder(buffer.data(), size);
    return std::to_string(length) + " " + buffer.data();
}

std::string answer(const std::string& folder) { return std::to_string(folder.size()) + " " + folder; }

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

void write_file(const std::string& path) { std::ofstream(path) << "! a scale\n"; }

bool is_folder(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A fresh folder under the temporary folder, removed with all it holds.
class PosixFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "varenta-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    std::string root;
};

}  // namespace

TEST(PosixSettingsFolder, XdgConfigHomeWhenAbsoluteElseTheConfigFolderAtHome)
{
    SavedVariable home("HOME");
    SavedVariable config("XDG_CONFIG_HOME");
    home.set("/home/ann");
    const struct {
        const char* config;
        const char* folder;
    } cases[] = {
        {"/srv/conf", "/srv/conf/varenta"},
        {"/srv/conf//", "/srv/conf/varenta"},
        {"/", "/varenta"},
        {nullptr, "/home/ann/.config/varenta"},
        {"", "/home/ann/.config/varenta"},
        {"conf", "/home/ann/.config/varenta"},  // relative: ignored
        {"./conf", "/home/ann/.config/varenta"},
        {"~/conf", "/home/ann/.config/varenta"},  // no shell expanded it
    };
    for (const auto& c : cases) {
        config.set(c.config);
        EXPECT_EQ(settings_folder(), answer(c.folder)) << (c.config != nullptr ? c.config : "unset");
    }

    // The home folder as platform_home_folder has it: no trailing separator.
    config.set(nullptr);
    home.set("/home/ann/");
    EXPECT_EQ(settings_folder(), answer("/home/ann/.config/varenta"));
    home.set("/");
    EXPECT_EQ(settings_folder(), answer("/.config/varenta"));

    // All of it with its terminator, or nothing.
    config.set("/c");
    EXPECT_EQ(settings_folder(11), "10 /c/varenta");
    EXPECT_EQ(settings_folder(10), "-1 ");
    EXPECT_EQ(settings_folder(1), "-1 ");
}

TEST_F(PosixFiles, MakeFoldersMakesEveryMissingFolderAndPassesThoseThere)
{
    EXPECT_EQ(platform_make_folders((root + "/a/b/c").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "/a/b/c"));
    write_file(root + "/a/b/c/kept.scl");
    EXPECT_EQ(platform_make_folders((root + "/a/b/c").c_str()), PLATFORM_FILE_OK);  // all there already
    EXPECT_TRUE(fs::exists(root + "/a/b/c/kept.scl"));

    EXPECT_EQ(platform_make_folders((root + "/a//b/d/").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "/a/b/d"));
    EXPECT_EQ(platform_make_folders((root + "/a/b/c/../e").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "/a/b/e"));

    // A link to a folder is that folder.
    fs::create_directory_symlink(root + "/a", root + "/link");
    EXPECT_EQ(platform_make_folders((root + "/link/f/g").c_str()), PLATFORM_FILE_OK);
    EXPECT_TRUE(is_folder(root + "/a/f/g"));

    EXPECT_EQ(platform_make_folders("/"), PLATFORM_FILE_OK);
}

TEST_F(PosixFiles, MakeFoldersRefusesAFileInTheWay)
{
    write_file(root + "/file");
    fs::create_symlink(root + "/nowhere", root + "/dangling");
    for (const std::string& path : {root + "/file", root + "/file/sub", root + "/file/sub/deeper",
                                    root + "/dangling", root + "/dangling/sub"}) {
        EXPECT_EQ(platform_make_folders(path.c_str()), PLATFORM_FILE_UNREADABLE) << path;
    }
    EXPECT_TRUE(fs::is_regular_file(root + "/file"));
    EXPECT_FALSE(fs::exists(root + "/nowhere"));
    EXPECT_EQ(platform_make_folders(""), PLATFORM_FILE_UNREADABLE);

    // Permissions bind everyone but root.
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir((root + "/locked").c_str(), 0555), 0);
        EXPECT_EQ(platform_make_folders((root + "/locked/sub").c_str()), PLATFORM_FILE_UNREADABLE);
        chmod((root + "/locked").c_str(), 0755);
    }
}

TEST_F(PosixFiles, FolderFilesListsOrdinaryFilesInByteOrder)
{
    for (const char* name : {"b.scl", "B.scl", "a", ".hidden", "a b", "\xC3\xA9t\xC3\xA9.scl", "z~"})
        write_file(root + "/" + name);
    fs::create_directory(root + "/sub");
    write_file(root + "/sub/inner.scl");
    fs::create_directory(root + "/.config");
    fs::create_symlink(root + "/b.scl", root + "/to-file");
    fs::create_directory_symlink(root + "/sub", root + "/to-folder");
    fs::create_symlink(root + "/nowhere", root + "/gone");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);

    // Bytes as unsigned: the accented name after every ASCII one.
    const std::string files = "8: [.hidden] [B.scl] [a] [a b] [b.scl] [to-file] [z~] [\xC3\xA9t\xC3\xA9.scl]";
    EXPECT_EQ(listing(root), files);
    EXPECT_EQ(listing(root + "/"), files);
    EXPECT_EQ(listing(root + "/sub"), "1: [inner.scl]");
    EXPECT_EQ(listing(root + "/to-folder"), "1: [inner.scl]");
}

TEST_F(PosixFiles, FolderFilesOfNoFolderAreNoneAndOfAnUnreadableOneAnError)
{
    write_file(root + "/file");
    fs::create_directory(root + "/empty");
    for (const std::string& folder : {root + "/missing", root + "/missing/deeper", root + "/file",
                                      root + "/file/sub", root + "/empty", std::string()}) {
        EXPECT_EQ(listing(folder), "0:") << folder;
    }

    fs::create_symlink(root + "/loop", root + "/loop");
    EXPECT_EQ(listing(root + "/loop"), "-1:");
    if (geteuid() != 0) {  // root reads every folder
        ASSERT_EQ(mkdir((root + "/locked").c_str(), 0), 0);
        EXPECT_EQ(listing(root + "/locked"), "-1:");
        chmod((root + "/locked").c_str(), 0755);
    }
}
