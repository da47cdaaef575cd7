// An index that outlasts its process: written once to a file (or a buffer),
// then opened by memory map, in time that does not grow with the names, and
// shared page for page by every process that opens it. The format is in
// docs/saved-index.md. Errors are values; nothing here throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "talvik/find_pairs.h"
#include "talvik/tradeout_table.h"

namespace talvik {

struct SavedSection;  // an entry of the file's section directory

enum class SavedIndexError : int32_t {
    none = 0,
    io,              // the file could not be opened, read, mapped or written (see sys_errno)
    not_an_index,    // no saved index's magic number: a file of another kind
    newer_version,   // a later format version, or an option this version does not know
    other_platform,  // written on a machine of another byte order
    truncated,       // shorter than its header says
    corrupt,         // a checksum does not match: a damaged byte
    malformed,       // the checksums pass, yet a list or id is out of bounds
    cannot_save,     // the index cannot be written in this format (see `where`)
    out_of_memory,
    stopped,         // the stop token was raised, or the poll asked to stop
};

struct SavedIndexStatus {
    SavedIndexError error = SavedIndexError::none;
    int sys_errno = 0;           // with io
    const char* where = nullptr;  // a static string: the section or the field at fault, if any
    bool ok() const noexcept { return error == SavedIndexError::none; }
};

// A sentence for the error, without the detail in `where`.
const char* saved_index_error_text(SavedIndexError error) noexcept;

// The bytes the saved form of `index` takes.
uint64_t saved_index_size(const SearchIndex& index) noexcept;

// Writes the saved form into `out`, which holds saved_index_size(index) bytes.
SavedIndexStatus write_saved_index(const SearchIndex& index, char* out, uint64_t size) noexcept;

// Writes the saved form to `path` atomically: into a new file beside it,
// flushed to the disk, then renamed over `path`. A failure leaves `path` as
// it was and no temporary file behind.
SavedIndexStatus save_index(const SearchIndex& index, const char* path) noexcept;

// A saved index, opened. Opening reads the header, the section directory and
// the small sections (options and tradeouts), and checks their checksums;
// the large sections are only mapped. verify() then checks the large
// sections' checksums and every bound the search relies on, once; index()
// is available only after it, so that a damaged file can never be searched.
class SavedIndex {
public:
    struct Opened {
        std::unique_ptr<SavedIndex> index;  // null on failure
        SavedIndexStatus status;
    };

    // Maps `path` read-only and shared: processes that open the same file
    // share its pages.
    static Opened open(const char* path) noexcept;
    // Reads a saved form from memory the caller keeps alive and unchanged
    // while the index lives. Memory not aligned to 8 bytes is copied.
    static Opened over(const char* data, uint64_t size) noexcept;

    ~SavedIndex();
    SavedIndex(const SavedIndex&) = delete;
    SavedIndex& operator=(const SavedIndex&) = delete;

    // Checks the large sections on a team of `threads` (the first call only;
    // later ones return its result at once). Safe from many threads: one
    // checks while the others wait. A stopped check is not remembered.
    SavedIndexStatus verify(int32_t threads, const StopToken* stop = nullptr, const Poll* poll = nullptr) noexcept;
    bool verified() const noexcept { return verified_.load(std::memory_order_acquire); }

    // The index, once verify() has passed; null before.
    const SearchIndex* index() const noexcept { return verified() ? search_.get() : nullptr; }
    // The tradeouts, read from the file (available before verify()).
    const TradeoutTable& table() const noexcept { return *table_; }
    int32_t size() const noexcept { return static_cast<int32_t>(names_); }
    uint64_t bytes() const noexcept { return size_; }

    // For the fuzzer and the tests: opening that skips every checksum, so
    // that the bounds checks alone stand between a damaged file and the search.
    static Opened over_unchecked(const char* data, uint64_t size) noexcept;

private:
    struct Key {};

public:
    explicit SavedIndex(Key) noexcept;

private:
    static Opened over_memory(const char* data, uint64_t size, bool check_sums) noexcept;
    static Opened read(std::unique_ptr<SavedIndex> self, bool check_sums) noexcept;
    SavedIndexStatus check_large(int32_t threads, const StopToken* stop, const Poll* poll) noexcept;

    const char* data_ = nullptr;
    uint64_t size_ = 0;
    void* mapping_ = nullptr;  // what munmap takes, when mapped
    std::unique_ptr<uint64_t[]> copy_;  // an aligned copy, when the caller's memory was not
    bool check_sums_ = true;
    uint64_t names_ = 0;
    std::unique_ptr<SavedSection[]> sections_;  // by id: where each section lies
    TradeoutTablePtr table_;
    std::unique_ptr<SearchIndex> search_;
    std::mutex verifying_;
    std::atomic<bool> verified_{false};
    SavedIndexStatus verdict_;  // a finished check's result, under verifying_
};

}  // namespace talvik
