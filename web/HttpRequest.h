// An HTTP request: method, the parts of its URL, version and whether the request line carries the full
// URL (as a request to an HTTP proxy must).
#pragma once

#include <cstdint>
#include <string>

#include "web/HttpMessage.h"

class HttpRequest : public HttpMessage {
public:
    HttpRequest() = default;

    void Reset() override;

    // Splits `url` into scheme, host, port and path. Without "://" the whole text is the path.
    void SetUrl(const std::string& url);
    // scheme "://" host [":" port] path, the port shown when it is neither 80 nor 0.
    std::string Url() const;

    const std::string& Method() const { return method_; }
    void SetMethod(std::string method) { method_ = std::move(method); }
    const std::string& Scheme() const { return scheme_; }
    const std::string& Host() const { return host_; }
    void SetHost(std::string host) { host_ = std::move(host); }
    uint16_t Port() const { return port_; }
    void SetPort(uint16_t port) { port_ = port; }
    const std::string& Path() const { return path_; }
    const std::string& Version() const { return version_; }
    void SetVersion(std::string version) { version_ = std::move(version); }
    bool AbsoluteForm() const { return absoluteForm_; }
    void SetAbsoluteForm(bool absolute) { absoluteForm_ = absolute; }

protected:
    void ParseStartLine(const std::string& line) override;
    // Also sets the "Host" field, which travels with every request line that names a host.
    std::string BuildStartLine() override;

private:
    std::string method_;
    std::string scheme_ = "http";
    std::string host_;
    uint16_t port_ = 80;
    std::string path_ = "/";
    std::string version_;
    bool absoluteForm_ = false;
};
