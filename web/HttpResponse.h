// An HTTP response: version, status code and reason phrase.
#pragma once

#include <string>

#include "web/HttpMessage.h"

class HttpResponse : public HttpMessage {
public:
    HttpResponse() = default;

    void Reset() override;

    const std::string& Version() const { return version_; }
    int StatusCode() const { return statusCode_; }
    void SetStatusCode(int code) { statusCode_ = code; }
    const std::string& Reason() const { return reason_; }
    void SetReason(std::string reason) { reason_ = std::move(reason); }
    void SetVersion(std::string version) { version_ = std::move(version); }

protected:
    void ParseStartLine(const std::string& line) override;
    std::string BuildStartLine() override;

private:
    std::string version_;
    int statusCode_ = 0;
    std::string reason_;
};
