#include "talvik/saved_index.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "crc32c.h"
#include "name_index.h"
#include "parallel_for.h"
#include "tradeout_slots.h"

namespace talvik {

static_assert(std::endian::native == std::endian::little, "the saved format is little-endian, read in place");
static_assert(sizeof(size_t) == 8, "offsets are saved as 64-bit and read in place as size_t");

constexpr char kMagic[8] = {'T', 'A', 'L', 'V', 'I', 'K', 'I', 'X'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kByteOrder = 0x01020304;
constexpr uint64_t kAlign = 64;
// Options that change results, one bit each, none yet: a reader refuses a
// file with a bit it does not know, since it would search it wrongly.
constexpr uint64_t kKnownRequiredFlags = 0;
constexpr uint32_t kSmall = 1;     // checked when the file is opened
constexpr uint32_t kRequired = 2;  // a reader that does not know the section must refuse the file
constexpr uint32_t kNoList = 0xFFFFFFFF;  // a tradeout key without a list

struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint32_t byte_order;
    uint32_t section_count;
    uint64_t file_size;
    uint64_t name_count;
    uint64_t word_count;
    uint64_t required_flags;
    uint32_t directory_crc;
    uint32_t header_crc;  // of the header with this field zero
    uint8_t reserved[64];
};
static_assert(sizeof(FileHeader) == 128);

struct SavedSection {
    uint32_t id;
    uint32_t element_size;
    uint64_t offset;
    uint64_t size;  // bytes
    uint32_t crc;
    uint32_t flags;
};
static_assert(sizeof(SavedSection) == 32);

namespace {

enum Section : uint32_t {
    options = 1,
    tradeouts,
    name_bytes,
    name_start,
    word_bytes,
    word_start,
    word_slots,
    name_word_start,
    name_words,
    trade_start,
    trade_words,
    from_start,
    from_words,
    post_start,
    post_names,
    reach,
    pair_slots,
    pair_names,
    repeat_start,
    repeat_names,
    long_start,
    long_names,
    kLast = long_names,
};
constexpr uint32_t kSections = kLast;

constexpr const char* kSectionNames[kSections + 1] = {
    "",           "options",      "tradeouts",   "name bytes",  "name offsets", "word bytes",
    "word offsets", "word slots", "name word offsets", "name words", "tradeout offsets", "tradeout words",
    "traded-from offsets", "traded-from words", "posting offsets", "postings", "reach", "pair slots",
    "pair postings", "repeat offsets", "repeat postings", "long-name offsets", "long-name postings",
};

constexpr uint32_t element_size_of(uint32_t id) noexcept {
    switch (id) {
        case options:
        case tradeouts:
        case name_bytes:
        case word_bytes:
            return 1;
        case name_words:
        case trade_words:
        case from_words:
        case post_names:
        case pair_names:
        case repeat_names:
        case long_names:
            return 4;
        case pair_slots:
            return sizeof(NameIndex::PairSlot);
        default:
            return 8;
    }
}

SavedIndexStatus fail(SavedIndexError e, const char* where = nullptr, int err = 0) noexcept {
    return SavedIndexStatus{e, err, where};
}

uint64_t align_up(uint64_t x) noexcept { return (x + kAlign - 1) / kAlign * kAlign; }

// Where the bytes of a save go: a checksum, memory, or a file.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const void* p, size_t n) noexcept = 0;
};

class CrcSink final : public Sink {
public:
    void write(const void* p, size_t n) noexcept override { crc = crc32c(crc, p, n); }
    uint32_t crc = 0;
};

class MemorySink final : public Sink {
public:
    explicit MemorySink(char* out) noexcept : at_(out) {}
    void write(const void* p, size_t n) noexcept override {
        if (n == 0) return;
        std::memcpy(at_, p, n);
        at_ += n;
    }

private:
    char* at_;
};

// Buffered writes to a file descriptor; the first error is kept and later
// writes are dropped. Writes of 2 MiB at offsets of 2 MiB let the page cache
// hold the file in huge pages (where the file system keeps large folios, as
// ext4 and XFS do), which the mapping of an open() then uses: lookups jump
// about the whole file, and spend less on address translation.
class FileSink final : public Sink {
public:
    explicit FileSink(int fd) noexcept : fd_(fd) {}
    void write(const void* p, size_t n) noexcept override {
        const auto* bytes = static_cast<const char*>(p);
        while (n > 0 && error_ == 0) {
            if (used_ == sizeof buffer_) flush();
            const size_t take = std::min(n, sizeof buffer_ - used_);
            std::memcpy(buffer_ + used_, bytes, take);
            used_ += take;
            bytes += take;
            n -= take;
        }
    }
    int finish() noexcept {
        flush();
        return error_;
    }

private:
    void flush() noexcept {
        size_t done = 0;
        while (done < used_ && error_ == 0) {
            const ssize_t w = ::write(fd_, buffer_ + done, used_ - done);
            if (w < 0) {
                if (errno != EINTR) error_ = errno;
                continue;
            }
            done += static_cast<size_t>(w);
        }
        used_ = 0;
    }

