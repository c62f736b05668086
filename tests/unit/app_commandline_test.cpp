// The command line: each option's effect, every kind of bad argument refused whole, and the help text.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "audio/CodecRegistry.h"

extern const char kHelpText[];
extern const unsigned long kHelpTextLength;

namespace {

Settings ParseOk(const std::vector<std::string>& args) {
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.Ok()) << parsed.error;
    return parsed.settings.value_or(Settings{});
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(CommandLineTest, NoArgumentsGiveTheDefaults) {
    const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>{});
    ASSERT_TRUE(parsed.Ok());
    EXPECT_EQ(parsed.action, CommandAction::Run);
    const Settings& s = *parsed.settings;
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 5007);
    EXPECT_EQ(s.codecFormat, 164);
    EXPECT_EQ(s.inputDevice, -1);
    EXPECT_EQ(s.outputDevice, -1);
    EXPECT_TRUE(s.sendEnabled && s.playEnabled);
    EXPECT_FALSE(s.autoConnect || s.autoListen || s.headless);
    EXPECT_EQ(s.audioBackend, AudioBackend::Auto);
    EXPECT_TRUE(s.inputWav.empty() && s.outputWav.empty() && s.bannerServerHost.empty());
    EXPECT_EQ(s.bannerServerPort, 80);
}

TEST(CommandLineTest, ClassicOptionsSetTheirSettings) {
    Settings s = ParseOk({"-l:5005:yes"});
    EXPECT_EQ(s.port, 5005);
    EXPECT_TRUE(s.autoListen);
    s = ParseOk({"-l:5005:no"});
    EXPECT_EQ(s.port, 5005);
    EXPECT_FALSE(s.autoListen);

    s = ParseOk({"-c:peer.example.org:6000:yes"});
    EXPECT_EQ(s.host, "peer.example.org");
    EXPECT_EQ(s.port, 6000);
    EXPECT_TRUE(s.autoConnect);
    EXPECT_EQ(ParseOk({"-c:192.168.0.1:1:no"}).port, 1);

    s = ParseOk({"-i:0", "-o:3"});
    EXPECT_EQ(s.inputDevice, -1);
    EXPECT_EQ(s.outputDevice, 3);
    s = ParseOk({"-i:255", "-o:0"});
    EXPECT_EQ(s.inputDevice, 255);
    EXPECT_EQ(s.outputDevice, -1);

    s = ParseOk({"-d:send"});
    EXPECT_FALSE(s.playEnabled);
    EXPECT_TRUE(s.sendEnabled);
    s = ParseOk({"-d:receive"});
    EXPECT_TRUE(s.playEnabled);
    EXPECT_FALSE(s.sendEnabled);

    EXPECT_EQ(ParseOk({"-l:65535:no"}).port, 65535);
    EXPECT_EQ(ParseOk({"-l:005005:no"}).port, 5005);
}

TEST(CommandLineTest, CodecNamesAndNumbers) {
    const std::vector<std::pair<std::string, int>> names = {
        {"ilbc_8khz", 0x84}, {"ilbc_11khz", 0xA4}, {"ilbc_22khz", 0xC4},
        {"g711_8khz", 0x85}, {"g711_11khz", 0xA5}, {"g711_22khz", 0xC5},
        {"gsm_8khz", 0x82},  {"gsm_11khz", 0xA2},  {"gsm_22khz", 0xC2}};
    for (const auto& [name, code] : names) {
        EXPECT_EQ(FormatCodeOfName(name), code) << name;
        EXPECT_EQ(ParseOk({"-a:" + name}).codecFormat, code) << name;
    }
    EXPECT_EQ(ParseOk({"-a:0"}).codecFormat, 0);
    EXPECT_EQ(ParseOk({"-a:230"}).codecFormat, 230);  // LPC-10 with every flag
    EXPECT_EQ(ParseOk({"-a:0x85"}).codecFormat, 0x85);
    EXPECT_EQ(ParseOk({"-a:0XE6"}).codecFormat, 0xE6);
    for (const char* bad : {"256", "0x100", "0x", "-1", "+5", " 5", "0x-1", "ilbc", "99999999999999999999"}) {
        EXPECT_FALSE(ParseCodecField(bad)) << bad;
    }
    EXPECT_FALSE(FormatCodeOfName("132"));  // names only
    EXPECT_EQ(ParseFormatOption("-A:gsm_8khz"), 0x82);
    EXPECT_FALSE(ParseFormatOption("-l:gsm_8khz"));
    EXPECT_FALSE(ParseFormatOption("gsm_8khz"));
}

