#include "web/HeaderList.h"

#include "base/ByteString.h"

int HeaderList::Find(std::string_view name, int start) const {
    for (int i = start < 0 ? 0 : start; i < Count(); ++i) {
        if (EqualsIgnoringCase(Name(i), name))
            return i;
    }
    return -1;
}

std::string HeaderList::Get(std::string_view name) const {
    const int index = Find(name);
    return index < 0 ? std::string() : Value(index);
}

void HeaderList::Add(std::string name, std::string value) {
    entries_.emplace_back(std::move(name), std::move(value));
}

std::string& HeaderList::FindOrCreate(std::string_view name) {
    const int index = Find(name);
    if (index >= 0)
        return Value(index);
    entries_.emplace_back(std::string(name), std::string());
    return entries_.back().second;
}

void HeaderList::Append(const HeaderList& other) {
    for (const auto& entry : other.entries_)
        entries_.push_back(entry);
}
