// Where device threads report failures the user must see. Posted, never waited for: the window shows a
// message box, the console prints a line to stderr.
#pragma once

#include <string>

class ErrorSink {
public:
    virtual ~ErrorSink() = default;
    virtual void ReportError(const std::string& text) = 0;
};

// The console's sink: one line on stderr per report.
class StderrErrorSink final : public ErrorSink {
public:
    void ReportError(const std::string& text) override;
};

// The sink device threads report to. The front end sets it once at start-up, before any device thread
// exists; until then reports go to stderr.
void SetErrorSink(ErrorSink* sink);
ErrorSink& CurrentErrorSink();
