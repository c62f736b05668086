#include "web/HttpRequest.h"

#include "base/ByteString.h"

namespace {

// "host", "host:port", "[IPv6]" or "[IPv6]:port" as a URL or CONNECT names it: the host without brackets
// and the port, `port` left as it is when none is given. An opening bracket without its closing one gives
// no host.
void SplitAuthority(const std::string& authority, std::string& host, uint16_t& port) {
    size_t colon = std::string::npos;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        host = close == std::string::npos ? std::string() : authority.substr(1, close - 1);
        if (close != std::string::npos && close + 1 < authority.size() && authority[close + 1] == ':')
            colon = close + 1;
    } else {
        colon = authority.find(':');
        host = authority.substr(0, colon);
    }
    if (colon != std::string::npos)
        port = static_cast<uint16_t>(Atoi(authority.substr(colon + 1)));
}

// The host as a URL or a Host header writes it: an IPv6 address in brackets.
std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

void HttpRequest::Reset() {
    HttpMessage::Reset();
    method_.clear();
    scheme_ = "http";
    host_.clear();
    port_ = 80;
    path_ = "/";
    version_.clear();
    absoluteForm_ = false;
}

void HttpRequest::SetUrl(const std::string& url) {
    const std::string text = std::string(TrimBytes(url));
    scheme_.clear();
    host_.clear();
    path_.clear();
    port_ = 80;
    const size_t separator = text.find("://");
    if (separator == std::string::npos) {
        path_ = text;
        absoluteForm_ = false;
    } else {
        scheme_ = text.substr(0, separator);
        const std::string rest = text.substr(separator + 3);
        const size_t slash = rest.find('/');
        const std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
        path_ = slash == std::string::npos ? "/" : rest.substr(slash);
        SplitAuthority(authority, host_, port_);
    }
    if (scheme_.empty())
        scheme_ = "http";
    if (path_.empty())
        path_ = "/";
}

std::string HttpRequest::Url() const {
    std::string url = scheme_ + "://" + UrlHost(host_);
    if (port_ != 80 && port_ != 0)
        url += ":" + std::to_string(port_);
    return url + path_;
}

void HttpRequest::ParseStartLine(const std::string& line) {
    const size_t first = line.find(' ');
    if (first == std::string::npos)
        throw HttpException();
    const size_t second = line.find(' ', first + 1);
    if (second == std::string::npos)
        throw HttpException();
    method_ = std::string(TrimBytes(std::string_view(line).substr(0, first)));
    const std::string target =
        std::string(TrimBytes(std::string_view(line).substr(first + 1, second - first - 1)));
    version_ = std::string(TrimBytes(std::string_view(line).substr(second + 1)));
    if (method_ == "CONNECT") {
        std::string authority = target;
        const size_t scheme = authority.find("://");
        if (scheme != std::string::npos)
            authority.erase(0, scheme + 3);
        port_ = 80;
        SplitAuthority(authority, host_, port_);
    } else {
        SetUrl(target);
    }
    absoluteForm_ = !host_.empty();
}

std::string HttpRequest::BuildStartLine() {
    if (!host_.empty()) {
        Headers().Set("Host", port_ == 80 ? UrlHost(host_) : UrlHost(host_) + ":" + std::to_string(port_));
    }
    return method_ + " " + (absoluteForm_ ? Url() : path_) + " " + version_;
}
