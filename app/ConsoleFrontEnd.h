// The console front end (`qparlin --headless`): the window's behaviour without a window. Status changes
// are printed to stdout one per line, device errors to stderr, and SIGINT or SIGTERM ends the program the
// way the Exit button does. SIGUSR1 prints one line of the link's counts ("Statistics: ...") to stdout.
// SIGPIPE is ignored: a line that cannot be written to stdout (its reader has gone) ends the program the
// way SIGTERM does, with status 0. In a private call the statistics line ends with the dropped counts. A
// storm of repeated lines is folded into a count (LineFolder).
#pragma once

#include <iosfwd>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/CallView.h"
#include "app/LineFolder.h"
#include "app/Settings.h"
#include "link/VoiceLink.h"
#include "platform/ErrorSink.h"

class MessageQueue;

class ConsoleFrontEnd final : public CallView {
public:
    ConsoleFrontEnd(const Settings& settings, std::ostream& out, std::ostream& err);

    // Runs until a signal ends it. Returns the exit status: 0 after a clean end, 1 when listening at
    // start-up was asked for and failed. These signals must be blocked in every thread before any
    // thread is started (BlockTerminationSignals), so that only this loop's signal thread takes them.
    int Run();

    // Blocks SIGINT, SIGTERM and SIGUSR1 in the calling thread; threads started afterwards inherit the mask.
    static void BlockTerminationSignals();
    // --browse: prints "Found: ..." and "Gone: ..." for the copies announced on the LAN until a signal ends
    // it. Returns 0, or 1 when Avahi cannot be reached.
    static int Browse(std::ostream& out, std::ostream& err);

    void ShowStatus(const std::string& text) override;
    void EnableButtons(bool, bool) override {}
    void ShowLevels(int, int) override {}
    void ShowMuteButtons(bool, bool) override {}
    // The console has no fields to edit: what the command line set stays.
    bool ReadFields(std::string&, int&, bool&, bool&) override { return true; }
    void WriteFields(const std::string&, int, bool, bool) override {}
    // A private call prints one line when a peer's first datagram opens, and names each source of
    // unsealed datagrams once on stderr (the link reports each at most once per call).
    void ShowPeerProven(bool proven, const std::string& peer) override;
    void ShowNotSealed(const std::string& source) override;
    // Nothing of its own: the controller's notice names the code, or that the call is not encrypted.
    void ShowEncryption(bool, const std::string&) override {}
    void ShowCallState(const std::string& text) override;
    void ShowNotice(const std::string& text) override;
    // One line when the echo canceller starts removing echo, and one when it stops.
    void ShowEchoCancelling(bool cancelling) override;
    void ShowReachability(const std::string& text, const std::string& address) override;

private:
    // The addresses a waiting listener can be reached at, one line, with the statistics.
    void PrintReachable(const VoiceLink& link);
    void PrintStatistics(const VoiceLink::Statistics& statistics, bool privateCall,
                         const VoiceLink::CallState& state);
    // A line to stdout through the folder, which holds back a storm of repeats.
    void PrintLine(const std::string& text);
    void PrintLines(const std::vector<std::string>& lines);
    // After a line to stdout: when it could not be written, ends the loop as SIGTERM does.
    void CheckOutput();

    // Device errors on stderr, each distinct report once: a missing device would otherwise be reported
    // again at every reconnection.
    class OnceErrorSink final : public ErrorSink {
    public:
        explicit OnceErrorSink(std::ostream& err) : err_(err) {}
        void ReportError(const std::string& text) override;

    private:
        std::mutex lock_;
        std::set<std::string> seen_;
        std::ostream& err_;
    };

    const Settings& settings_;
    std::ostream& out_;
    std::ostream& err_;
    OnceErrorSink errors_;
    std::string lastStatus_;
    std::string lastReachability_;
    LineFolder folder_;
    MessageQueue* queue_ = nullptr;  // the loop's, while Run runs
    bool outputClosed_ = false;
};
