// A server program from Debian's packages run as a child of a web test, on a loopback port, with its own
// configuration in a temporary directory of its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/Exception.h"
#include "base/Socket.h"
#include "web_script_server.h"

extern char** environ;

namespace webtest {

// Runs a program to its end, its output dropped; its exit status, or -1 when it could not be run.
inline int RunProgram(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int status = 0;
    const bool ran = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0 &&
                     ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    posix_spawn_file_actions_destroy(&actions);
    return ran ? WEXITSTATUS(status) : -1;
}

// A server program run as a child of the test, in a temporary directory of its own; its stdout comes
// back through a pipe. Ended by its own process id, and its directory removed, at destruction.
class ServerProcess {
public:
    // `prepare`, when given, runs with the directory after the configuration is written and before the
    // program starts (to add the files the program reads).
    explicit ServerProcess(std::vector<std::string> argv, const std::string& config = "",
                           const std::function<void(const std::string& dir)>& prepare = nullptr) {
        std::string pattern = (std::filesystem::temp_directory_path() / "qparlin-web-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        for (auto& arg : argv)
            arg = Expand(arg);
        if (!config.empty())
            std::ofstream(dir_ + "/server.conf") << Expand(config);
        if (prepare)
            prepare(dir_);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        output_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string errors = dir_ + "/stderr.txt";
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT, 0600);
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                if (i == 100)
                    ::kill(pid_, SIGKILL);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (output_ >= 0)
            ::close(output_);
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }

    uint16_t Port() const { return port_; }

    // True once the program accepts connections on its port: the one handed to it through "$PORT", or with
    // `printsPort` the first line the program prints.
    bool Ready(bool printsPort = false, std::chrono::seconds wait = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + wait;
        if (pid_ <= 0)
            return false;
        std::string line;
        if (printsPort)
            port_ = 0;
        while (printsPort && port_ == 0 && std::chrono::steady_clock::now() < end) {
            pollfd entry{output_, POLLIN, 0};
            char c;
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            if (::read(output_, &c, 1) != 1)
                return false;
            if (c == '\n')
                port_ = static_cast<uint16_t>(std::stoi(line));
            line.push_back(c);
        }
        if (printsPort)
            return port_ != 0;  // it listens before it prints, and a probe would be counted
        while (std::chrono::steady_clock::now() < end) {
            Socket probe;
            probe.CreateStream();
            try {
                ConnectTimeout(probe.handle, SocketAddress(htonl(INADDR_LOOPBACK), port_), 200);
                return true;
            } catch (const Exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return false;
    }

private:
    // Puts the chosen port and the directory into "$PORT" and "$DIR".
    std::string Expand(std::string text) const {
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"$PORT", std::to_string(port_)}, {"$DIR", dir_}}) {
            for (size_t at = text.find(name); at != std::string::npos; at = text.find(name)) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    }

    std::string dir_;
    uint16_t port_ = webtest::UnusedPort();
    pid_t pid_ = -1;
    int output_ = -1;
};

}  // namespace webtest
