// The remembered settings: what a file gives, what a damaged or hostile one gives (bounded, never half
// applied), what a save writes, where the files live, and the command line winning over what is remembered.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/SettingsFile.h"

namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qparlin-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/qparlin.conf";
    }
    void TearDown() override { fs::remove_all(dir_); }
    void WriteFile(const std::string& text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    }
    RememberedSettings Parse(const std::string& text) { return settings_file::Parse(text, warnings_); }
    // The command line, then what is remembered under it, as the program does.
    Settings Start(const RememberedSettings& remembered, const std::vector<std::string>& args) {
        ParsedCommandLine parsed = ParseCommandLine(args);
        EXPECT_TRUE(parsed.Ok()) << parsed.error;
        Settings settings = parsed.Ok() ? *parsed.settings : Settings{};
        settings_file::Apply(remembered, args, settings, warnings_);
        return settings;
    }

    std::string dir_;
    std::string path_;
    std::vector<std::string> warnings_;
};

TEST_F(SettingsFileTest, AWholeFileGivesEveryValue) {
    const RememberedSettings r = Parse(
        "# comment\r\n"
        "codec = gsm_8khz\r\n"
        "\n"
        "input-device=Built-in Microphone\n"
        "output-device=alsa_output.usb-headset\n"
        "secret=/home/ann/.config/qparlin/office.key\n"
        "direction=receive\n"
        "port=65535\n"
        "host=peer.example.org");
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(r.codecFormat, 0x82);
    EXPECT_EQ(r.inputDevice, "Built-in Microphone");
    EXPECT_EQ(r.outputDevice, "alsa_output.usb-headset");
    EXPECT_EQ(r.secretFile, "/home/ann/.config/qparlin/office.key");
    EXPECT_EQ(r.direction, Direction::Receive);
    EXPECT_EQ(r.port, 65535);
    EXPECT_EQ(r.host, "peer.example.org");
    // A format code as -a takes it, and an empty device name (the system's default).
    const RememberedSettings coded = Parse("codec=0xA4\ninput-device=\nport=0\nhost=2001:db8::1");
    EXPECT_EQ(coded.codecFormat, 0xA4);
    EXPECT_EQ(coded.inputDevice, "");
    EXPECT_EQ(coded.port, 0);
    EXPECT_EQ(coded.host, "2001:db8::1");
    // Opus only with 16-bit samples, as on the command line.
    EXPECT_EQ(Parse("codec=0x87").codecFormat, 0x87);
    EXPECT_EQ(Parse("codec=0x07").codecFormat, std::nullopt);
}

TEST_F(SettingsFileTest, BadValuesAreLeftOutWithAWarningAndTheRestKept) {
    const RememberedSettings r = Parse(
        "port=65536\n"  // one past the last port
        "codec=0x08\n"  // a type with no codec
        "codec=nosuchcodec\n"
        "direction=sideways\n"
        "host=a b\n"
        "colour=green\n"
        "no equals sign\n"
        "secret=/tmp/\x1b[31mkey\n"  // a terminal escape
        "port=-1\n"
        "host=peer\n");
    EXPECT_EQ(r.port, std::nullopt);
    EXPECT_EQ(r.codecFormat, std::nullopt);
    EXPECT_EQ(r.direction, std::nullopt);
    EXPECT_EQ(r.secretFile, std::nullopt);
    EXPECT_EQ(r.host, "peer");
    ASSERT_EQ(warnings_.size(), 8u + 1u);  // eight shown, then how many more
    EXPECT_EQ(warnings_[0], "line 1: port must be a number from 0 to 65535; ignored");
    EXPECT_EQ(warnings_[2], "line 3: no codec is called 'nosuchcodec'; ignored");
    EXPECT_EQ(warnings_[5], "line 6: unknown key 'colour'; kept in the file, unused");
    EXPECT_EQ(warnings_[7], "line 8: control characters in the line; ignored");
    EXPECT_EQ(warnings_[8], "1 more lines ignored");
    // Warnings show no byte of the file that a terminal would act on.
    warnings_.clear();
    Parse("\x1b]0;title\x07=1\nkey\xff\x1b=2\nk\xffy=3\n");
    ASSERT_EQ(warnings_.size(), 3u);
    EXPECT_EQ(warnings_[2], "line 3: unknown key 'k?y'; kept in the file, unused");
    for (const std::string& warning : warnings_)
        for (char c : warning)
            EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F)
                << warning;
}

