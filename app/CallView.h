// What the call controller needs from a front end: a status line, the button states, the level meters, the
// mute buttons, the exchange of the host and port fields, and in a private call whether the peer proved the
// secret. The window and the console implement it.
#pragma once

#include <string>

class CallView {
public:
    virtual ~CallView() = default;
    virtual void ShowStatus(const std::string& text) = 0;
    virtual void EnableButtons(bool connectAndListen, bool disconnect) = 0;
    virtual void ShowLevels(int microphone, int speaker) = 0;
    virtual void ShowMuteButtons(bool speakersMuted, bool microphoneMuted) = 0;
    // Reads the fields into the arguments. False when a field failed its check (the view has told the
    // user why); the arguments then hold what the view could read.
    virtual bool ReadFields(std::string& host, int& port, bool& muteSpeakers, bool& muteMicrophone) = 0;
    virtual void WriteFields(const std::string& host, int port, bool muteSpeakers, bool muteMicrophone) = 0;

    // Private calls only; a plain call never calls these, so a view may ignore them.
    // Whether the peer of the current call has proven the secret (its datagrams open with our key);
    // `peer` is its "address:port", empty while not proven.
    virtual void ShowPeerProven(bool proven, const std::string& peer) {
        (void)proven;
        (void)peer;
    }
    // Datagrams from `source` ("address:port") are not sealed with our secret; once per source and call.
    virtual void ShowNotSealed(const std::string& source) { (void)source; }

    // Whether the current call is encrypted with keys agreed for it, and its short `code` ("123 456") that
    // both users compare by voice; called with false when the call turns out not to be, and when it ends.
    virtual void ShowEncryption(bool encrypted, const std::string& code) {
        (void)encrypted;
        (void)code;
    }

    // What is known of the encrypted call's peer by its identity key: not named (a peer without one),
    // not verified yet, verified in an earlier call, or a remembered address with another identity key.
    enum class PeerTrust { kNone, kUnverified, kVerified, kChanged };
    virtual void ShowPeerTrust(PeerTrust trust) { (void)trust; }

    // The call's state beside the status ("in a session with 127.0.0.1:5007", "no sound from the peer for
    // 4 s"); empty when no call runs.
    virtual void ShowCallState(const std::string& text) { (void)text; }
    // Something the user must know about the call ("The peer sends gsm_8khz; this copy is set to
    // ilbc_11khz"); once per event.
    virtual void ShowNotice(const std::string& text) { (void)text; }
    // Whether the echo canceller is removing the echo of what this copy plays from the microphone now.
    virtual void ShowEchoCancelling(bool cancelling) { (void)cancelling; }
    // The call's quality: `mark` "good", "fair" or "poor" (empty: none to show), `figures` both ways.
    virtual void ShowQuality(const std::string& mark, const std::string& figures) {
        (void)mark;
        (void)figures;
    }
    // Where a listener can be reached from outside: the port mapping's result ("reachable from the Internet
    // at 203.0.113.7:5007 (NAT-PMP)", or why not), and the "host:port" to give a friend (empty: none).
    // Both empty when no mapping is kept.
    virtual void ShowReachability(const std::string& text, const std::string& address) {
        (void)text;
        (void)address;
    }
};
