#include "talvik/normalize.h"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <new>
#include <stdexcept>

#include "parallel_for.h"
#include "talvik/utf8.h"

namespace talvik {
namespace {

constexpr char32_t kDrop = 0xFFFFFFFF;
constexpr char32_t kSpace = 0xFFFFFFFE;

// What an ASCII byte becomes: itself (lower-cased), a separator, or nothing.
// For ASCII the whole pipeline reduces to this table (NFKC and accents leave
// ASCII alone), which is the path nearly every name takes.
constexpr std::array<char32_t, 128> ascii_table() {
    std::array<char32_t, 128> t{};
    for (char32_t c = 0; c < 128; ++c) {
        if (c >= 'a' && c <= 'z') {
            t[c] = c;
        } else if (c >= 'A' && c <= 'Z') {
            t[c] = c - 'A' + 'a';
        } else if (c >= '0' && c <= '9') {
            t[c] = c;
        } else if (c == '\'' || c == '`') {
            t[c] = kDrop;
        } else {
            t[c] = kSpace;  // controls, whitespace, punctuation and symbols
        }
    }
    return t;
}
constexpr std::array<char32_t, 128> kAscii = ascii_table();

bool is_apostrophe(utf8proc_int32_t c) noexcept {
    return c == 0x27 || c == 0x60 || c == 0x2018 || c == 0x2019 || c == 0x02BC;
}

// Whether a code point separates words: punctuation, symbols, controls and
// whatever str.isspace() calls whitespace.
bool is_separator(const utf8proc_property_t& p) noexcept {
    switch (p.category) {
        case UTF8PROC_CATEGORY_PC: case UTF8PROC_CATEGORY_PD: case UTF8PROC_CATEGORY_PS:
        case UTF8PROC_CATEGORY_PE: case UTF8PROC_CATEGORY_PI: case UTF8PROC_CATEGORY_PF:
        case UTF8PROC_CATEGORY_PO: case UTF8PROC_CATEGORY_SM: case UTF8PROC_CATEGORY_SC:
        case UTF8PROC_CATEGORY_SK: case UTF8PROC_CATEGORY_SO: case UTF8PROC_CATEGORY_ZS:
        case UTF8PROC_CATEGORY_ZL: case UTF8PROC_CATEGORY_ZP: case UTF8PROC_CATEGORY_CC:
            return true;
        default:
            return p.bidi_class == UTF8PROC_BIDI_CLASS_WS || p.bidi_class == UTF8PROC_BIDI_CLASS_B ||
                   p.bidi_class == UTF8PROC_BIDI_CLASS_S;
    }
}

// The first ill-formed sequence, with the same [at, end) as Python's decoder;
// at == end == npos when the bytes are well-formed.
struct Utf8Scan {
    size_t at = std::string_view::npos;
    size_t end = std::string_view::npos;
    bool valid() const noexcept { return at == std::string_view::npos; }
};

Utf8Scan check_utf8(std::string_view s) noexcept {
    for (size_t k = 0; k < s.size();) {
        if (static_cast<unsigned char>(s[k]) < 0x80) {
            ++k;
            continue;
        }
        char32_t cp = 0;
        const size_t length = decode_utf8(s, k, &cp);
        if (length == 0) return {k, utf8_error_end(s, k)};
        k += length;
    }
    return {};
}

// Reusable buffers of one worker.
struct Scratch {
    std::vector<utf8proc_int32_t> points;
    std::vector<size_t> word_ends;
};

// Appends `c` to out, with one space before it when a separator came since
// the last character written after `start`.
struct Emitter {
    std::string& out;
    size_t start;
    bool pending = false;

