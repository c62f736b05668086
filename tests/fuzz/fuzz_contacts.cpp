// LoadContacts on an arbitrary contacts file: the input is written to a private temporary file and loaded
// from there, the way the dialog reads "contacts.txt".
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "addressbook/Contacts.h"

namespace {

std::string& FilePath() {
    static std::string path = [] {
        char name[] = "/tmp/fuzz_contacts.XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

struct RemoveAtExit {
    ~RemoveAtExit() { unlink(FilePath().c_str()); }
} removeAtExit;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = FilePath();
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
    for (const Contact& contact : LoadContacts(path))
        PortFromText(contact.port);
    return 0;
}