    int fd_;
    int error_ = 0;
    size_t used_ = 0;
    char buffer_[2 << 20];
};

// One section of a save: its size, and how to write its bytes.
struct Piece {
    uint32_t id = 0;
    uint64_t size = 0;
    uint32_t flags = 0;
    std::function<void(Sink&)> emit;
};

template <class T>
Piece column_piece(uint32_t id, const Column<T>& c) {
    return Piece{id, c.size * sizeof(T), kRequired, [c](Sink& s) { s.write(c.data, c.size * sizeof(T)); }};
}

void put(std::vector<char>& out, const void* p, size_t n) {
    out.insert(out.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
}
template <class T>
void put_value(std::vector<char>& out, T v) {
    put(out, &v, sizeof v);
}

// The table, slot by slot, so that it reopens into the very same slots.
SavedIndexStatus encode_table(const TradeoutTable& table, std::vector<char>& out) {
    uint64_t occupied = 0;
    for (const TradeoutEntry& e : table.entries) occupied += e.occupied;
    // A table far larger than its keys could not be told from a damaged one.
    if (static_cast<uint64_t>(table.size) > 4 * occupied + 64) return fail(SavedIndexError::cannot_save, "tradeouts");
    put_value<uint64_t>(out, static_cast<uint64_t>(table.size));
    put_value<uint64_t>(out, table.capacity);
    put_value<uint64_t>(out, occupied);
    for (uint64_t slot = 0; slot < table.entries.size(); ++slot) {
        const TradeoutEntry& e = table.entries[slot];
        if (!e.occupied) continue;
        if (e.key.size() >= kNoList || (e.matches && e.matches->words.size() >= kNoList)) {
            return fail(SavedIndexError::cannot_save, "tradeouts");
        }
        put_value<uint64_t>(out, slot);
        put_value<uint32_t>(out, static_cast<uint32_t>(e.key.size()));
        put_value<uint32_t>(out, e.matches ? static_cast<uint32_t>(e.matches->words.size()) : kNoList);
        put(out, e.key.data(), e.key.size());
        if (!e.matches) continue;
        for (std::string_view w : e.matches->words) {
            if (w.size() >= kNoList) return fail(SavedIndexError::cannot_save, "tradeouts");
            put_value<uint32_t>(out, static_cast<uint32_t>(w.size()));
            put(out, w.data(), w.size());
        }
    }
    return {};
}

// Everything a save writes, section by section; `options` and `table` hold
// the small sections' bytes and must outlive the pieces.
SavedIndexStatus plan_save(const SearchIndex& index, std::vector<char>& options_bytes, std::vector<char>& table_bytes,
                           std::vector<Piece>& pieces) {
    const NameIndexColumns& c = index.index().columns();
    put_value<uint32_t>(options_bytes, 0);  // no options yet
    put_value<uint32_t>(options_bytes, 0);
    if (SavedIndexStatus s = encode_table(index.table(), table_bytes); !s.ok()) return s;
    const NameTexts& names = index.names();
    uint64_t name_total = 0;
    for (size_t i = 0; i < names.size(); ++i) name_total += names[i].size();
    pieces.push_back(Piece{options, options_bytes.size(), kSmall | kRequired,
                           [&options_bytes](Sink& s) { s.write(options_bytes.data(), options_bytes.size()); }});
    pieces.push_back(Piece{tradeouts, table_bytes.size(), kSmall | kRequired,
                           [&table_bytes](Sink& s) { s.write(table_bytes.data(), table_bytes.size()); }});
    pieces.push_back(Piece{name_bytes, name_total, kRequired, [&names](Sink& s) {
                               for (size_t i = 0; i < names.size(); ++i) s.write(names[i].data(), names[i].size());
                           }});
    pieces.push_back(Piece{name_start, (names.size() + 1) * 8, kRequired, [&names](Sink& s) {
                               uint64_t batch[512];
                               size_t used = 0;
                               uint64_t at = 0;
                               for (size_t i = 0; i <= names.size(); ++i) {
                                   batch[used++] = at;
                                   if (i < names.size()) at += names[i].size();
                                   if (used == 512 || i == names.size()) {
                                       s.write(batch, used * 8);
                                       used = 0;
                                   }
                               }
                           }});
    pieces.push_back(column_piece(word_bytes, c.word_bytes));
    pieces.push_back(column_piece(word_start, c.word_start));
    pieces.push_back(column_piece(word_slots, c.word_slots));
    pieces.push_back(column_piece(name_word_start, c.name_start));
    pieces.push_back(column_piece(name_words, c.name_words));
    pieces.push_back(column_piece(trade_start, c.trade_start));
    pieces.push_back(column_piece(trade_words, c.trade_words));
    pieces.push_back(column_piece(from_start, c.from_start));
    pieces.push_back(column_piece(from_words, c.from_words));
    pieces.push_back(column_piece(post_start, c.post_start));
    pieces.push_back(column_piece(post_names, c.post_names));
    pieces.push_back(column_piece(reach, c.reach));
    pieces.push_back(column_piece(pair_slots, c.pair_slots));
    pieces.push_back(column_piece(pair_names, c.pair_names));
    pieces.push_back(column_piece(repeat_start, c.repeat_start));
    pieces.push_back(column_piece(repeat_names, c.repeat_names));
    pieces.push_back(column_piece(long_start, c.long_start));
    pieces.push_back(column_piece(long_names, c.long_names));
    return {};
}

uint64_t layout_size(const std::vector<Piece>& pieces) noexcept {
    uint64_t at = align_up(sizeof(FileHeader) + pieces.size() * sizeof(SavedSection));
    for (const Piece& p : pieces) at = align_up(at + p.size);
    return at;
}

// Checksums every piece, then writes the header, the directory and the
// pieces, each at an offset aligned to kAlign.
void write_pieces(const SearchIndex& index, const std::vector<Piece>& pieces, Sink& out) {
    std::vector<SavedSection> directory;
    uint64_t at = align_up(sizeof(FileHeader) + pieces.size() * sizeof(SavedSection));
    for (const Piece& p : pieces) {
        CrcSink crc;
        p.emit(crc);
        directory.push_back(SavedSection{p.id, element_size_of(p.id), at, p.size, crc.crc, p.flags});
        at = align_up(at + p.size);
    }
    FileHeader h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.header_size = sizeof(FileHeader);
    h.byte_order = kByteOrder;
    h.section_count = static_cast<uint32_t>(pieces.size());
    h.file_size = at;
    h.name_count = static_cast<uint64_t>(index.size());
    h.word_count = static_cast<uint64_t>(index.index().word_count());
    h.required_flags = 0;
    h.directory_crc = crc32c(0, directory.data(), directory.size() * sizeof(SavedSection));
    h.header_crc = crc32c(0, &h, sizeof h);
    static constexpr char zeros[kAlign] = {};
    uint64_t written = 0;
    auto emit = [&](const void* p, uint64_t n) {
        out.write(p, n);
        written += n;
    };
    auto pad = [&]() { emit(zeros, align_up(written) - written); };
    emit(&h, sizeof h);
    emit(directory.data(), directory.size() * sizeof(SavedSection));
    pad();
    for (const Piece& p : pieces) {
        p.emit(out);
        written += p.size;
        pad();
    }
}

// A bounds-checked reader of a small section.
class Reader {
public:
    Reader(const char* p, uint64_t n) noexcept : p_(p), left_(n) {}
    template <class T>
    bool value(T& v) noexcept {
        if (left_ < sizeof(T)) return false;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        left_ -= sizeof(T);
        return true;
    }
    bool bytes(uint64_t n, std::string_view& out) noexcept {
        if (left_ < n) return false;
        out = std::string_view(p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }
    uint64_t left() const noexcept { return left_; }

private:
    const char* p_;
    uint64_t left_;
};

// The table again, its keys and words borrowed from the file.
SavedIndexStatus decode_table(const char* p, uint64_t n, TradeoutTablePtr& out) noexcept {
    const SavedIndexStatus bad = fail(SavedIndexError::malformed, "tradeouts");
    Reader r(p, n);
    uint64_t size = 0, capacity = 0, occupied = 0;
    if (!r.value(size) || !r.value(capacity) || !r.value(occupied)) return bad;
    // Each key takes 16 bytes at least: a count the section cannot hold is damage.
    if (occupied > r.left() / 16 || size > 4 * occupied + 64 || capacity != 2 * size || occupied > capacity) return bad;
    TradeoutTablePtr table = make_tradeout_table(static_cast<int64_t>(size));
    if (!table) return fail(SavedIndexError::out_of_memory);
    uint64_t next_free = 0;
    for (uint64_t k = 0; k < occupied; ++k) {
        uint64_t slot = 0;
        uint32_t key_size = 0, words = 0;
        std::string_view key;
        if (!r.value(slot) || !r.value(key_size) || !r.value(words) || slot < next_free || slot >= capacity ||
            !r.bytes(key_size, key)) {
            return bad;
        }
        next_free = slot + 1;
        if (!tradeout_table_store_key(*table, slot, key, true)) return fail(SavedIndexError::out_of_memory);
        if (words == kNoList) continue;
        if (words > r.left() / 4) return bad;  // each word takes 4 bytes at least
        std::unique_ptr<MatchList> list = make_match_list(static_cast<int32_t>(words));
        if (!list) return fail(SavedIndexError::out_of_memory);
        for (uint32_t w = 0; w < words; ++w) {
            uint32_t word_size = 0;
            std::string_view word;
            if (!r.value(word_size) || !r.bytes(word_size, word)) return bad;
            if (!match_list_add(*table, *list, word, true)) return fail(SavedIndexError::out_of_memory);
        }
        table->entries[slot].matches = std::move(list);
    }
    if (r.left() != 0) return bad;
    out = std::move(table);
    return {};
}

SavedIndexStatus decode_options(const char* p, uint64_t n) noexcept {
    Reader r(p, n);
    uint32_t count = 0, reserved = 0;
    if (!r.value(count) || !r.value(reserved)) return fail(SavedIndexError::malformed, "options");
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t key = 0, flags = 0;
        uint64_t size = 0;
        std::string_view value;
        if (!r.value(key) || !r.value(flags) || !r.value(size) || !r.bytes(size, value)) {
            return fail(SavedIndexError::malformed, "options");
        }
        // No option is known yet: one that changes results cannot be honoured.
        if (flags & kRequired) return fail(SavedIndexError::newer_version, "options");
    }
    return {};
}

template <class T>
Column<T> column_at(const char* base, const SavedSection& s) noexcept {
    return Column<T>{reinterpret_cast<const T*>(base + s.offset), s.size / sizeof(T)};
}

// Offsets that start at 0, never decrease, and end at `items`.
bool starts_fit(const Column<size_t>& start, size_t items) noexcept {
    if (start.size == 0 || start[0] != 0 || start[start.size - 1] != items) return false;
    for (size_t k = 1; k < start.size; ++k) {
        if (start[k] < start[k - 1]) return false;
    }
    return true;
}

bool ids_below(const Column<int32_t>& ids, int64_t bound) noexcept {
    for (size_t k = 0; k < ids.size; ++k) {
        if (ids[k] < 0 || ids[k] >= bound) return false;
    }
    return true;
}

// Each list strictly rising (the scores look tradeouts up by halving); call
// once starts_fit holds.
bool lists_rise(const Column<size_t>& start, const Column<int32_t>& items) noexcept {
    for (size_t w = 0; w + 1 < start.size; ++w) {
        for (size_t k = start[w] + 1; k < start[w + 1]; ++k) {
            if (items[k - 1] >= items[k]) return false;
        }
    }
    return true;
}

}  // namespace

const char* saved_index_error_text(SavedIndexError error) noexcept {
    switch (error) {
        case SavedIndexError::none: return "no error";
        case SavedIndexError::io: return "the file could not be read or written";
        case SavedIndexError::not_an_index: return "the file is not a saved talvik index";
        case SavedIndexError::newer_version:
            return "the file was saved by a newer version of talvik (a later format, or an option this version does not know)";
        case SavedIndexError::other_platform: return "the file was saved on a machine of the other byte order";
        case SavedIndexError::truncated: return "the file is truncated: shorter than its header says";
        case SavedIndexError::corrupt: return "the file is damaged: a checksum does not match";
        case SavedIndexError::malformed: return "the file is damaged: its contents are inconsistent";
        case SavedIndexError::cannot_save: return "this index cannot be saved";
        case SavedIndexError::out_of_memory: return "out of memory";
        case SavedIndexError::stopped: return "stopped";
    }
    return "unknown error";
}

uint64_t saved_index_size(const SearchIndex& index) noexcept {
    try {
        std::vector<char> options_bytes, table_bytes;
        std::vector<Piece> pieces;
        if (!plan_save(index, options_bytes, table_bytes, pieces).ok()) return 0;
        return layout_size(pieces);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

SavedIndexStatus write_saved_index(const SearchIndex& index, char* out, uint64_t size) noexcept {
    try {
        std::vector<char> options_bytes, table_bytes;
        std::vector<Piece> pieces;
        if (SavedIndexStatus s = plan_save(index, options_bytes, table_bytes, pieces); !s.ok()) return s;
        if (layout_size(pieces) != size) return fail(SavedIndexError::cannot_save, "size");
        MemorySink sink(out);
        write_pieces(index, pieces, sink);
        return {};
    } catch (const std::bad_alloc&) {
        return fail(SavedIndexError::out_of_memory);
    }
}

SavedIndexStatus save_index(const SearchIndex& index, const char* path) noexcept {
    std::string temp;
    int fd = -1;
    try {
        std::vector<char> options_bytes, table_bytes;
        std::vector<Piece> pieces;
        if (SavedIndexStatus s = plan_save(index, options_bytes, table_bytes, pieces); !s.ok()) return s;
        // A name of our own beside the target, so that rename() is atomic;
        // created like any new file, under the process's umask.
        for (int attempt = 0; fd < 0; ++attempt) {
            temp = std::string(path) + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && (errno != EEXIST || attempt > 100)) return fail(SavedIndexError::io, "create", errno);
        }
        auto sink = std::make_unique<FileSink>(fd);
        write_pieces(index, pieces, *sink);
        int err = sink->finish();
        if (err == 0 && ::fsync(fd) != 0) err = errno;
        if (::close(fd) != 0 && err == 0) err = errno;
        fd = -1;
        if (err == 0 && ::rename(temp.c_str(), path) != 0) err = errno;
        if (err != 0) {
            ::unlink(temp.c_str());
            return fail(SavedIndexError::io, "write", err);
        }
        // The rename itself lasts only once the directory is flushed.
        const std::string::size_type slash = std::string_view(path).rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : std::string(path, slash);
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        return {};
    } catch (const std::bad_alloc&) {
        if (fd >= 0) ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        return fail(SavedIndexError::out_of_memory);
    }
}

SavedIndex::SavedIndex(Key) noexcept {}

SavedIndex::~SavedIndex() {
    search_.reset();  // borrows the table and the mapping
    table_.reset();
    if (mapping_ != nullptr) ::munmap(mapping_, size_);
}

SavedIndex::Opened SavedIndex::open(const char* path) noexcept {
    std::unique_ptr<SavedIndex> self(new (std::nothrow) SavedIndex(Key{}));
    if (!self) return Opened{nullptr, fail(SavedIndexError::out_of_memory)};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Opened{nullptr, fail(SavedIndexError::io, "open", errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return Opened{nullptr, fail(SavedIndexError::io, "open", err)};
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Opened{nullptr, fail(SavedIndexError::not_an_index, "not a regular file")};
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > 0) {
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            return Opened{nullptr, fail(SavedIndexError::io, "map", err)};
        }
        // Pages read in again (after the cache let them go) come in as huge
        // pages too. Only a hint.
        (void)::madvise(map, size, MADV_HUGEPAGE);
        self->mapping_ = map;
        self->data_ = static_cast<const char*>(map);
    }
    ::close(fd);  // the mapping stays
    self->size_ = size;
    return read(std::move(self), true);
}

SavedIndex::Opened SavedIndex::over(const char* data, uint64_t size) noexcept { return over_memory(data, size, true); }

SavedIndex::Opened SavedIndex::over_unchecked(const char* data, uint64_t size) noexcept {
    return over_memory(data, size, false);
}

SavedIndex::Opened SavedIndex::over_memory(const char* data, uint64_t size, bool check_sums) noexcept {
    std::unique_ptr<SavedIndex> self(new (std::nothrow) SavedIndex(Key{}));
    if (!self) return Opened{nullptr, fail(SavedIndexError::out_of_memory)};
    self->data_ = data;
    self->size_ = size;
    if (reinterpret_cast<uintptr_t>(data) % 8 != 0) {
        self->copy_.reset(new (std::nothrow) uint64_t[(size + 7) / 8]);
        if (!self->copy_) return Opened{nullptr, fail(SavedIndexError::out_of_memory)};
        std::memcpy(self->copy_.get(), data, size);
        self->data_ = reinterpret_cast<const char*>(self->copy_.get());
    }
    return read(std::move(self), check_sums);
}

SavedIndex::Opened SavedIndex::read(std::unique_ptr<SavedIndex> self, bool check_sums) noexcept {
    self->check_sums_ = check_sums;
    const char* const base = self->data_;
    const uint64_t size = self->size_;
    auto refuse = [](SavedIndexStatus s) { return Opened{nullptr, s}; };
    // Which kind of file, and which version, before anything else.
    if (size < sizeof kMagic) {
        const bool prefix = size == 0 || std::memcmp(base, kMagic, size) == 0;
        return refuse(fail(prefix ? SavedIndexError::truncated : SavedIndexError::not_an_index, "header"));
    }
    if (std::memcmp(base, kMagic, sizeof kMagic) != 0) return refuse(fail(SavedIndexError::not_an_index));
    FileHeader h{};
    if (size < offsetof(FileHeader, header_size)) return refuse(fail(SavedIndexError::truncated, "header"));
    std::memcpy(&h.version, base + offsetof(FileHeader, version), sizeof h.version);
    if (h.version > kVersion) return refuse(fail(SavedIndexError::newer_version, "format version"));
    if (size < sizeof h) return refuse(fail(SavedIndexError::truncated, "header"));
    std::memcpy(&h, base, sizeof h);
    if (h.byte_order != kByteOrder) {
        if (h.byte_order == __builtin_bswap32(kByteOrder)) return refuse(fail(SavedIndexError::other_platform));
        return refuse(fail(SavedIndexError::corrupt, "header"));
    }
    if (check_sums) {
        FileHeader zeroed = h;
        zeroed.header_crc = 0;
        if (crc32c(0, &zeroed, sizeof zeroed) != h.header_crc) return refuse(fail(SavedIndexError::corrupt, "header"));
    }
    if (h.version == 0 || h.header_size != sizeof h) return refuse(fail(SavedIndexError::malformed, "header"));
    if (h.file_size > size) return refuse(fail(SavedIndexError::truncated, "file size"));
    if (h.file_size < size) return refuse(fail(SavedIndexError::malformed, "file size"));
    if (h.required_flags & ~kKnownRequiredFlags) return refuse(fail(SavedIndexError::newer_version, "options"));
    if (h.name_count >= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
        h.word_count >= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return refuse(fail(SavedIndexError::malformed, "header"));
    }
    if (h.section_count > 1024 || sizeof h + uint64_t{h.section_count} * sizeof(SavedSection) > size) {
        return refuse(fail(SavedIndexError::malformed, "directory"));
    }
    const char* const dir = base + sizeof h;
    if (check_sums && crc32c(0, dir, h.section_count * sizeof(SavedSection)) != h.directory_crc) {
        return refuse(fail(SavedIndexError::corrupt, "directory"));
    }
    self->sections_.reset(new (std::nothrow) SavedSection[kSections + 1]());
    if (!self->sections_) return refuse(fail(SavedIndexError::out_of_memory));
    SavedSection* const found = self->sections_.get();
    for (uint32_t k = 0; k < h.section_count; ++k) {
        SavedSection s;
        std::memcpy(&s, dir + k * sizeof s, sizeof s);
        if (s.id == 0 || s.id > kSections) {
            if (s.flags & kRequired) return refuse(fail(SavedIndexError::newer_version, "a section"));
            continue;  // a later version's extra, safe to pass over
        }
        const char* what = kSectionNames[s.id];
        if (found[s.id].id != 0 || s.element_size != element_size_of(s.id) || s.offset % kAlign != 0 ||
            s.offset > size || s.size > size - s.offset || s.size % s.element_size != 0) {
            return refuse(fail(SavedIndexError::malformed, what));
        }
        found[s.id] = s;
    }
    for (uint32_t id = 1; id <= kSections; ++id) {
        if (found[id].id == 0) return refuse(fail(SavedIndexError::malformed, kSectionNames[id]));
    }
    // Sections lie in directory order, apart, and the bytes between them are
    // zero: no byte of the file escapes a check, whether checksum or this.
    uint64_t end = sizeof h + uint64_t{h.section_count} * sizeof(SavedSection);
    for (uint32_t k = 0; k < h.section_count; ++k) {
        SavedSection s;
        std::memcpy(&s, dir + k * sizeof s, sizeof s);
        if (s.offset < end) return refuse(fail(SavedIndexError::malformed, "directory"));
        if (std::any_of(base + end, base + s.offset, [](char b) { return b != 0; })) {
            return refuse(fail(SavedIndexError::corrupt, "padding"));
        }
        end = s.offset + s.size;
    }
    if (std::any_of(base + end, base + size, [](char b) { return b != 0; })) {
        return refuse(fail(SavedIndexError::corrupt, "padding"));
    }
    // The small sections: checked and read now.
    for (uint32_t id : {options, tradeouts}) {
        const SavedSection& s = found[id];
        if (check_sums && crc32c(0, base + s.offset, s.size) != s.crc) {
            return refuse(fail(SavedIndexError::corrupt, kSectionNames[id]));
        }
    }
    if (SavedIndexStatus st = decode_options(base + found[options].offset, found[options].size); !st.ok()) {
        return refuse(st);
    }
    if (SavedIndexStatus st = decode_table(base + found[tradeouts].offset, found[tradeouts].size, self->table_);
        !st.ok()) {
        return refuse(st);
    }
    // The sizes the search relies on; the contents wait for verify().
    const uint64_t n = h.name_count, v = h.word_count;
    NameIndexColumns c;
    c.name_start = column_at<size_t>(base, found[name_word_start]);
    c.name_words = column_at<int32_t>(base, found[name_words]);
    c.trade_start = column_at<size_t>(base, found[trade_start]);
    c.trade_words = column_at<int32_t>(base, found[trade_words]);
    c.from_start = column_at<size_t>(base, found[from_start]);
    c.from_words = column_at<int32_t>(base, found[from_words]);
    c.post_start = column_at<size_t>(base, found[post_start]);
    c.post_names = column_at<int32_t>(base, found[post_names]);
    c.reach = column_at<int64_t>(base, found[reach]);
    c.pair_slots = column_at<NameIndex::PairSlot>(base, found[pair_slots]);
    c.pair_names = column_at<int32_t>(base, found[pair_names]);
    c.repeat_start = column_at<size_t>(base, found[repeat_start]);
    c.repeat_names = column_at<int32_t>(base, found[repeat_names]);
    c.long_start = column_at<size_t>(base, found[long_start]);
    c.long_names = column_at<int32_t>(base, found[long_names]);
    c.word_start = column_at<size_t>(base, found[word_start]);
    c.word_bytes = column_at<char>(base, found[word_bytes]);
    c.word_slots = column_at<uint64_t>(base, found[word_slots]);
    const Column<size_t> names_at = column_at<size_t>(base, found[name_start]);
    auto pow2 = [](size_t x) { return x != 0 && (x & (x - 1)) == 0; };
    const char* bad = nullptr;
    if (names_at.size != n + 1) bad = kSectionNames[name_start];
    else if (c.name_start.size != n + 1) bad = kSectionNames[name_word_start];
    else if (c.word_start.size != v + 1) bad = kSectionNames[word_start];
    else if (!pow2(c.word_slots.size) || c.word_slots.size < NameIndex::kWordRegions || c.word_slots.size > (uint64_t{1} << 40)) bad = kSectionNames[word_slots];
    else if (c.trade_start.size != v + 1) bad = kSectionNames[trade_start];
    else if (c.from_start.size != v + 1) bad = kSectionNames[from_start];
    else if (c.post_start.size != v + 1) bad = kSectionNames[post_start];
    else if (c.reach.size != v) bad = kSectionNames[reach];
    else if (c.pair_slots.size != 0 && (!pow2(c.pair_slots.size) || c.pair_slots.size < 2)) bad = kSectionNames[pair_slots];
    else if (c.repeat_start.size != v + 1) bad = kSectionNames[repeat_start];
    else if (c.long_start.size != v + 1 && !(c.long_start.size == 0 && c.long_names.size == 0)) bad = kSectionNames[long_start];
    if (bad != nullptr) return refuse(fail(SavedIndexError::malformed, bad));
    try {
        self->search_ = std::make_unique<SearchIndex>(SearchIndex::Key{});
        self->search_->index_ = NameIndex::over(c);
    } catch (const std::bad_alloc&) {
        return refuse(fail(SavedIndexError::out_of_memory));
    }
    self->search_->names_ = NameTexts(base + found[name_bytes].offset, reinterpret_cast<const uint64_t*>(names_at.data), n);
    self->search_->table_ = self->table_.get();
    self->names_ = n;
    return Opened{std::move(self), {}};
}

SavedIndexStatus SavedIndex::verify(int32_t threads, const StopToken* stop, const Poll* poll) noexcept {
    if (verified()) return {};
    const std::lock_guard<std::mutex> lock(verifying_);
    if (verified()) return {};
    if (verdict_.error != SavedIndexError::none) return verdict_;
    const SavedIndexStatus s = check_large(threads, stop, poll);
    if (s.error == SavedIndexError::none) {
        verified_.store(true, std::memory_order_release);
    } else if (s.error != SavedIndexError::stopped && s.error != SavedIndexError::out_of_memory) {
        verdict_ = s;  // a damaged file stays damaged
    }
    return s;
}

SavedIndexStatus SavedIndex::check_large(int32_t threads, const StopToken* stop, const Poll* poll) noexcept {
    const SavedSection* const found = sections_.get();
    ParallelFor team(threads, stop, poll);
    std::atomic<const char*> damaged{nullptr};
    std::atomic<SavedIndexError> why{SavedIndexError::none};
    auto mark = [&](SavedIndexError e, const char* where) {
        const char* none = nullptr;
        if (damaged.compare_exchange_strong(none, where)) why.store(e);
    };
    // The checksums, in pieces that the workers share out, each piece's CRC
    // then joined to its section's.
    if (check_sums_) {
        constexpr uint64_t kPiece = uint64_t{32} << 20;
        struct Piece {
            uint32_t id;
            uint64_t at;
            uint64_t size;
            uint32_t crc;
        };
        std::vector<Piece> pieces;
        try {
            for (uint32_t id = 1; id <= kSections; ++id) {
                if (id == options || id == tradeouts) continue;
                const SavedSection& s = found[id];
                for (uint64_t at = 0; at == 0 || at < s.size; at += kPiece) {
                    pieces.push_back(Piece{id, at, std::min(kPiece, s.size - at), 0});
                }
            }
        } catch (const std::bad_alloc&) {
            return fail(SavedIndexError::out_of_memory);
        }
        team.run(pieces.size(), [&](size_t k, int32_t) {
            Piece& p = pieces[k];
            p.crc = crc32c(0, data_ + found[p.id].offset + p.at, p.size);
        });
        if (!team.ok()) return fail(team.error() == SearchError::stopped ? SavedIndexError::stopped : SavedIndexError::out_of_memory);
        for (size_t k = 0; k < pieces.size();) {
            const uint32_t id = pieces[k].id;
            uint32_t crc = pieces[k].crc;
            for (++k; k < pieces.size() && pieces[k].id == id; ++k) crc = crc32c_combine(crc, pieces[k].crc, pieces[k].size);
            if (crc != found[id].crc) return fail(SavedIndexError::corrupt, kSectionNames[id]);
        }
    }
    // The bounds every list and id must keep for the search to stay inside
    // the file; each check one task.
    const NameIndexColumns& c = search_->index().columns();
    const auto n = static_cast<int64_t>(names_);
    const auto v = static_cast<int64_t>(c.reach.size);
    const Column<size_t> names_at = column_at<size_t>(data_, found[name_start]);
    std::vector<std::function<void()>> checks;
    try {
        auto lists = [&](const Column<size_t>& start, const Column<int32_t>& items, int64_t bound, uint32_t id) {
            checks.push_back([&, start, items, bound, id] {
                if (!starts_fit(start, items.size) || !ids_below(items, bound)) mark(SavedIndexError::malformed, kSectionNames[id]);
            });
        };
        lists(c.name_start, c.name_words, v, name_words);
        lists(c.trade_start, c.trade_words, v, trade_words);
        checks.push_back([&] {
            if (starts_fit(c.trade_start, c.trade_words.size) && !lists_rise(c.trade_start, c.trade_words)) {
                mark(SavedIndexError::malformed, kSectionNames[trade_words]);
            }
        });
        lists(c.from_start, c.from_words, v, from_words);
        lists(c.post_start, c.post_names, n, post_names);
        lists(c.repeat_start, c.repeat_names, n, repeat_names);
        if (c.long_start.size != 0) lists(c.long_start, c.long_names, n, long_names);
        checks.push_back([&] {
            if (!starts_fit(names_at, found[name_bytes].size)) mark(SavedIndexError::malformed, kSectionNames[name_start]);
        });
        checks.push_back([&] {
            if (!starts_fit(c.word_start, c.word_bytes.size)) mark(SavedIndexError::malformed, kSectionNames[word_start]);
        });
        checks.push_back([&] {
            for (size_t k = 0; k < c.word_slots.size; ++k) {
                const uint64_t id = c.word_slots[k] & 0xFFFFFFFFull;
                if (c.word_slots[k] != 0 && (id == 0 || id > static_cast<uint64_t>(v))) {
                    mark(SavedIndexError::malformed, kSectionNames[word_slots]);
                    return;
                }
            }
        });
        checks.push_back([&] {
            if (!ids_below(c.pair_names, n)) return mark(SavedIndexError::malformed, kSectionNames[pair_names]);
            bool any_free = c.pair_slots.size == 0;
            for (size_t k = 0; k < c.pair_slots.size; ++k) {
                const NameIndex::PairSlot& s = c.pair_slots[k];
                if (s.key == NameIndex::empty_key) {
                    any_free = true;
                } else if (uint64_t{s.start} + s.count > c.pair_names.size) {
                    return mark(SavedIndexError::malformed, kSectionNames[pair_slots]);
                }
            }
            // A probe ends at a free slot: a full table would never end one.
            if (!any_free) mark(SavedIndexError::malformed, kSectionNames[pair_slots]);
        });
    } catch (const std::bad_alloc&) {
        return fail(SavedIndexError::out_of_memory);
    }
    team.run(checks.size(), [&](size_t k, int32_t) { checks[k](); });
    if (!team.ok()) return fail(team.error() == SearchError::stopped ? SavedIndexError::stopped : SavedIndexError::out_of_memory);
    if (damaged.load() != nullptr) return fail(why.load(), damaged.load());
    // Reach feeds the cost sums; it must be what the lists say, which also
    // keeps those sums far from overflow. Needs the lists checked first.
    team.run(1, [&](size_t, int32_t) {
        NameIndex const& ix = search_->index();
        for (int32_t w = 0; w < static_cast<int32_t>(v); ++w) {
            auto r = static_cast<int64_t>(ix.postings(w).size());
            for (int32_t t : ix.tradeouts(w)) r += static_cast<int64_t>(ix.postings(t).size());
            if (r != ix.reach(w)) return mark(SavedIndexError::malformed, kSectionNames[reach]);
        }
    });
    if (!team.ok()) return fail(team.error() == SearchError::stopped ? SavedIndexError::stopped : SavedIndexError::out_of_memory);
    if (damaged.load() != nullptr) return fail(why.load(), damaged.load());
    return {};
}

}  // namespace talvik