TEST(CommandLineTest, AFormatCodeWhoseTypeHasNoCodecIsRefused) {
    // A number in range is still refused when no codec stands at its type: the window would listen for
    // a call it could never carry.
    for (const std::string code : {"255", "0xFF", "0x1F", "31", "0x9F", "0x0E"}) {
        const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>{"-a:" + code});
        ASSERT_FALSE(parsed.Ok()) << code;
        EXPECT_NE(parsed.error.find("has no codec"), std::string::npos) << parsed.error;
        EXPECT_NE(parsed.error.find(code), std::string::npos) << parsed.error;
    }
}

TEST(CommandLineTest, OpusIsTakenOnlyWith16BitSamples) {
    // Type 7 is Opus; without 0x80 no session would ever agree it.
    for (const std::string code : {"0x07", "7", "0x27", "0x67"}) {
        const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>{"-a:" + code});
        ASSERT_FALSE(parsed.Ok()) << code;
        EXPECT_NE(parsed.error.find("8-bit samples"), std::string::npos) << parsed.error;
    }
    EXPECT_EQ(ParseOk({"-a:0x87"}).codecFormat, 0x87);
    EXPECT_EQ(ParseOk({"-a:0xA7"}).codecFormat, 0xA7);
}

TEST(CommandLineTest, LettersAndKeywordsInAnyCase) {
    const Settings s = ParseOk({"-A:GSM_11KHZ", "-L:7000:YES", "-C:MyHost:7001:Yes", "-D:Receive", "-I:2"});
    EXPECT_EQ(s.codecFormat, 0xA2);
    EXPECT_TRUE(s.autoListen && s.autoConnect);
    EXPECT_EQ(s.host, "MyHost");  // the host is kept as typed
    EXPECT_EQ(s.port, 7001);
    EXPECT_FALSE(s.sendEnabled);
    EXPECT_EQ(s.inputDevice, 2);
    EXPECT_FALSE(ParseOk({"-d:SEND"}).playEnabled);
    EXPECT_EQ(ParseOk({"--audio=NULL"}).audioBackend, AudioBackend::Null);
}

TEST(CommandLineTest, LaterOptionsWinAndBothAutoFlagsAreKept) {
    Settings s = ParseOk({"-l:5005:yes", "-c:10.0.0.1:6006:yes"});
    EXPECT_EQ(s.port, 6006);
    EXPECT_TRUE(s.autoListen && s.autoConnect);
    s = ParseOk({"-c:10.0.0.1:6006:yes", "-l:5005:yes"});
    EXPECT_EQ(s.port, 5005);
    EXPECT_EQ(s.host, "10.0.0.1");
    EXPECT_TRUE(s.autoListen && s.autoConnect);
    s = ParseOk({"-a:gsm_8khz", "-a:g711_22khz", "-l:1:yes", "-l:2:no", "-d:send", "-d:receive"});
    EXPECT_EQ(s.codecFormat, 0xC5);
    EXPECT_EQ(s.port, 2);
    EXPECT_FALSE(s.autoListen);
    EXPECT_FALSE(s.playEnabled || s.sendEnabled);  // each -d mutes its own direction
}

