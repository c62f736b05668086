// What a shell command prints (stdout and stderr together), for the tests that ask pactl.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

inline std::string Shell(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
    if (pipe == nullptr)
        return output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr)
        output += buffer;
    return output;
}