    void separator() noexcept { pending = out.size() > start; }
    void put(char c) {
        if (pending) {
            out.push_back(' ');
            pending = false;
        }
        out.push_back(c);
    }
    void put_utf8(const utf8proc_uint8_t* bytes, utf8proc_ssize_t n) {
        if (pending) {
            out.push_back(' ');
            pending = false;
        }
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }
};

// ASCII never grows, so it is written through a pointer into room made once.
void normalize_ascii(std::string_view name, std::string& out, size_t start) {
    out.resize(start + name.size());
    char* const first = out.data() + start;
    char* w = first;
    bool pending = false;
    for (const char ch : name) {
        const char32_t m = kAscii[static_cast<unsigned char>(ch)];
        if (m == kDrop) continue;
        if (m == kSpace) {
            pending = w != first;
            continue;
        }
        if (pending) {
            *w++ = ' ';
            pending = false;
        }
        *w++ = static_cast<char>(m);
    }
    out.resize(start + static_cast<size_t>(w - first));
}

// Canonical order again: a dropped mark of class 0 may have stood between
// two marks that are out of order once it is gone.
void canonical_order(utf8proc_int32_t* p, utf8proc_ssize_t n) noexcept {
    auto ccc = [](utf8proc_int32_t c) { return utf8proc_get_property(c)->combining_class; };
    for (utf8proc_ssize_t k = 1; k < n; ++k) {
        const utf8proc_int32_t c = p[k];
        const auto cc = ccc(c);
        if (cc == 0) continue;
        utf8proc_ssize_t j = k;
        for (; j > 0 && ccc(p[j - 1]) > cc; --j) p[j] = p[j - 1];  // ccc 0 stops it
        p[j] = c;
    }
}

// NFC composition of canonically ordered code points, in place; returns the
// new length. utf8proc joins a Hangul LV syllable with U+11A7, which is not a
// trailing consonant, and loses it; as a starter that composes with nothing
// before it, U+11A7 can start a run of its own.
utf8proc_ssize_t compose(utf8proc_int32_t* p, utf8proc_ssize_t n) noexcept {
    canonical_order(p, n);
    utf8proc_ssize_t write = 0, begin = 0;
    while (begin < n) {
        utf8proc_ssize_t end = begin + 1;
        while (end < n && p[end] != 0x11A7) ++end;
        const utf8proc_ssize_t m = utf8proc_normalize_utf32(p + begin, end - begin, UTF8PROC_COMPOSE);
        std::copy(p + begin, p + begin + m, p + write);
        write += m;
        begin = end;
    }
    return write;
}

// Steps 1 to 5 through utf8proc, on well-formed UTF-8.
void normalize_segment(std::string_view name, Scratch& s, Emitter& e) {
    constexpr auto options =
        static_cast<utf8proc_option_t>(UTF8PROC_COMPAT | UTF8PROC_CASEFOLD | UTF8PROC_DECOMPOSE);
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
    const auto length = static_cast<utf8proc_ssize_t>(name.size());
    if (s.points.size() < name.size() + 16) s.points.resize(name.size() + 16);
    utf8proc_ssize_t n = 0;
    for (;;) {
        n = utf8proc_decompose_custom(bytes, length, s.points.data(), static_cast<utf8proc_ssize_t>(s.points.size()),
                                      options, nullptr, nullptr);
        if (n < 0) throw std::bad_alloc();  // the bytes were checked: only an overflow is left
        if (static_cast<size_t>(n) <= s.points.size()) break;
        s.points.resize(static_cast<size_t>(n));  // it said how much it needs
    }
    // Fully decomposed; what is dropped goes before composing, so that what it
    // stood between can compose.
    utf8proc_ssize_t kept = 0;
    for (utf8proc_ssize_t k = 0; k < n; ++k) {
        const utf8proc_int32_t c = s.points[static_cast<size_t>(k)];
        const utf8proc_propval_t category = utf8proc_get_property(c)->category;
        if (category == UTF8PROC_CATEGORY_MN || category == UTF8PROC_CATEGORY_CF || is_apostrophe(c)) continue;
        s.points[static_cast<size_t>(kept++)] = c;
    }
    kept = compose(s.points.data(), kept);
    utf8proc_uint8_t utf8[4];
    for (utf8proc_ssize_t k = 0; k < kept; ++k) {
        const utf8proc_int32_t c = s.points[static_cast<size_t>(k)];
        if (c < 0x80) {
            const char32_t m = kAscii[static_cast<size_t>(c)];
            if (m == kSpace) {
                e.separator();
            } else {
                e.put(static_cast<char>(m));  // already folded; no apostrophe is left
            }
        } else if (is_separator(*utf8proc_get_property(c))) {
            e.separator();
        } else {
            e.put_utf8(utf8, utf8proc_encode_char(c, utf8));
        }
    }
}

// Steps 1 to 5 on well-formed UTF-8 that is not all ASCII. An ASCII
// character other than an apostrophe is of class 0 and no composition that
// starts with it has a second part that survives (those are all nonspacing
// marks, dropped), so it cuts the name into pieces that are normalised
// alone: only the runs of other characters go through utf8proc, with the
// apostrophes among them (dropped before composing, they join what they split).
void normalize_unicode(std::string_view name, Scratch& s, Emitter& e) {
    auto plain = [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\'' && c != '`'; };
    for (size_t k = 0; k < name.size();) {
        if (plain(name[k])) {
            const char32_t m = kAscii[static_cast<unsigned char>(name[k++])];
            if (m == kSpace) {
                e.separator();
            } else {
                e.put(static_cast<char>(m));
            }
            continue;
        }
        size_t end = k + 1;
        while (end < name.size() && !plain(name[end])) ++end;
        normalize_segment(name.substr(k, end - k), s, e);
        k = end;
    }
}

// Step 6 on out[start..], which is already collapsed: removes the longest
// phrase of the drop list that starts at each word, in place; true when it
// removed any.
bool drop_phrases(std::string& out, size_t start, const DropWords& drop, Scratch& s) {
    const size_t end = out.size();
    size_t read = start, write = start;
    while (read < end) {
        // The ends of the next few words.
        s.word_ends.clear();
        for (size_t k = read; s.word_ends.size() < drop.longest();) {
            const size_t e = std::min(out.find(' ', k), end);
            s.word_ends.push_back(e);
            if (e == end) break;
            k = e + 1;
        }
        size_t skip_to = 0;
        for (size_t w = s.word_ends.size(); w > 0 && skip_to == 0; --w) {
            const size_t e = s.word_ends[w - 1];
            if (drop.contains(std::string_view(out).substr(read, e - read))) skip_to = e;
        }
        if (skip_to == 0) {
            const size_t e = s.word_ends.front();
            if (write > start) out[write++] = ' ';
            std::copy(out.begin() + static_cast<ptrdiff_t>(read), out.begin() + static_cast<ptrdiff_t>(e),
                      out.begin() + static_cast<ptrdiff_t>(write));  // write <= read: a move left
            write += e - read;
            skip_to = e;
        }
        read = skip_to + 1;
    }
    const bool removed = write < end;
    out.resize(write);
    return removed;
}

NormalizeFailure normalize_into(std::string_view name, const DropWords& drop, Scratch& s, std::string& out) {
    const size_t start = out.size();
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        normalize_ascii(name, out, start);
    } else {
        const Utf8Scan scan = check_utf8(name);
        if (!scan.valid()) return {NormalizeError::invalid_utf8, 0, scan.at, scan.end};
        Emitter e{out, start};
        normalize_unicode(name, s, e);
    }
    // Until nothing more goes: a removal can join a phrase ("s co a" -> "s a"),
    // and a result normalised again must not change.
    if (!drop.empty()) {
        while (out.size() > start && drop_phrases(out, start, drop, s)) {
        }
    }
    return {};
}

// Names per chunk of work: small enough to share out evenly, large enough
// that claiming one costs nothing.
constexpr size_t kChunk = 2048;

struct ChunkOut {
    std::string bytes;
    std::vector<size_t> ends;  // within bytes
    NormalizeFailure failure;
};

}  // namespace