TEST(CommandLineTest, LongOptions) {
    Settings s = ParseOk({"--headless", "--audio=null", "--banner-server=banners.test:8080"});
    EXPECT_TRUE(s.headless);
    EXPECT_EQ(s.audioBackend, AudioBackend::Null);
    EXPECT_EQ(s.bannerServerHost, "banners.test");
    EXPECT_EQ(s.bannerServerPort, 8080);
    EXPECT_EQ(ParseOk({"--banner-server=127.0.0.1"}).bannerServerPort, 80);
    s = ParseOk({"--banner-server=[2001:db8::1]:8080"});
    EXPECT_EQ(s.bannerServerHost, "2001:db8::1");
    EXPECT_EQ(s.bannerServerPort, 8080);
    s = ParseOk({"--banner-server=[::1]"});
    EXPECT_EQ(s.bannerServerHost, "::1");
    EXPECT_EQ(s.bannerServerPort, 80);

    s = ParseOk({"--input-wav=in.wav", "--output-wav=/tmp/out file.wav"});
    EXPECT_EQ(s.audioBackend, AudioBackend::File);  // the paths alone choose the file backend
    EXPECT_EQ(s.inputWav, "in.wav");
    EXPECT_EQ(s.outputWav, "/tmp/out file.wav");
    EXPECT_EQ(ParseOk({"--output-wav=o.wav", "--audio=file"}).audioBackend, AudioBackend::File);
    EXPECT_EQ(ParseOk({"--audio=null", "--audio=portaudio"}).audioBackend, AudioBackend::PortAudio);
    // Paths with another backend are refused, whichever comes first.
    EXPECT_NE(ParseCommandLine({"--audio=null", "--input-wav=i.wav"}).error.find("--input-wav="),
              std::string::npos);
    EXPECT_NE(ParseCommandLine({"--output-wav=o.wav", "--audio=portaudio"}).error.find("--output-wav="),
              std::string::npos);
}

TEST(CommandLineTest, SoundServerBackendsAndDevicesByName) {
    EXPECT_EQ(ParseOk({"--audio=pulse"}).audioBackend, AudioBackend::Pulse);
    EXPECT_EQ(ParseOk({"--audio=Pulse", "--audio=auto"}).audioBackend, AudioBackend::Auto);
    EXPECT_STREQ(AudioBackendName(AudioBackend::Auto), "auto");
    EXPECT_STREQ(AudioBackendName(AudioBackend::Pulse), "pulse");
    EXPECT_EQ(ParseOk({"--audio=PipeWire"}).audioBackend, AudioBackend::PipeWire);
    EXPECT_STREQ(AudioBackendName(AudioBackend::PipeWire), "pipewire");
    EXPECT_NE(ParseCommandLine({"--audio=pipewire2"}).error.find("pipewire"), std::string::npos);
    const Settings s = ParseOk({"--input-device=qp_sink.monitor", "--output-device=USB Headset", "-o:2"});
    EXPECT_EQ(s.inputDeviceName, "qp_sink.monitor");
    EXPECT_EQ(s.outputDeviceName, "USB Headset");
    EXPECT_EQ(s.outputDevice, 2);  // a number still chooses by number
    EXPECT_EQ(ParseOk({"--input-device=" + std::string(1024, 'd')}).inputDeviceName.size(), 1024u);
    for (const std::string& bad :
         {std::string("--input-device="), std::string("--output-device"),
          "--output-device=" + std::string(1025, 'd'), std::string("--audio=pipe")}) {
        const ParsedCommandLine parsed = ParseCommandLine({bad});
        EXPECT_FALSE(parsed.Ok()) << bad;
        EXPECT_EQ(parsed.error.rfind("qparlin: ", 0), 0u) << bad;
    }
    // With WAV paths the file backend stands, and a sound server is refused beside them.
    EXPECT_EQ(ParseOk({"--input-wav=i.wav"}).audioBackend, AudioBackend::File);
    EXPECT_FALSE(ParseCommandLine({"--input-wav=i.wav", "--audio=pulse"}).Ok());
}

