#include "web/HttpMessage.h"

#include <algorithm>
#include <cstring>

#include "base/ByteString.h"

namespace {

// Bodies grow in steps of this many bytes.
constexpr int32_t kBodyGrowStep = 1000;
// The most bytes one read of a "Content-Length" body asks for.
constexpr int kBodyBlock = 16 * 1024;

// The value of a "Content-Length" field, checked before anyone sizes a buffer by it.
int32_t CheckedContentLength(const std::string& value) {
    const int64_t length = ParseDecimal(value);
    if (length < 0 || length > HttpMessage::kMaxBodyLength)
        throw HttpException();
    return static_cast<int32_t>(length);
}

}  // namespace

HttpMessage::HttpMessage() : body_(0, kBodyGrowStep) {}

void HttpMessage::Reset() {
    headers_.Clear();
    body_.Clear();
    raw_.clear();
    startLine_.clear();
    parseState_ = kStartLine;
    headerCount_ = 0;
    parsedContentLength_ = -1;
    timeoutMs_ = -1;
}

bool HttpMessage::HasContentLength() const {
    return parsedContentLength_ >= 0 || headers_.Find("content-length") >= 0;
}

int32_t HttpMessage::ContentLength() const {
    if (parsedContentLength_ >= 0)
        return parsedContentLength_;
    const int index = headers_.Find("content-length");
    return index < 0 ? 0 : CheckedContentLength(headers_.Value(index));
}

void HttpMessage::SetTimeBudget(int ms) {
    timeoutMs_ = ms < 0 ? -1 : ms;
    budgetEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

int HttpMessage::BudgetLeft() const {
    if (timeoutMs_ < 0)
        return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(budgetEnd_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT32_MAX));
}

void HttpMessage::Feed(const void* data, int length) {
    if (length <= 0)
        return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (parseState_ == kBody) {
        FeedBody(bytes, length);
        return;
    }
    raw_.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    size_t start = 0;
    // The last byte is never taken as a line end: "\r" may yet be followed by "\n", or "\n" by "\r".
    for (size_t i = 0; i + 1 < raw_.size(); ++i) {
        const char c = raw_[i];
        if (c != '\r' && c != '\n')
            continue;
        const char next = raw_[i + 1];
        const size_t endLength = (c == '\r' && next == '\n') || (c == '\n' && next == '\r') ? 2 : 1;
        const std::string line = std::string(TrimBytes(std::string_view(raw_).substr(start, i - start)));
        start = i + endLength;
        i = start - 1;
        ProcessLine(line);
        if (parseState_ == kBody) {
            const std::string rest = raw_.substr(start);
            raw_.clear();
            FeedBody(reinterpret_cast<const uint8_t*>(rest.data()), static_cast<int>(rest.size()));
            return;
        }
    }
    raw_.erase(0, start);
    if (raw_.size() > static_cast<size_t>(kMaxLineLength))
        throw HttpException();
}

void HttpMessage::ProcessLine(const std::string& line) {
    switch (parseState_) {
        case kStartLine:
            startLine_ = line;
            parseState_ = kHeaders;
            ParseStartLine(startLine_);
            return;
        case kHeaders:
            break;
        default:
            throw HttpException();
    }
    if (line.empty()) {
        OnHeadersComplete();
        parseState_ = kBody;
        if (HasContentLength() && ContentLength() == 0)
            parseState_ = kComplete;
        return;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        throw HttpException();
    if (++headerCount_ > kMaxHeaderCount)
        throw HttpException();
    std::string name = std::string(TrimBytes(std::string_view(line).substr(0, colon)));
    std::string value = std::string(TrimBytes(std::string_view(line).substr(colon + 1)));
    if (name.empty())
        throw HttpException();
    if (EqualsIgnoringCase(name, "content-length")) {
        const int32_t length = CheckedContentLength(value);
        // Two different lengths leave no way to tell where the body ends.
        if (parsedContentLength_ >= 0 && parsedContentLength_ != length)
            throw HttpException();
        parsedContentLength_ = length;
    }
    headers_.Add(std::move(name), std::move(value));
}

void HttpMessage::FeedBody(const uint8_t* data, int length) {
    if (length <= 0)
        return;
    if (HasContentLength()) {
        const int32_t missing = ContentLength() - body_.Length();
        body_.Append(data, std::min(length, missing));
        if (body_.Length() >= ContentLength())
            parseState_ = kComplete;
        return;
    }
    if (length > kMaxBodyLength - body_.Length())
        throw HttpException();
    body_.Append(data, length);
}

void HttpMessage::ReadHead(InputStream& stream) {
    while (parseState_ < kBody) {
        const int left = BudgetLeft();
        if (left == 0)
            throw TimeoutException();
        const int limit = stream.TimeLimit();
        const int slice = left < 0 ? limit : (limit < 0 ? left : std::min(limit, left));
        std::string line;
        try {
            line = stream.ReadLine(slice);
        } catch (const TimeoutException&) {
            continue;  // the stream keeps the part of the line it has; the budget decides
        }
        Feed(std::string(TrimBytes(line)) + "\r\n");
    }
}

void HttpMessage::ReadMessage(InputStream& stream) {
    ReadHead(stream);
    if (!HasContentLength())
        return;
    uint8_t block[kBodyBlock];
    while (parseState_ == kBody) {
        const int left = BudgetLeft();
        if (left == 0)
            throw TimeoutException();
        const int limit = stream.TimeLimit();
        const int slice = left < 0 ? limit : (limit < 0 ? left : std::min(limit, left));
        const int wanted = std::min<int32_t>(kBodyBlock, ContentLength() - body_.Length());
        int received = 0;
        try {
            received = stream.ReadBlock(block, wanted, slice);
        } catch (const TimeoutException&) {
            continue;
        }
        FeedBody(block, received);
    }
}

void HttpMessage::Serialize(ByteBuffer& out) {
    startLine_ = BuildStartLine();
    std::string head = startLine_ + "\r\n";
    for (int i = 0; i < headers_.Count(); ++i)
        head += headers_.Name(i) + ": " + headers_.Value(i) + "\r\n";
    head += "\r\n";
    out.Clear();
    out.Append(reinterpret_cast<const uint8_t*>(head.data()), static_cast<int32_t>(head.size()));
    out.Append(body_.Data(), body_.Length());
}
