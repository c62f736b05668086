#include "app/WindowModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/Settings.h"

#ifndef QPARLIN_WINDOW_MODULE_DIR
#define QPARLIN_WINDOW_MODULE_DIR "../lib/qparlin"
#endif

namespace {

constexpr const char* kModuleName = "qparlin-window.so";

// The directory of the running program, from the kernel's link to it.
std::string ProgramDirectory() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0)
        return {};
    const std::string program(path.data(), static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

}  // namespace

std::string WindowModuleStamp() {
    // Program and module link this same object, so a build gives both the same stamp and no other build does.
    return std::to_string(sizeof(Settings)) + " " + __DATE__ + " " + __TIME__;
}

namespace {

// Opens the module that belongs to this program and returns its handle, or null with the reason in `problem`.
void* OpenWindowModule(std::string& problem, const std::string& module) {
    std::vector<std::string> candidates;
    if (!module.empty()) {
        candidates.push_back(module);
    } else {
        // Installed: the module's directory relative to the program's. In the build tree: beside it.
        const std::string directory = ProgramDirectory();
        candidates.push_back(directory + "/" + QPARLIN_WINDOW_MODULE_DIR + "/" + kModuleName);
        candidates.push_back(directory + "/" + kModuleName);
    }
    std::string path;
    for (const std::string& candidate : candidates) {
        if (access(candidate.c_str(), F_OK) == 0) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        problem = std::string(kModuleName) + " is not installed with the program (looked at " +
                  candidates.front() + ")";
        return nullptr;
    }
    // Never closed once accepted: the window's libraries stay until the program ends.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        problem = error != nullptr ? error : path + " cannot be loaded";
        return nullptr;
    }
    using StampFunction = const char* (*)();
    auto stamp = reinterpret_cast<StampFunction>(dlsym(handle, QPARLIN_WINDOW_STAMP));
    if (stamp == nullptr || dlsym(handle, QPARLIN_WINDOW_ENTRY) == nullptr ||
        dlsym(handle, QPARLIN_WINDOW_ERROR_BOX) == nullptr) {
        problem = path + " is not the program's window module";
        dlclose(handle);
        return nullptr;
    }
    if (std::strcmp(stamp(), WindowModuleStamp().c_str()) != 0) {
        problem = path + " belongs to another build of the program";
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

}  // namespace

VoiceApp::WindowRunner LoadWindowModule(std::string& problem, const std::string& module) {
    void* handle = OpenWindowModule(problem, module);
    return handle == nullptr ? nullptr
                             : reinterpret_cast<VoiceApp::WindowRunner>(dlsym(handle, QPARLIN_WINDOW_ENTRY));
}

VoiceApp::ErrorWindow LoadCommandLineErrorWindow(std::string& problem, const std::string& module) {
    void* handle = OpenWindowModule(problem, module);
    return handle == nullptr
               ? nullptr
               : reinterpret_cast<VoiceApp::ErrorWindow>(dlsym(handle, QPARLIN_WINDOW_ERROR_BOX));
}