TEST(CommandLineTest, SecretOptionsTakeAPathAndMakeSecretIsAnAction) {
    EXPECT_EQ(ParseOk({}).secretFile, "");
    EXPECT_EQ(ParseOk({"--secret=/home/a/call.key"}).secretFile, "/home/a/call.key");
    const ParsedCommandLine made = ParseCommandLine({"--make-secret=new.key"});
    ASSERT_TRUE(made.Ok());
    EXPECT_EQ(made.action, CommandAction::MakeSecret);
    EXPECT_EQ(made.settings->makeSecretFile, "new.key");
    EXPECT_EQ(ParseCommandLine({"--make-secret=k", "--help"}).action, CommandAction::Help);
    for (const std::string bad : {"--secret", "--secret=", "--make-secret", "--make-secret="})
        EXPECT_NE(ParseCommandLine({bad}).error.find("needs a value, as in --"), std::string::npos) << bad;
    EXPECT_NE(ParseCommandLine({"--secret=" + std::string(5000, 'p')}).error.find("too long"),
              std::string::npos);
}

TEST(CommandLineTest, ActionsNeedTheRestToParse) {
    EXPECT_EQ(ParseCommandLine({"-l:1:yes", "--help"}).action, CommandAction::Help);
    EXPECT_EQ(ParseCommandLine({"--version"}).action, CommandAction::Version);
    EXPECT_EQ(ParseCommandLine({"--list-devices", "--audio=null"}).action, CommandAction::ListDevices);
    EXPECT_EQ(ParseCommandLine({"--list-devices", "--version", "--help"}).action, CommandAction::Help);
    EXPECT_EQ(ParseCommandLine({"--list-devices", "--version"}).action, CommandAction::Version);
    EXPECT_FALSE(ParseCommandLine({"--help", "-x"}).Ok());
    EXPECT_FALSE(ParseCommandLine({"--version=1"}).Ok());
}

TEST(CommandLineTest, EveryBadArgumentIsRefusedWithOneLineNamingIt) {
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> bad = {
        // argument, a word the problem must mention
        {"-x", "unknown option"}, {"-x:1", "unknown option"}, {"-lx:1:yes", "unknown option"},
        {"--colour", "unknown option"}, {"--", "unknown option"}, {"--HELP", "unknown option"},
        {"-l", "missing"}, {"-l:5005", "missing"}, {"-c:host:5005", "missing"}, {"-a", "missing"},
        {"-l:5005:yes:1", "too many"}, {"-a:gsm_8khz:x", "too many"}, {"-d:send:", "too many"},
        {"-c::5005:yes", "host"}, {"-c:bad/host:5005:yes", "host"},
        {"-c:" + std::string(254, 'h') + ":1:yes", "host"},
        {"-l:99999:yes", "port"}, {"-l:65536:yes", "port"}, {"-l:-1:yes", "port"}, {"-l:+1:yes", "port"},
        {"-l: 5005:yes", "port"}, {"-l::yes", "port"}, {"-l:5005x:yes", "port"},
        {"-l:4294972301:yes", "port"}, {"-c:h:abc:yes", "port"},
        {"-i:256", "device"}, {"-o:-1", "device"}, {"-i:", "device"}, {"-o:one", "device"},
        {"-l:5005:maybe", "listen"}, {"-l:5005:", "listen"}, {"-c:h:1:y", "connect"},
        {"-d:both", "direction"}, {"-d:", "direction"}, {"-a:speex", "codec"}, {"-a:256", "codec"},
        {"5005", "not an option"}, {"-", "not an option"}, {"", "not an option"},
        {"--headless=yes", "no value"}, {"--help=", "no value"}, {"--list-devices=1", "no value"},
        {"--audio", "needs a value"}, {"--audio=", "needs a value"}, {"--input-wav", "needs a value"},
        {"--output-wav=", "needs a value"}, {"--banner-server", "needs a value"},
        {"--audio=alsa", "portaudio, file or null"}, {"--input-wav=" + std::string(5000, 'p'), "too long"},
        {"--banner-server=h:0", "port"}, {"--banner-server=h:", "port"}, {"--banner-server=h:70000", "port"},
        {"--banner-server=:80", "host"}, {"--banner-server=[::1", "host"}, {"--banner-server=[::1]x", "host"},
        {"--banner-server=[198.51.100.1]", "host"}, {"--banner-server=[]:80", "host"},
        {"--banner-server=[::1]:0", "port"},
    };
    // clang-format on
    for (const auto& [arg, problem] : bad) {
        const ParsedCommandLine parsed = ParseCommandLine({"-a:gsm_8khz", arg});
        EXPECT_FALSE(parsed.Ok()) << arg;
        EXPECT_NE(parsed.error.find(problem), std::string::npos) << arg << " gave: " << parsed.error;
        const std::string shown = arg.empty() ? "''" : arg.substr(0, 20);
        EXPECT_EQ(parsed.error.rfind("qparlin: " + shown, 0), 0u) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
    }
    EXPECT_EQ(ParseCommandLine({"-l:99999:yes"}).error,
              "qparlin: -l:99999:yes: port must be a number from 0 to 65535");
    // Control characters and sheer length cannot break the one line.
    const std::string error = ParseCommandLine({"-x\nsecond line\r" + std::string(500, 'z')}).error;
    EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos);
    EXPECT_LT(error.size(), 150u);
}

