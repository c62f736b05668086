// Loading the window module: what is refused, with a reason, instead of being run; and when a bad command
// line is shown by the module rather than only printed.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/VoiceApp.h"
#include "app/WindowModule.h"

namespace {

TEST(WindowModuleTest, RefusesWhatIsNotTheProgramsModule) {
    std::string problem;
    EXPECT_EQ(LoadWindowModule(problem, "/nonexistent/qparlin-window.so"), nullptr);
    EXPECT_NE(problem.find("is not installed with the program"), std::string::npos) << problem;

    // A file that is no shared object at all.
    const std::string text = testing::TempDir() + "qparlin-window-text.so";
    std::ofstream(text) << "not an ELF file\n";
    problem.clear();
    EXPECT_EQ(LoadWindowModule(problem, text), nullptr);
    EXPECT_FALSE(problem.empty());
    std::remove(text.c_str());

    // A shared object without the module's entry points: the C library this test runs on.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&getpid), &info), 0);
    problem.clear();
    EXPECT_EQ(LoadWindowModule(problem, info.dli_fname), nullptr);
    EXPECT_NE(problem.find("is not the program's window module"), std::string::npos) << problem;
}

}  // namespace

namespace {

// A bad command line gets a box only where nobody would read stderr: a display, no terminal, and no
// argument that asks for a console run or a one-shot answer.
TEST(WindowModuleTest, ABadCommandLineIsShownInABoxOnlyWithoutATerminalAndForAWindowedRun) {
    const std::vector<std::string> windowed = {"-a:bad", "-c:host:5007"};
    EXPECT_TRUE(CommandLineErrorWantsWindow(windowed, true, false));
    EXPECT_FALSE(CommandLineErrorWantsWindow(windowed, false, false));  // no display
    EXPECT_FALSE(CommandLineErrorWantsWindow(windowed, true, true));    // typed in a terminal
    for (const char* console :
         {"--headless", "--help", "--version", "--list-devices", "--make-secret=/tmp/s", "--browse"}) {
        std::vector<std::string> args = windowed;
        args.emplace_back(console);
        EXPECT_FALSE(CommandLineErrorWantsWindow(args, true, false)) << console;
    }
    // Only the option's own name counts: a value that reads like one does not.
    EXPECT_TRUE(CommandLineErrorWantsWindow({"-a:bad", "--secret=--headless"}, true, false));
    EXPECT_TRUE(CommandLineErrorWantsWindow({"--headlessly"}, true, false));
    EXPECT_TRUE(CommandLineErrorWantsWindow({}, true, false));
}

}  // namespace
