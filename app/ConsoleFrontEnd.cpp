#include "app/ConsoleFrontEnd.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

#include "app/CallController.h"
#include "link/VoiceLink.h"
#include "platform/MessageQueue.h"
#include "reach/LanAnnouncer.h"

namespace {

// Posted by the signal thread (and when stdout has been closed): run the Exit path and end; print the
// link's counts.
constexpr uint32_t WM_CONSOLE_EXIT = 0x8100;
constexpr uint32_t WM_CONSOLE_STATISTICS = 0x8101;
constexpr int kTickMs = 1000;

// The signals the signal thread takes: SIGINT, SIGTERM and SIGHUP (a closed terminal, or a service manager
// that ends with it) end the program cleanly, SIGUSR1 asks for statistics.
sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(const Settings& settings, std::ostream& out, std::ostream& err)
    : settings_(settings), out_(out), err_(err), errors_(err) {}

void ConsoleFrontEnd::BlockTerminationSignals() {
    const sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ConsoleFrontEnd::OnceErrorSink::ReportError(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!seen_.insert(text).second)
        return;
    err_ << "qparlin: " << text << std::endl;
}

void ConsoleFrontEnd::PrintLine(const std::string& text) {
    PrintLines(folder_.Add(text, LineFolder::Clock::now()));
}

void ConsoleFrontEnd::PrintLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        out_ << line << std::endl;
        CheckOutput();
    }
}

void ConsoleFrontEnd::ShowStatus(const std::string& text) {
    if (text.empty() || text == lastStatus_)
        return;
    lastStatus_ = text;
    PrintLine(text);
}

void ConsoleFrontEnd::ShowPeerProven(bool proven, const std::string& peer) {
    if (!proven)
        return;
    PrintLine("Private call: " + peer + " holds the secret");
}

void ConsoleFrontEnd::ShowNotSealed(const std::string& source) {
    err_ << "qparlin: datagrams from " << source << " are not sealed with our secret" << std::endl;
}

void ConsoleFrontEnd::ShowCallState(const std::string& text) {
    if (text.empty())
        return;
    PrintLine("Call: " + text);
}

void ConsoleFrontEnd::ShowNotice(const std::string& text) {
    PrintLine(text);
}

void ConsoleFrontEnd::ShowEchoCancelling(bool cancelling) {
    PrintLine(cancelling ? "Echo cancellation: removing echo" : "Echo cancellation: not removing echo");
}

void ConsoleFrontEnd::ShowReachability(const std::string& text, const std::string& address) {
    (void)address;  // the text names it
    if (text.empty() || text == lastReachability_)
        return;
    lastReachability_ = text;
    out_ << "Port mapping: " << text << std::endl;
    CheckOutput();
}

int ConsoleFrontEnd::Browse(std::ostream& out, std::ostream& err) {
    LanAnnouncer lan;
    std::mutex lock;
    std::set<std::string> shown;
    LanAnnouncer* browser = &lan;
    // On Avahi's thread: the difference to what was printed last.
    auto changed = [&out, &lock, &shown, browser] {
        std::set<std::string> now;
        for (const LanCopy& copy : browser->Copies())
            now.insert(copy.Text());
        std::lock_guard<std::mutex> guard(lock);
        for (const std::string& text : now)
            if (shown.count(text) == 0)
                out << "Found: " << text << std::endl;
        for (const std::string& text : shown)
            if (now.count(text) == 0)
                out << "Gone: " << text << std::endl;
        shown = std::move(now);
    };
    std::string problem;
    if (!lan.Browse(changed, problem)) {
        err << "qparlin: cannot list the copies on the LAN: " << problem << std::endl;
        return 1;
    }
    out << "Looking for copies on the LAN (Ctrl-C ends)..." << std::endl;
    const sigset_t set = HandledSignals();
    int signal = 0;
    while (sigwait(&set, &signal) == 0 && signal == SIGUSR1) {
    }
    return 0;
}

void ConsoleFrontEnd::PrintReachable(const VoiceLink& link) {
    // Only a listener still waiting has addresses worth telling a caller.
    if (link.GetState() != VoiceLink::kActive || !link.GetCallState().peer.IsAny())
        return;
    out_ << CallController::ReachableText(link.LocalPort(), link.LocalAddress()) << std::endl;
}