TEST_F(SettingsFileTest, LinesWithKeysItDoesNotKnowAreWrittenBackAsTheyStandUpTo64) {
    // A newer version's keys survive this one's save, after what this one writes, trimmed as read.
    RememberedSettings r = Parse("video = on\nport=5007\nlayout=wide=2\n");
    EXPECT_EQ(r.port, 5007);
    EXPECT_EQ(r.otherLines, (std::vector<std::string>{"video=on", "layout=wide=2"}));
    r.host = "peer.example.org";
    const std::string text = settings_file::Compose(r);
    EXPECT_NE(text.find("port=5007\nhost=peer.example.org\nvideo=on\nlayout=wide=2\n"), std::string::npos)
        << text;
    warnings_.clear();
    EXPECT_EQ(Parse(text), r) << "a second read gives the same";

    // 64 kept, the 65th only warned about.
    std::string many;
    for (int i = 0; i < 65; ++i)
        many += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    warnings_.clear();
    const RememberedSettings bounded = Parse(many);
    ASSERT_EQ(bounded.otherLines.size(), 64u);
    EXPECT_EQ(bounded.otherLines.back(), "key63=63");
}

TEST_F(SettingsFileTest, LinesAndFilesAreBounded) {
    // A line of 4096 bytes is read; one of 4097 is left out whole.
    const std::string key = "input-device=";
    const RememberedSettings fits =
        Parse(key + std::string(1024, 'm') + std::string(4096 - 1024 - key.size(), ' '));
    EXPECT_EQ(fits.inputDevice, std::string(1024, 'm'));
    warnings_.clear();
    const RememberedSettings longer =
        Parse(key + std::string(1024, 'm') + std::string(4097 - 1024 - key.size(), ' '));
    EXPECT_EQ(longer.inputDevice, std::nullopt);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0], "line 1: longer than 4096 bytes; ignored");

    // A file of 65536 bytes is read; one of 65537 is not this program's and is left unread.
    std::string text = "port=7000\n";
    while (text.size() + 100 <= 65536)
        text += "#" + std::string(98, ' ') + "\n";
    text += std::string(65536 - text.size() - 1, '#') + "\n";
    ASSERT_EQ(text.size(), 65536u);
    WriteFile(text);
    warnings_.clear();
    EXPECT_EQ(settings_file::Load(path_, warnings_).port, 7000);
    EXPECT_TRUE(warnings_.empty());
    WriteFile(text + "\n");
    EXPECT_EQ(settings_file::Load(path_, warnings_), RememberedSettings{});
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0], path_ + ": larger than 64 KiB; nothing remembered used");

    // Ten thousand bad lines give nine warnings.
    warnings_.clear();
    std::string bad;
    for (int i = 0; i < 10000; ++i)
        bad += "x=1\n";
    Parse(bad);
    ASSERT_EQ(warnings_.size(), 9u);
    EXPECT_EQ(warnings_[8], "9992 more lines ignored");
}

TEST_F(SettingsFileTest, MissingSpecialAndBinaryFilesGiveNothingAndNeverBlock) {
    EXPECT_EQ(settings_file::Load(dir_ + "/none", warnings_), RememberedSettings{});
    EXPECT_TRUE(warnings_.empty());  // a first start has no file: nothing to say
    // A FIFO in the file's place would block a plain read until someone writes to it.
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    EXPECT_EQ(settings_file::Load(path_, warnings_), RememberedSettings{});
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0], path_ + ": not a regular file; nothing remembered used");
    fs::remove(path_);
    fs::create_directory(path_);
    warnings_.clear();
    EXPECT_EQ(settings_file::Load(path_, warnings_), RememberedSettings{});
    EXPECT_EQ(warnings_.size(), 1u);
    fs::remove(path_);
    // Random bytes with NULs: no crash, nothing taken.
    std::string noise;
    for (int i = 0; i < 5000; ++i)
        noise.push_back(static_cast<char>((i * 7919) % 256));
    WriteFile(noise);
    warnings_.clear();
    const RememberedSettings r = settings_file::Load(path_, warnings_);
    EXPECT_EQ(r.secretFile, std::nullopt);
    EXPECT_LE(warnings_.size(), 9u);
}

