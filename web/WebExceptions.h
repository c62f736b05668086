// The web client's own branches of the exception tree. Like every exception of the program they carry
// nothing but their type; the proxy connector keeps its failure text separately (ProxyClient::LastError).
#pragma once

#include "base/Exception.h"

// A malformed HTTP message: a bad start line or header line, a line after the message was complete, or
// a message larger than the client is willing to hold.
class HttpException : public Exception {
public:
    ~HttpException() override = default;
};

// A stream read failed for a reason other than its time limit.
class IOException : public Exception {
public:
    ~IOException() override = default;
};
