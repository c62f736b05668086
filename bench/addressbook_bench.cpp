// The address book at the sizes its limits are set for: loading and saving a book of 100,000 contacts (with
// and without a field the program does not know), and loading the worst files the limits let through, a
// million tiny elements and a million elements that fill the size bound. Each reports the file's bytes, its
// elements and the heap the loaded book holds.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "addressbook/ContactsBook.h"
#include "addressbook/XmlElement.h"
#include "contacts_book_file.h"

namespace fs = std::filesystem;

namespace {

class BookDirectory {
public:
    BookDirectory() {
        std::string pattern = (fs::temp_directory_path() / "qparlin-book-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir_ = pattern;
    }
    ~BookDirectory() { fs::remove_all(dir_); }
    std::string Write(const std::string& text) const {
        const std::string path = (dir_ / "contacts.txt").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

private:
    fs::path dir_;
};

size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

int CountElements(const XmlElement& element) {
    int count = 1;
    for (int i = 0; i < element.ChildCount(); ++i)
        count += CountElements(*element.ChildAt(i));
    return count;
}

// What every load benchmark reports besides its time.
void ReportBook(benchmark::State& state, const std::string& text, const std::string& path) {
    XmlElement root;
    root.Parse(text);
    state.counters["file_MB"] = static_cast<double>(text.size()) / 1e6;
    state.counters["elements"] = CountElements(root);
    const size_t before = HeapInUse();
    const ContactsBook book = ContactsBook::Load(path);
    state.counters["book_heap_MB"] = static_cast<double>(HeapInUse() - before) / 1e6;
    state.counters["contacts"] = static_cast<double>(book.Contacts().size());
    state.counters["read_whole"] = book.ReadWhole() ? 1 : 0;
}

void BM_LoadBook(benchmark::State& state) {
    const BookFile file = MakeBookFile(static_cast<int>(state.range(0)), state.range(1) != 0);
    const BookDirectory directory;
    const std::string path = directory.Write(file.text);
    for (auto _ : state) {
        ContactsBook book = ContactsBook::Load(path);
        benchmark::DoNotOptimize(book.Contacts().data());
    }
    ReportBook(state, file.text, path);
}
BENCHMARK(BM_LoadBook)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->ArgNames({"contacts", "phone"})
    ->Unit(benchmark::kMillisecond);

void BM_SaveBook(benchmark::State& state) {
    const BookFile file = MakeBookFile(static_cast<int>(state.range(0)), true);
    const BookDirectory directory;
    const std::string path = directory.Write(file.text);
    ContactsBook book = ContactsBook::Load(path);
    std::vector<BookRow> rows;
    for (size_t i = 0; i < book.Contacts().size(); ++i)
        rows.push_back({book.Contacts()[i], static_cast<int>(i)});
    rows.insert(rows.begin(), BookRow{{"New", "new.example", "5007"}, -1});
    for (auto _ : state) {
        const SaveOutcome outcome = book.Save(rows);
        if (outcome.kind != SaveOutcome::Kind::Saved)
            state.SkipWithError(outcome.message.c_str());
    }
    state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / 1e6;
}
BENCHMARK(BM_SaveBook)->Arg(100000)->ArgName("contacts")->Unit(benchmark::kMillisecond);

// A million elements in the fewest bytes, and a million that fill the size bound with their values.
void BM_LoadAtTheBounds(benchmark::State& state) {
    const size_t valueLength = static_cast<size_t>(state.range(0));
    std::string text = "<c>";
    const std::string element = "<a>" + std::string(valueLength, 'v') + "</a>";
    for (int i = 0; i < XmlElement::kMaxParseNodes; ++i)
        text += valueLength == 0 ? std::string("<a/>") : element;
    text.resize(std::min(text.size(), static_cast<size_t>(kMaxWholeFileSize)));
    const BookDirectory directory;
    const std::string path = directory.Write(text);
    for (auto _ : state) {
        ContactsBook book = ContactsBook::Load(path);
        benchmark::DoNotOptimize(book.Contacts().data());
    }
    ReportBook(state, text, path);
}
BENCHMARK(BM_LoadAtTheBounds)
    ->Arg(0)
    ->Arg(16)
    ->Arg(28)
    ->ArgName("value_bytes")
    ->Unit(benchmark::kMillisecond);

}  // namespace