TEST_F(SettingsFileTest, ASaveMakesItsFolderAndReadsBackTheSame) {
    RememberedSettings r;
    r.codecFormat = 0xC5;
    r.inputDevice = "";
    r.outputDevice = "Speakers";
    r.secretFile = "/srv/key";
    r.direction = Direction::Send;
    r.port = 5007;
    r.host = "192.0.2.7";
    const std::string path = dir_ + "/config/qparlin/qparlin.conf";
    std::string problem;
    ASSERT_TRUE(settings_file::Save(path, r, problem)) << problem;
    EXPECT_EQ(fs::status(dir_ + "/config/qparlin").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(settings_file::Load(path, warnings_), r);
    EXPECT_TRUE(warnings_.empty());
    // Nothing left beside the file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/config/qparlin"), fs::directory_iterator()), 1);
    // A save over a file with other values replaces it whole.
    RememberedSettings only;
    only.port = 6000;
    ASSERT_TRUE(settings_file::Save(path, only, problem));
    EXPECT_EQ(settings_file::Load(path, warnings_), only);
}

TEST_F(SettingsFileTest, TheCommandLineWinsOverWhatIsRemembered) {
    RememberedSettings r;
    r.codecFormat = 0x82;  // gsm_8khz
    r.inputDevice = "Mic";
    r.outputDevice = "Phones";
    r.direction = Direction::Send;
    r.port = 6000;
    r.host = "peer.example.org";

    const Settings plain = Start(r, {});
    EXPECT_EQ(plain.codecFormat, 0x82);
    EXPECT_TRUE(plain.codecChosen);
    EXPECT_EQ(plain.inputDeviceName, "Mic");
    EXPECT_EQ(plain.outputDeviceName, "Phones");
    EXPECT_TRUE(plain.sendEnabled);
    EXPECT_FALSE(plain.playEnabled);
    EXPECT_EQ(plain.port, 6000);
    EXPECT_EQ(plain.host, "peer.example.org");

    const Settings given =
        Start(r, {"-A:g711_8khz", "-i:2", "--output-device=USB", "-d:receive", "-c:10.0.0.1:7000:no"});
    EXPECT_EQ(given.codecFormat, 0x85);
    EXPECT_EQ(given.inputDeviceName, "");  // a device number given: the remembered name stays out
    EXPECT_EQ(given.inputDevice, 2);
    EXPECT_EQ(given.outputDeviceName, "USB");
    EXPECT_FALSE(given.sendEnabled);
    EXPECT_TRUE(given.playEnabled);
    EXPECT_EQ(given.port, 7000);
    EXPECT_EQ(given.host, "10.0.0.1");
    // -l gives the port but not the peer.
    const Settings listening = Start(r, {"-l:0:yes"});
    EXPECT_EQ(listening.port, 0);
    EXPECT_EQ(listening.host, "peer.example.org");
    EXPECT_TRUE(warnings_.empty());
}

TEST_F(SettingsFileTest, ARememberedValueThatClashesWithTheCommandLineIsLeftOut) {
    RememberedSettings r;
    r.codecFormat = 0x87;  // opus
    r.secretFile = "/srv/key";
    const Settings sessionOff = Start(r, {"--session=off"});
    EXPECT_EQ(sessionOff.codecFormat, 0xA4);
    EXPECT_FALSE(sessionOff.codecChosen);
    EXPECT_EQ(sessionOff.secretFile, "") << "a private call needs a session";
    const Settings describing = Start(r, {"--write-sdp=/tmp/call.sdp", "--encrypt=off"});
    EXPECT_EQ(describing.secretFile, "");
    EXPECT_EQ(describing.codecFormat, 0x87);
    ASSERT_EQ(warnings_.size(), 3u);
    EXPECT_EQ(warnings_[0],
              "the remembered codec opus needs a session; --session=off keeps the default codec");
    EXPECT_EQ(warnings_[1],
              "the remembered secret is not used: a private call needs a session, and "
              "--session=off leaves none");
    // Without them both apply.
    warnings_.clear();
    const Settings plain = Start(r, {});
    EXPECT_EQ(plain.codecFormat, 0x87);
    EXPECT_EQ(plain.secretFile, "/srv/key");
}

TEST_F(SettingsFileTest, TheFoldersFollowXdgAndTheAddressBookStaysInAWorkingDirectoryThatHasOne) {
    const std::string home = dir_ + "/home";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/cfg").c_str(), 1);
    setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored, as the rules say
    EXPECT_EQ(settings_file::Path(), dir_ + "/cfg/qparlin/qparlin.conf");
    EXPECT_EQ(settings_file::DataDirectory(), home + "/.local/share/qparlin");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(settings_file::ConfigDirectory(), home + "/.config/qparlin");

    const fs::path before = fs::current_path();
    fs::create_directories(dir_ + "/work");
    fs::current_path(dir_ + "/work");
    // No contacts.txt here: the data folder's, which is made.
    EXPECT_EQ(settings_file::ContactsPath(), home + "/.local/share/qparlin/contacts.txt");
    EXPECT_TRUE(fs::is_directory(home + "/.local/share/qparlin"));
    std::ofstream("contacts.txt") << "";
    EXPECT_EQ(settings_file::ContactsPath(), "contacts.txt");
    fs::current_path(before);
}

}  // namespace
