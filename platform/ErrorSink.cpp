#include "platform/ErrorSink.h"

#include <cstdio>

void StderrErrorSink::ReportError(const std::string& text) {
    // One write per line so that reports from several threads do not interleave.
    std::string line = "qparlin: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

#include <atomic>

namespace {
StderrErrorSink stderrSink;
std::atomic<ErrorSink*> currentSink{&stderrSink};
}  // namespace

void SetErrorSink(ErrorSink* sink) {
    currentSink.store(sink != nullptr ? sink : &stderrSink);
}

ErrorSink& CurrentErrorSink() {
    return *currentSink.load();
}
