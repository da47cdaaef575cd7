// A saved index, damaged: the input is either a whole file or a list of
// edits (offset, xor) to a sound one, opened with its checksums or without
// them. Whatever the bytes, opening fails with an error value, or opens,
// verifies and then searches without a fault; a file that passes its
// checksums gives the pairs of the sound one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/name_lookup.h"
#include "talvik/saved_index.h"
#include "talvik/tradeout_table.h"

using namespace talvik;

namespace {

struct Sound {
    std::vector<std::string> names;
    std::vector<std::string_view> views;
    TradeoutTablePtr table;
    std::unique_ptr<SearchIndex> index;
    std::vector<char> bytes;
    std::vector<NamePair> pairs;
    std::vector<NamePair> looked_up;
};

std::vector<NamePair> pairs_of(const SearchIndex& index) {
    std::vector<NamePair> out;
    const PairResult r = find_pairs(index, SearchOptions{});
    r.for_each([&](NamePair p) { out.push_back(p); });
    return out;
}

// Names that fill every list: pairs, repeats, long names, tradeouts both ways.
const Sound& sound() {
    static const Sound* s = [] {
        auto* s = new Sound;
        s->names = {"ann bob", "bob ann", "ann ann", "robert ann", "a b c d e f g h i j", "a b c",
                    "kate lee", "katherine lee", "x", "", "lee kate kate", "bob robert ann", "j i h g f e d c b a"};
        for (const std::string& n : s->names) s->views.push_back(n);
        const std::vector<std::pair<std::string, std::vector<std::string>>> entries = {
            {"bob", {"robert", "bobby"}}, {"kate", {"katherine"}}, {"a", {"b"}}, {"zed", {"ann"}}};
        s->table = build_tradeout_table(entries);
        s->index = SearchIndex::build(s->views, *s->table, 1).index;
        s->bytes.resize(saved_index_size(*s->index));
        write_saved_index(*s->index, s->bytes.data(), s->bytes.size());
        s->pairs = pairs_of(*s->index);
        s->looked_up = NameLookup::make(*s->index)->find(s->views, {}).pairs;
        return s;
    }();
    return *s;
}

bool same(const std::vector<NamePair>& a, const std::vector<NamePair>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(NamePair)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Sound& s = sound();
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    std::vector<char> file;
    if (mode == 0) {
        file.assign(data + 1, data + size);
    } else {
        file = s.bytes;
        // Five bytes an edit: a little-endian offset into the file, and what to xor there.
        for (size_t k = 1; k + 5 <= size; k += 5) {
            uint32_t at;
            std::memcpy(&at, data + k, 4);
            file[at % file.size()] = static_cast<char>(file[at % file.size()] ^ data[k + 4]);
        }
        if ((size - 1) % 5 != 0) file.resize(file.size() - data[size - 1] % 64);  // and a cut
    }
    const bool checked = mode != 2;
    SavedIndex::Opened opened =
        checked ? SavedIndex::over(file.data(), file.size()) : SavedIndex::over_unchecked(file.data(), file.size());
    if (!opened.index || !opened.index->verify(1).ok()) return 0;
    const SearchIndex& index = *opened.index->index();
    const std::vector<NamePair> pairs = pairs_of(index);
    auto lookup = NameLookup::make(index);
    if (!lookup) return 0;
    const LookupResult looked = lookup->find(s.views, {});
    // Past the checksums, the file is the sound one in every byte that counts.
    if (checked && (!same(pairs, s.pairs) || !same(looked.pairs, s.looked_up))) __builtin_trap();
    return 0;
}
