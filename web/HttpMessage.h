// The part that HTTP requests and responses share: the header list, the body, the incremental parser
// that turns received bytes into a start line, header fields and a body, and the serialiser.
//
// Everything the parser takes from the wire is bounded: a line, the number of header fields and the body
// (by "Content-Length" and by bytes received) each have a limit, past which HttpException is thrown
// before the memory is taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "base/ByteBuffer.h"
#include "web/HeaderList.h"
#include "web/InputStream.h"

class HttpMessage {
public:
    enum ParseState : int { kStartLine = 0, kHeaders = 1, kBody = 2, kComplete = 3 };

    // The most body bytes a message may hold.
    static constexpr int32_t kMaxBodyLength = 16 * 1024 * 1024;
    // The most header fields a message head may hold.
    static constexpr int kMaxHeaderCount = 100;
    // The longest line the parser keeps waiting for the end of.
    static constexpr int kMaxLineLength = 64 * 1024;

    HttpMessage();
    virtual ~HttpMessage() = default;
    HttpMessage(const HttpMessage&) = delete;
    HttpMessage& operator=(const HttpMessage&) = delete;

    // Clears start line, headers, body and parser state, and drops the time budget.
    virtual void Reset();

    // Hands received bytes to the parser. Throws HttpException on a malformed or oversized message.
    void Feed(const void* data, int length);
    void Feed(const std::string& text) { Feed(text.data(), static_cast<int>(text.size())); }

    // Reads lines from `stream` until the head is complete. Each line is read within the stream's time
    // limit; a line that is late is waited for again until the time budget has run out, and then
    // TimeoutException is thrown.
    void ReadHead(InputStream& stream);
    // ReadHead, then a body of "Content-Length" bytes when the field is present.
    void ReadMessage(InputStream& stream);

    // Start line, "\r\n", each header as `name: value\r\n`, an empty line, the body: into `out`.
    void Serialize(ByteBuffer& out);

    // The time budget of the reads that follow, in milliseconds from now; negative for none.
    void SetTimeBudget(int ms);
    // Milliseconds left of the budget (never below 0), or -1 when there is none.
    int BudgetLeft() const;

    // True when the message holds a "Content-Length" field; its value, or 0 without one. A value that is
    // negative or beyond kMaxBodyLength throws HttpException.
    bool HasContentLength() const;
    int32_t ContentLength() const;

    int State() const { return parseState_; }
    void SetStartLine(std::string line) { startLine_ = std::move(line); }
    HeaderList& Headers() { return headers_; }
    const HeaderList& Headers() const { return headers_; }
    ByteBuffer& Body() { return body_; }
    const ByteBuffer& Body() const { return body_; }

protected:
    // Called once when the empty line that ends the head has been parsed.
    virtual void OnHeadersComplete() {}
    // Sets the fields from the start line; throws HttpException when it is malformed.
    virtual void ParseStartLine(const std::string& line) = 0;
    // The start line built from the fields.
    virtual std::string BuildStartLine() = 0;

private:
    void ProcessLine(const std::string& line);
    void FeedBody(const uint8_t* data, int length);

    HeaderList headers_;
    ByteBuffer body_;
    std::string raw_;  // received head bytes not yet taken as lines
    std::string startLine_;
    int parseState_ = kStartLine;
    int headerCount_ = 0;
    // The value of the last "Content-Length" field parsed, -1 while none was.
    int32_t parsedContentLength_ = -1;
    int timeoutMs_ = -1;
    std::chrono::steady_clock::time_point budgetEnd_{};
};