TEST(CommandLineTest, PortZeroListensWhereTheSystemChoosesButIsNoPeer) {
    EXPECT_EQ(ParseOk({"-l:0:yes"}).port, 0);
    EXPECT_EQ(ParseOk({"-c:127.0.0.1:5005:no", "-l:0:yes"}).port, 0);  // nothing connects by itself
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"-c:127.0.0.1:0:yes"}, "qparlin: -c:127.0.0.1:0:yes: port must be a number from 1 to 65535"},
        {{"-c:127.0.0.1:0:no"}, "qparlin: -c:127.0.0.1:0:no: port must be a number from 1 to 65535"},
        {{"-c:127.0.0.1:5005:yes", "-l:0:no"},
         "qparlin: -l:0:no: port 0 cannot be connected to, and -c connects to this port"},
        {{"-l:0:yes", "-c:127.0.0.1:0:yes"},
         "qparlin: -c:127.0.0.1:0:yes: port must be a number from 1 to 65535"},
    };
    for (const auto& [args, error] : refused)
        EXPECT_EQ(ParseCommandLine(args).error, error);
}

TEST(CommandLineTest, AnIpv6PeerIsGivenInBrackets) {
    Settings s = ParseOk({"-c:[2001:db8::1]:5007:yes"});
    EXPECT_EQ(s.host, "2001:db8::1") << "kept without brackets, as the host field and address book hold it";
    EXPECT_EQ(s.port, 5007);
    EXPECT_TRUE(s.autoConnect);
    s = ParseOk({"-c:[::1]:65535:no"});
    EXPECT_EQ(s.host, "::1");
    EXPECT_EQ(s.port, 65535);
    EXPECT_FALSE(s.autoConnect);
    EXPECT_EQ(ParseOk({"-c:[::ffff:198.51.100.1]:1:yes"}).host, "::ffff:198.51.100.1");
    EXPECT_EQ(ParseOk({"-c:198.51.100.1:1:yes"}).host, "198.51.100.1");

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"-c:::1:5007:yes", "too many fields"},  // unbracketed: which colon ends the host?
        {"-c:[::1:5007:yes", "too many fields"},
        {"-c:[::1]5007:yes", "missing field"},
        {"-c:[fe80::1%lo]:5007:yes", "IPv6 address in brackets"},
        {"-c:[peer.example]:5007:yes", "IPv6 address in brackets"},
        {"-c:[198.51.100.1]:5007:yes", "IPv6 address in brackets"},
        {"-c:[]:5007:yes", "IPv6 address in brackets"},
        {"-c:[::1]:0:yes", "port must be a number from 1"},
        {"-c:[::1]:5007", "missing field"},
    };
    for (const auto& [arg, problem] : bad) {
        const ParsedCommandLine parsed = ParseCommandLine({arg});
        EXPECT_FALSE(parsed.Ok()) << arg;
        EXPECT_NE(parsed.error.find(problem), std::string::npos) << arg << " gave: " << parsed.error;
    }
}

