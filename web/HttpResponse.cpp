#include "web/HttpResponse.h"

#include "base/ByteString.h"

void HttpResponse::Reset() {
    HttpMessage::Reset();
    version_.clear();
    statusCode_ = 0;
    reason_.clear();
}

void HttpResponse::ParseStartLine(const std::string& line) {
    const std::string text = std::string(TrimBytes(line));
    const size_t space = text.find(' ');
    if (space == std::string::npos)
        throw HttpException();
    version_ = text.substr(0, space);
    const std::string rest = std::string(TrimBytes(std::string_view(text).substr(space + 1)));
    const size_t next = rest.find(' ');
    statusCode_ = Atoi(rest.substr(0, next));
    reason_ = next == std::string::npos ? std::string()
                                        : std::string(TrimBytes(std::string_view(rest).substr(next + 1)));
}

std::string HttpResponse::BuildStartLine() {
    return version_ + " " + std::to_string(statusCode_) + " " + reason_;
}
