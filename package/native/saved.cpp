#include "saved.h"

#include <cerrno>

#include "search.h"

namespace talvik::native {
namespace {

// The pairs a lookup may return: each is held by the engine and copied once.
constexpr uint64_t bytes_per_lookup_pair(bool scores) { return 2 * (sizeof(NamePair) + (scores ? sizeof(float) : 0)); }

}  // namespace

bool raise_saved_error(const SavedIndexStatus& status, PyObject* path_bytes) noexcept {
    if (PyErr_Occurred()) return false;
    // The path as the caller wrote it, not as the bytes the system takes.
    Ref name(path_bytes != nullptr ? PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path_bytes), PyBytes_GET_SIZE(path_bytes))
                                   : nullptr);
    if (path_bytes != nullptr && !name) return false;
    PyObject* const path = name.get();
    switch (status.error) {
        case SavedIndexError::io:
            errno = status.sys_errno;
            if (path != nullptr) {
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            } else {
                PyErr_SetFromErrno(PyExc_OSError);
            }
            return false;
        case SavedIndexError::out_of_memory:
            PyErr_NoMemory();
            return false;
        case SavedIndexError::stopped:
            PyErr_SetString(PyExc_RuntimeError, "the check of the saved index was stopped");
            return false;
        default:
            break;
    }
    const char* text = saved_index_error_text(status.error);
    if (path != nullptr && status.where != nullptr) {
        PyErr_Format(PyExc_ValueError, "%R: %s (%s)", path, text, status.where);
    } else if (path != nullptr) {
        PyErr_Format(PyExc_ValueError, "%R: %s", path, text);
    } else if (status.where != nullptr) {
        PyErr_Format(PyExc_ValueError, "%s (%s)", text, status.where);
    } else {
        PyErr_SetString(PyExc_ValueError, text);
    }
    return false;
}

bool save_to_path(const SearchIndex& index, PyObject* path, Released& released) noexcept {
    if (!PyBytes_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "the path must be bytes (os.fsencode)");
        return false;
    }
    const char* p = PyBytes_AS_STRING(path);
    const SavedIndexStatus status = released.run(0, [&]() noexcept { return save_index(index, p); });
    return status.ok() || raise_saved_error(status, path);
}

PyObject* saved_bytes(const SearchIndex& index, Released& released) noexcept {
    const uint64_t size = released.run(0, [&]() noexcept { return saved_index_size(index); });
    if (size == 0 || size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    char* out = PyBytes_AS_STRING(bytes.get());
    const SavedIndexStatus status = released.run(0, [&]() noexcept { return write_saved_index(index, out, size); });
    if (!status.ok()) return raise_saved_error(status, nullptr), nullptr;
    return bytes.release();
}

std::unique_ptr<SavedIndex> open_saved(PyObject* path) noexcept {
    if (!PyBytes_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "the path must be bytes (os.fsencode)");
        return nullptr;
    }
    const char* p = PyBytes_AS_STRING(path);
    SavedIndex::Opened opened;
    Py_BEGIN_ALLOW_THREADS
    opened = SavedIndex::open(p);
    Py_END_ALLOW_THREADS
    if (!opened.index) raise_saved_error(opened.status, path);
    return std::move(opened.index);
}

std::unique_ptr<SavedIndex> saved_over_bytes(PyObject* bytes) noexcept {
    if (!PyBytes_Check(bytes)) {
        PyErr_Format(PyExc_TypeError, "a saved index must be bytes, not %.200s", Py_TYPE(bytes)->tp_name);
        return nullptr;
    }
    SavedIndex::Opened opened = SavedIndex::over(PyBytes_AS_STRING(bytes), static_cast<uint64_t>(PyBytes_GET_SIZE(bytes)));
    if (!opened.index) raise_saved_error(opened.status, nullptr);
    return std::move(opened.index);
}

bool verify_saved(SavedIndex& saved, int32_t threads, Released& released) noexcept {
    if (saved.verified()) return true;
    const SavedIndexStatus status =
        released.run(0, [&]() noexcept { return saved.verify(threads, released.stop(), released.poll()); });
    return status.ok() || raise_saved_error(status, nullptr);
}

namespace {

// The lookup's pairs written straight into the blocks that become the arrays.
class BlockSink final : public LookupSink {
public:
    BlockSink(PairBlock& pairs, ScoreBlock& scores) noexcept : pairs_(pairs), scores_(scores) {}
    NamePair* pairs(size_t n) noexcept override { return room(pairs_, n); }
    float* scores(size_t n) noexcept override { return room(scores_, n); }

private:
    template <class T>
    static T* room(Block<T>& block, size_t n) noexcept {
        if (!block.reserve(block.size() + static_cast<int64_t>(n))) return nullptr;
        T* at = block.end();
        block.added(static_cast<int64_t>(n));
        return at;
    }
    PairBlock& pairs_;
    ScoreBlock& scores_;
};

}  // namespace

bool lookup_pairs(const NameLookup& lookup, const NameList& queries, int32_t threads, Released& released,
                  const PairFilter& filter, PairBlock& out, ScoreBlock& scores) noexcept {
    BlockSink sink(out, scores);
    LookupOptions o;
    o.threads = threads;
    o.stop = released.stop();
    o.progress = released.progress();
    o.poll = released.poll();
    o.max_pairs = binding::pair_budget(bytes_per_lookup_pair(filter.scores));
    o.scores = filter.scores;
    o.min_score = filter.min_score;
    o.sink = &sink;
    const LookupResult result = released.run(0, [&]() noexcept { return lookup.find(queries.views(), o); });
    return result.error == SearchError::none || raise_search_error(result.error);
}

}  // namespace talvik::native
