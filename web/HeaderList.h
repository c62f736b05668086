// The header fields of one HTTP message, in arrival or insertion order. Names are matched ignoring ASCII
// case; repeated fields are kept and found one by one by starting a lookup after the previous hit.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class HeaderList {
public:
    int Count() const { return static_cast<int>(entries_.size()); }
    const std::string& Name(int index) const { return entries_[static_cast<size_t>(index)].first; }
    const std::string& Value(int index) const { return entries_[static_cast<size_t>(index)].second; }
    std::string& Value(int index) { return entries_[static_cast<size_t>(index)].second; }

    // Index of the first field named `name` at or after `start`, or -1.
    int Find(std::string_view name, int start = 0) const;
    // The value of the first field named `name`, or an empty string.
    std::string Get(std::string_view name) const;
    // Appends, even when a field of that name exists already.
    void Add(std::string name, std::string value);
    // The value of the first field named `name`; a field with an empty value is appended when missing.
    std::string& FindOrCreate(std::string_view name);
    void Set(std::string_view name, std::string value) { FindOrCreate(name) = std::move(value); }
    void Append(const HeaderList& other);
    void Clear() { entries_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};