NormalizeFailure DropWords::make(std::span<const std::string_view> entries, DropWords& out) noexcept {
    DropWords made;
    try {
        const DropWords none;
        Scratch s;
        for (size_t i = 0; i < entries.size(); ++i) {
            std::string phrase;
            NormalizeFailure f = normalize_into(entries[i], none, s, phrase);
            if (f.error != NormalizeError::none) {
                f.index = i;
                return f;
            }
            if (phrase.empty()) continue;
            made.longest_ = std::max<size_t>(made.longest_, 1 + static_cast<size_t>(std::count(phrase.begin(), phrase.end(), ' ')));
            made.phrases_.push_back(std::move(phrase));
        }
        std::sort(made.phrases_.begin(), made.phrases_.end());
        made.phrases_.erase(std::unique(made.phrases_.begin(), made.phrases_.end()), made.phrases_.end());
        for (const std::string& p : made.phrases_) {
            made.shapes_[static_cast<unsigned char>(p[0])] |= uint64_t{1} << std::min<size_t>(p.size(), 63);
        }
    } catch (const std::bad_alloc&) {
        return {NormalizeError::out_of_memory};
    } catch (const std::length_error&) {
        return {NormalizeError::out_of_memory};
    }
    out = std::move(made);
    return {};
}

bool DropWords::contains(std::string_view phrase) const noexcept {
    if (phrase.empty() || !((shapes_[static_cast<unsigned char>(phrase[0])] >> std::min<size_t>(phrase.size(), 63)) & 1)) {
        return false;  // no phrase of this first byte and length: most words end here
    }
    const auto it = std::lower_bound(phrases_.begin(), phrases_.end(), phrase,
                                     [](const std::string& a, std::string_view b) { return a < b; });
    return it != phrases_.end() && *it == phrase;
}