TEST(CommandLineTest, AnErrorLeavesNoSettingsAtAll) {
    const ParsedCommandLine parsed =
        ParseCommandLine({"-l:5005:yes", "-a:gsm_8khz", "--headless", "-d:sideways"});
    EXPECT_FALSE(parsed.Ok());
    EXPECT_FALSE(parsed.settings.has_value());
    EXPECT_EQ(parsed.action, CommandAction::Run);
    // Nothing carries over into the next parse either.
    EXPECT_EQ(ParseOk({}).port, 5007);
}

TEST(CommandLineTest, ArgvSkipsTheProgramName) {
    const char* argv[] = {"qparlin", "-l:2:no", nullptr};
    const ParsedCommandLine parsed = ParseCommandLine(2, argv);
    ASSERT_TRUE(parsed.Ok()) << parsed.error;
    EXPECT_EQ(parsed.settings->port, 2);
}

TEST(HelpTextTest, EmbeddedTextIsTheResourceFileByteForByte) {
    const std::string file = ReadFile(std::string(QPARLIN_SOURCE_DIR) + "/res/help.txt");
    const std::string text(kHelpText, kHelpTextLength);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(text, file);
    EXPECT_EQ(kHelpText[kHelpTextLength], '\0');
}

TEST(HelpTextTest, HasCrLfLinesTabsAndTheExamples) {
    const std::string text(kHelpText, kHelpTextLength);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "lone LF at " << i;
        }
        if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "lone CR at " << i;
        }
    }
    EXPECT_EQ(text.rfind("Supported parameters are:\r\n -a:codec\r\n", 0), 0u);
    EXPECT_NE(text.find("\r\nilbc_8khz\t\t- iLBC  at  8 KHz (32 Kbps)\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\ngsm_22khz\t- GSM   at 22 KHz (80 Kbps)\r\n"), std::string::npos);
    EXPECT_NE(text.find("right after the application is started. In case the \r\n"), std::string::npos);
    for (const char* example :
         {"qparlin -l:5005:yes -a:ilbc_11khz\r\n", "qparlin -c:192.168.0.1:5005:yes -a:ilbc_11khz\r\n",
          "qparlin -l:5005:yes -a:ilbc_8khz -o:2 -d:receive\r\n",
          "qparlin -c:192.168.0.1:5005:yes -a:ilbc_8khz -i:1 \r\n-d:send\r\n"}) {
        EXPECT_NE(text.find(std::string("\r\n") + example), std::string::npos) << example;
    }
}

TEST(HelpTextTest, HelpOutputIsTheTextWithLfThenTheLongOptions) {
    std::string lf;
    for (char c : std::string(kHelpText, kHelpTextLength)) {
        if (c != '\r')
            lf.push_back(c);
    }
    const std::string output = HelpOutput();
    ASSERT_EQ(output.rfind(lf, 0), 0u);
    const std::string rest = output.substr(lf.size());
    EXPECT_EQ(rest.find('\r'), std::string::npos);
    for (const char* option :
         {"--headless", "--audio=auto|pulse|pipewire|portaudio|file|null", "--input-wav=PATH",
          "--output-wav=PATH", "--list-devices", "--banner-server=HOST[:PORT]", "--version", "--help"}) {
        EXPECT_NE(rest.find(std::string("  ") + option + " "), std::string::npos) << option;
    }
}

