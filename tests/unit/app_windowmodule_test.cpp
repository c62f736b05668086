// Loading the window module: what is refused, with a reason, instead of being run.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

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