void ConsoleFrontEnd::PrintStatistics(const VoiceLink::Statistics& statistics, bool privateCall,
                                      const VoiceLink::CallState& state) {
    std::ostringstream out;
    out << "Statistics: " << statistics.datagramsSent << " datagrams sent, " << statistics.datagramsReceived
        << " received, " << statistics.sendQueueDrops << " send-queue drops, " << statistics.playbackDrops
        << " playback drops, " << statistics.framesConcealed << " frames concealed, " << statistics.framesLate
        << " late, playout depth " << std::lround(statistics.playoutDepthMs) << " ms, jitter "
        << std::lround(statistics.jitterMs) << " ms";
    // An encrypted call counts what did not open too; nothing else ever drops a datagram that way.
    if (privateCall ||
        statistics.droppedNotSealed + statistics.droppedForged + statistics.droppedReplayed > 0)
        out << ", dropped " << statistics.droppedNotSealed << " not sealed, " << statistics.droppedForged
            << " not opening, " << statistics.droppedReplayed << " replayed";
    const std::string quality = CallController::QualityText(state);
    if (!quality.empty())
        out << "; session: " << quality << " (" << CallController::QualityMark(state) << ")";
    PrintLine(out.str());
}

void ConsoleFrontEnd::CheckOutput() {
    // Whoever read our output has gone (`qparlin --headless ... | head -1`): nobody can see what the
    // program does any more, so it ends the way SIGTERM ends it.
    if (out_.good() || outputClosed_ || queue_ == nullptr)
        return;
    outputClosed_ = true;
    queue_->Post(WM_CONSOLE_EXIT, 0, 0);
}

int ConsoleFrontEnd::Run() {
    // A closed pipe on stdout must not kill the program in the middle of a call: the write fails instead,
    // and CheckOutput ends the program through the Exit path.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    MessageQueue queue;
    queue_ = &queue;
    outputClosed_ = false;
    SetErrorSink(&errors_);

    // One thread takes the termination signals; everything else has them blocked.
    std::atomic<bool> signalled{false};
    std::thread signals([&queue, &signalled] {
        const sigset_t set = HandledSignals();
        int signal = 0;
        while (sigwait(&set, &signal) == 0) {
            if (signal == SIGUSR1) {
                queue.Post(WM_CONSOLE_STATISTICS, 0, 0);
                continue;
            }
            signalled.store(true);
            queue.Post(WM_CONSOLE_EXIT, static_cast<WPARAM>(signal), 0);
            return;
        }
    });

    int status = 0;
    {
        VoiceLink link;
        CallController controller(link, settings_, *this);
        controller.EnableReach();
        controller.Initialize(&queue, &queue);
        const bool listenFailedAtStart = settings_.autoListen && !settings_.autoConnect &&
                                         controller.Status() == CallController::kCantListen;
        if (listenFailedAtStart) {
            // The reason went to stderr with the failure itself.
            controller.OnExit();
            status = 1;
        } else {
            if (!settings_.autoListen && !settings_.autoConnect) {
                // Nothing starts by itself in the console: say how to start something rather than sit silent.
                err_ << "qparlin: nothing to do: give -l:PORT:yes to wait for a call, or -c:HOST:PORT:yes to "
                        "make one (qparlin --help lists the options); waiting until ended (Ctrl-C)"
                     << std::endl;
            }
            // The call's state is looked at once a second, as the window does.
            auto nextTick = std::chrono::steady_clock::now();
            int ticks = 0;
            for (;;) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= nextTick) {
                    controller.OnTick();
                    nextTick = now + std::chrono::milliseconds(kTickMs);
                    // --stats-interval: the statistics line every so many seconds, as SIGUSR1 asks for it.
                    if (settings_.statsIntervalSeconds > 0 && ++ticks % settings_.statsIntervalSeconds == 0) {
                        PrintStatistics(link.GetStatistics(), link.Private(), link.GetCallState());
                        PrintReachable(link);
                    }
                }
                const auto waitMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count() + 1;
                PrintLines(folder_.FlushIfQuiet(now));
                const std::optional<Message> next = queue.Get(static_cast<int>(waitMs));
                if (!next)
                    continue;
                const Message& message = *next;
                if (message.message == WM_CONSOLE_EXIT) {
                    controller.OnExit();
                    PrintLines(folder_.Flush());
                    break;
                }
                if (message.message == WM_CONSOLE_STATISTICS) {
                    PrintStatistics(link.GetStatistics(), link.Private(), link.GetCallState());
                    PrintReachable(link);
                    continue;
                }
                controller.HandleMessage(message);
            }
        }
    }

    // Wake the signal thread if no signal came; it takes this one, which is blocked everywhere.
    if (!signalled.load())
        pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    SetErrorSink(nullptr);
    queue_ = nullptr;
    return status;
}
