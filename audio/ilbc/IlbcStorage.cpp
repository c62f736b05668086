// RFC 3952 storage files: header check, frame access and writing.
#include "audio/ilbc/IlbcStorage.h"

#include <cstring>

namespace ilbc {

std::string_view StorageHeader(Mode mode) {
    return mode == Mode::k20ms ? std::string_view("#!iLBC20\n") : std::string_view("#!iLBC30\n");
}

const uint8_t* StorageView::Frame(size_t i) const {
    if (i >= frameCount)
        return nullptr;
    return frames + i * static_cast<size_t>(Params(mode).frameBytes);
}

std::optional<StorageView> ParseStorage(const uint8_t* data, size_t size) {
    for (Mode mode : {Mode::k20ms, Mode::k30ms}) {
        const std::string_view header = StorageHeader(mode);
        if (data == nullptr || size < header.size() || std::memcmp(data, header.data(), header.size()) != 0)
            continue;
        const size_t body = size - header.size();
        const auto frameBytes = static_cast<size_t>(Params(mode).frameBytes);
        StorageView view;
        view.mode = mode;
        view.frames = data + header.size();
        view.frameCount = body / frameBytes;
        view.trailingBytes = body % frameBytes;
        return view;
    }
    return std::nullopt;
}

std::vector<uint8_t> MakeStorage(Mode mode, const uint8_t* frames, size_t frameCount) {
    const std::string_view header = StorageHeader(mode);
    const size_t body = frameCount * static_cast<size_t>(Params(mode).frameBytes);
    std::vector<uint8_t> file(header.size() + body);
    std::memcpy(file.data(), header.data(), header.size());
    if (body > 0)
        std::memcpy(file.data() + header.size(), frames, body);
    return file;
}

}  // namespace ilbc
