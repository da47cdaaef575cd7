// Names brought to one form before matching, so that case, accents,
// punctuation, titles and the like stop hiding a pair. On one UTF-8 name, in
// this order:
//   1. NFKC and full case folding (ligatures, full-width letters, ß -> ss);
//   2. accents stripped: decomposed, nonspacing marks (Mn) dropped;
//   3. invisible format characters (Cf: zero-width joiner, soft hyphen, bidi
//      marks) and apostrophes (' ’ ‘ ʼ `) dropped, so O'Brien -> obrien;
//   4. recomposed (NFC), so Hangul and other composing scripts stay whole;
//   5. punctuation and symbols (P*, S*), controls (Cc) and every kind of
//      whitespace become one ASCII space; spaces collapsed and trimmed;
//   6. whole words, or runs of words, found in a drop list removed (the
//      longest run first, and again until none is left).
// The result is valid UTF-8 and normalising it again changes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "talvik/find_pairs.h"

namespace talvik {

enum class NormalizeError : int32_t {
    none = 0,
    invalid_utf8,   // a name is not well-formed UTF-8 (see NormalizeFailure)
    out_of_memory,
    stopped,        // the stop token was raised, or the poll asked to stop
};

// Where the first ill-formed name is: its index and the bad bytes
// [at, end) within it, as Python's UnicodeDecodeError reports them.
struct NormalizeFailure {
    NormalizeError error = NormalizeError::none;
    size_t index = 0;
    size_t at = 0;
    size_t end = 0;
};

// Words (or phrases of several words, such as "s a" from "S.A.") to remove
// from every name, each normalised as a name is first. An entry that
// normalises to nothing is ignored. Read-only once made; shared by workers.
class DropWords {
public:
    DropWords() = default;
    // Fails with invalid_utf8 (index = the entry) or out_of_memory.
    static NormalizeFailure make(std::span<const std::string_view> entries, DropWords& out) noexcept;

    bool empty() const noexcept { return phrases_.empty(); }
    size_t size() const noexcept { return phrases_.size(); }
    // The longest phrase, in words.
    size_t longest() const noexcept { return longest_; }
    bool contains(std::string_view phrase) const noexcept;

private:
    std::vector<std::string> phrases_;  // normalised, sorted, unique
    size_t longest_ = 0;
    // Per first byte, bit min(length, 63) set for each phrase: a quick no.
    std::array<uint64_t, 256> shapes_{};
};

// Normalises one name, appending the result to `out`. Fails only with
// invalid_utf8 (out is then as it was) or, by throwing std::bad_alloc, for
// want of memory.
NormalizeFailure normalize_name(std::string_view name, const DropWords& drop, std::string& out);

struct NormalizeOptions {
    int32_t threads = 1;  // capped as for a search; never changes the result
    const StopToken* stop = nullptr;
    const Poll* poll = nullptr;
};

// Every name normalised: name i is bytes[offsets[i], offsets[i + 1]).
struct NormalizedNames {
    std::vector<char> bytes;
    std::vector<int64_t> offsets;
    NormalizeFailure failure;  // the first ill-formed name, by index, or why it stopped
    bool ok() const noexcept { return failure.error == NormalizeError::none; }
};

// Normalises names on a team of workers; the result does not depend on how
// many ran. On failure the names are empty and `failure` says why.
NormalizedNames normalize_names(std::span<const std::string_view> names, const DropWords& drop,
                                const NormalizeOptions& options) noexcept;

}  // namespace talvik
