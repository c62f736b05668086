// Failures of the whole-file helpers. They are thrown and caught inside ReadWholeFile and WriteWholeFile
// and never leave them; like every exception of the program they carry nothing but their type.
#pragma once

#include "base/Exception.h"

class FileException : public Exception {
public:
    ~FileException() override = default;
};

class FileCantOpenException : public FileException {
public:
    ~FileCantOpenException() override = default;
};

class FileCantCreateException : public FileException {
public:
    ~FileCantCreateException() override = default;
};

class FileCantReadException : public FileException {
public:
    ~FileCantReadException() override = default;
};

class FileCantWriteException : public FileException {
public:
    ~FileCantWriteException() override = default;
};

class FileCantCloseException : public FileException {
public:
    ~FileCantCloseException() override = default;
};