NormalizeFailure normalize_name(std::string_view name, const DropWords& drop, std::string& out) {
    Scratch s;
    const size_t before = out.size();
    NormalizeFailure f = normalize_into(name, drop, s, out);
    if (f.error != NormalizeError::none) out.resize(before);
    return f;
}

NormalizedNames normalize_names(std::span<const std::string_view> names, const DropWords& drop,
                                const NormalizeOptions& options) noexcept {
    NormalizedNames result;
    auto fail = [&](NormalizeFailure f) {
        result.bytes = {};
        result.offsets = {};
        result.failure = f;
        return std::move(result);
    };
    try {
        const size_t chunks = (names.size() + kChunk - 1) / kChunk;
        std::vector<ChunkOut> outs(chunks);
        ParallelFor loop(available_workers(options.threads), options.stop, options.poll);
        std::vector<Scratch> scratch(static_cast<size_t>(loop.workers()));
        // The lowest chunk with an ill-formed name; later chunks need not run.
        std::atomic<size_t> first_bad{chunks};
        loop.run(chunks, [&](size_t c, int32_t worker) {
            if (first_bad.load(std::memory_order_relaxed) < c) return;
            // Built here and moved in at the end: neighbouring chunks' headers
            // share cache lines, and other workers write theirs.
            ChunkOut out;
            Scratch& s = scratch[static_cast<size_t>(worker)];
            const size_t begin = c * kChunk, end = std::min(names.size(), begin + kChunk);
            out.ends.reserve(end - begin);
            for (size_t i = begin; i < end; ++i) {
                NormalizeFailure f = normalize_into(names[i], drop, s, out.bytes);
                if (f.error != NormalizeError::none) {
                    f.index = i;
                    outs[c].failure = f;
                    size_t seen = first_bad.load(std::memory_order_relaxed);
                    while (c < seen && !first_bad.compare_exchange_weak(seen, c, std::memory_order_relaxed)) {
                    }
                    return;
                }
                out.ends.push_back(out.bytes.size());
            }
            outs[c] = std::move(out);
        });
        switch (loop.error()) {
            case SearchError::none: break;
            case SearchError::stopped: return fail({NormalizeError::stopped});
            default: return fail({NormalizeError::out_of_memory});
        }
        // Every chunk before the first bad one ran (chunks are claimed in order).
        if (const size_t bad = first_bad.load(); bad < chunks) return fail(outs[bad].failure);
        size_t total = 0;
        for (const ChunkOut& out : outs) total += out.bytes.size();
        result.bytes.reserve(total);
        result.offsets.reserve(names.size() + 1);
        result.offsets.push_back(0);
        for (ChunkOut& out : outs) {
            const auto base = static_cast<int64_t>(result.bytes.size());
            result.bytes.insert(result.bytes.end(), out.bytes.begin(), out.bytes.end());
            for (const size_t e : out.ends) result.offsets.push_back(base + static_cast<int64_t>(e));
            out = ChunkOut{};  // give its memory back as we go
        }
    } catch (const std::bad_alloc&) {
        return fail({NormalizeError::out_of_memory});
    } catch (const std::length_error&) {
        return fail({NormalizeError::out_of_memory});
    }
    return result;
}

}  // namespace talvik