TEST(CommandLineTest, VoiceProcessingIsAllWithDevicesOffWithFilesAndTheOptionWins) {
    EXPECT_EQ(VoiceProcessingFor(ParseOk({})), VoiceProcessor::Mode::kAll);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--audio=pulse"})), VoiceProcessor::Mode::kAll);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--input-wav=/tmp/in.wav"})), VoiceProcessor::Mode::kOff);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--audio=null"})), VoiceProcessor::Mode::kOff);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--input-wav=/tmp/in.wav", "--voice-processing=all"})),
              VoiceProcessor::Mode::kAll);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--voice-processing=ECHO"})), VoiceProcessor::Mode::kEcho);
    EXPECT_EQ(VoiceProcessingFor(ParseOk({"--voice-processing=off"})), VoiceProcessor::Mode::kOff);
    for (const char* bad :
         {"--voice-processing", "--voice-processing=", "--voice-processing=on", "--voice-processing=alll"}) {
        SCOPED_TRACE(bad);
        const ParsedCommandLine parsed = ParseCommandLine(std::vector<std::string>{bad});
        EXPECT_FALSE(parsed.Ok());
        EXPECT_NE(parsed.error.find("voice-processing"), std::string::npos) << parsed.error;
    }
}

TEST(CommandLineTest, PortMappingAndAnnouncingAreOnUnlessTurnedOff) {
    const Settings defaults = ParseOk({});
    EXPECT_TRUE(defaults.portMapping);
    EXPECT_TRUE(defaults.announce);
    EXPECT_FALSE(defaults.browse);
    const Settings off = ParseOk({"--port-mapping=off", "--announce=OFF"});
    EXPECT_FALSE(off.portMapping);
    EXPECT_FALSE(off.announce);
    // The later one wins, which is how the test environment's default is overridden.
    EXPECT_TRUE(ParseOk({"--port-mapping=off", "--port-mapping=on"}).portMapping);
    EXPECT_TRUE(ParseOk({"--browse"}).browse);
}

TEST(CommandLineTest, BadReachabilityOptionsAreRefused) {
    EXPECT_EQ(ParseCommandLine({"--port-mapping=yes"}).error,
              "qparlin: --port-mapping=yes: port-mapping must be on or off");
    EXPECT_EQ(ParseCommandLine({"--port-mapping"}).error,
              "qparlin: --port-mapping: needs a value, as in --port-mapping=on|off");
    EXPECT_EQ(ParseCommandLine({"--announce="}).error,
              "qparlin: --announce=: needs a value, as in --announce=on|off");
    EXPECT_EQ(ParseCommandLine({"--browse=5"}).error, "qparlin: --browse=5: takes no value");
}

TEST(SecretOptionTest, IsRefusedWithSessionsOffWhoseOnlyPrivateWireHadTheSameKeyInEveryCall) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--secret=/srv/key", "--session=off"},
          {"--session=off", "--secret=/srv/key"}}) {
        const ParsedCommandLine parsed = ParseCommandLine(args);
        EXPECT_FALSE(parsed.Ok());
        EXPECT_EQ(
            parsed.error,
            "qparlin: --session=off: cannot be used with --secret: a private call agrees fresh keys in the "
            "session");
    }
    // With a session (the default, or said) and with --encrypt=off, the secret still makes the call private.
    EXPECT_EQ(ParseCommandLine({"--secret=/srv/key"}).settings.value().secretFile, "/srv/key");
    EXPECT_TRUE(ParseCommandLine({"--secret=/srv/key", "--session=on"}).Ok());
    EXPECT_TRUE(ParseCommandLine({"--secret=/srv/key", "--encrypt=off"}).Ok());
}

TEST(RequirePrivateOptionTest, TakesNoValueAndRefusesOptionsUnderWhichNoCallIsEncrypted) {
    EXPECT_TRUE(ParseCommandLine({"--require-private"}).settings.value().requirePrivate);
    EXPECT_FALSE(ParseCommandLine({}).settings.value().requirePrivate);
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--require-private=yes"}, "qparlin: --require-private=yes: takes no value"},
        {{"--require-private", "--session=off"},
         "qparlin: --require-private: cannot be used with --session=off, whose calls are never encrypted"},
        {{"--require-private", "--encrypt=off"},
         "qparlin: --require-private: cannot be used with --encrypt=off"},
    };
    for (const auto& [args, error] : bad) {
        const ParsedCommandLine parsed = ParseCommandLine(args);
        EXPECT_FALSE(parsed.Ok()) << args.back();
        EXPECT_EQ(parsed.error, error);
    }
}
