// Value sharing (tags 28 and 29) and string references (tags 25 and 256):
// state kept across one call, for the decoder and for the Encoder. Unlike the
// tag families, these are not conversions of one value: what they write or
// read depends on everything written or read before.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <algorithm>
#include <vector>

namespace vantra {

constexpr uint64_t kStringRef = 25, kShareable = 28, kSharedRef = 29, kStringNamespace = 256;

// A string gets a place in its namespace's table when it is at least as long
// as the tag 25 reference that would replace it (its head, two bytes, and the
// index, by its width).
inline size_t reference_size(size_t index) {
    return index < 24 ? 3 : index < 256 ? 4 : index < 65536 ? 5 : index <= 0xffffffffu ? 7 : 11;
}

// ---- Decoding ----------------------------------------------------------------------

// The objects marked shareable so far, by index; an index whose item is still
// being read holds null until its object exists (a list or a dict is made
// before its content, so that it can contain itself).
class SharedValues {
public:
    SharedValues() = default;
    ~SharedValues();
    SharedValues(const SharedValues &) = delete;
    SharedValues &operator=(const SharedValues &) = delete;

    size_t mark() {
        values_.push_back(nullptr);
        return values_.size() - 1;
    }
    // Takes a new reference to value.
    void set(size_t index, PyObject *value);
    size_t size() const { return values_.size(); }
    PyObject *at(size_t index) const { return values_[index]; }

private:
    std::vector<PyObject *> values_;
};

// The string tables of the namespaces (tag 256) the cursor is inside,
// innermost last.
class StringTables {
public:
    StringTables() = default;
    ~StringTables();
    StringTables(const StringTables &) = delete;
    StringTables &operator=(const StringTables &) = delete;

    void enter() { tables_.emplace_back(); }
    void leave();
    bool inside() const { return !tables_.empty(); }
    // A definite string of `size` bytes just read: kept when long enough.
    // False with an error set (no memory).
    bool note(PyObject *string, size_t size);
    // The innermost table's string at index, borrowed; null when there is none.
    PyObject *at(uint64_t index) const;

private:
    std::vector<std::vector<PyObject *>> tables_;
};

// ---- Encoding ----------------------------------------------------------------------

// Indexes by key, with open addressing: one probe a lookup in the common case,
// and no allocation but the table's own as it doubles.
template <class Key, class Unused>
class IndexTable {
public:
    struct Slot {
        uint64_t hash = 0;
        int64_t index = -1;
        Key key{};
    };
    using Slots = std::vector<Slot>;

    // Starts on storage left by an earlier table (every slot empty), if any.
    void adopt(Slots &storage) {
        if (storage.empty()) return;
        slots_.swap(storage);
        mask_ = slots_.size() - 1;
    }
    // Empties the run of slots where the key of this hash lives (and any
    // that lives after it): called for the home of every key held, it
    // empties the table at the cost of its keys, not of its storage.
    void empty_run(uint64_t hash) {
        for (size_t i = hash & mask_; slots_[i].index >= 0; i = (i + 1) & mask_) slots_[i].index = -1;
    }
    // Hands the storage, which empty_run() has emptied, to storage.
    void leave(Slots &storage) {
        storage.swap(slots_);
        slots_.clear();
        count_ = 0;
    }
    size_t capacity() const { return slots_.size(); }

    // The index kept for key, or -1 (nothing added).
    int64_t find(const Key &key, uint64_t hash) const {
        if (slots_.empty()) return -1;
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.index < 0) return -1;
            if (slot.hash == hash && slot.key == key) return slot.index;
        }
    }
    // Keeps key (not there yet) with the next index.
    void add(const Key &key, uint64_t hash) { add(key, hash, (int64_t)count_); }
    // Keeps key (not there yet) with the index given.
    void add(const Key &key, uint64_t hash, int64_t index) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        size_t i = hash & mask_;
        while (slots_[i].index >= 0) i = (i + 1) & mask_;
        slots_[i] = Slot{hash, index, key};
        ++count_;
    }
    void remove_last(const Key &key, uint64_t hash) {
        // Linear probing: the entries after it in its run move back where they belong.
        size_t i = hash & mask_;
        while (!(slots_[i].index >= 0 && slots_[i].key == key)) i = (i + 1) & mask_;
        slots_[i].index = -1;
        for (size_t j = (i + 1) & mask_; slots_[j].index >= 0; j = (j + 1) & mask_) {
            Slot moved = slots_[j];
            slots_[j].index = -1;
            size_t k = moved.hash & mask_;
            while (slots_[k].index >= 0) k = (k + 1) & mask_;
            slots_[k] = moved;
        }
        --count_;
    }
    size_t size() const { return count_; }

private:
    void grow() {
        Slots old(std::max<size_t>(16, slots_.size() * 2));
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot &slot : old) {
            if (slot.index < 0) continue;
            size_t i = slot.hash & mask_;
            while (slots_[i].index >= 0) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }
    Slots slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

// The objects written so far under tag 28, by identity. Each is held until
// the call ends, so that no other object can take its address meanwhile.
class SharedWriter {
public:
    SharedWriter();
    ~SharedWriter();
    SharedWriter(const SharedWriter &) = delete;
    SharedWriter &operator=(const SharedWriter &) = delete;

    // The index obj was written under; else -1 after giving it the next one,
    // or -2 after giving it the index of the mark already written up to `at`
    // (stand_in()).
    int64_t find_or_add(PyObject *obj, size_t at);
    // Takes back the index just given (to an object that turned out not to be written).
    void forget_last();
    // The index given last.
    int64_t last() const { return last_; }
    // The object marked last, up to `at`, is written as what default returned
    // for it: when that is marked right there, it takes the same index (one
    // object for the decoder, which makes it before its content when it is a
    // list or a dict; two marks in a row would leave the outer one empty
    // until the inner one is read).
    void stand_in(size_t at) { stand_in_at_ = at, stand_in_index_ = last_; }
    // Marks whose object the decoder makes only once its content is read (a
    // Tag, a set, what default is asked about until what it returned is
    // marked), while their content is written: a reference to one of them
    // from there could not be read back.
    void set_unready(int64_t index, bool unready);
    bool unready(int64_t index) const { return (size_t)index < unready_.size() && unready_[(size_t)index]; }
    // Inside a map key or a set element, where the decoder makes every array
    // a tuple, once its content is read: a list or tuple marked there is
    // unready while its content is written.
    bool in_key() const { return key_depth_ > 0; }
    void enter_key(int step) { key_depth_ += step; }

private:
    static uint64_t hash(PyObject *obj) {
        uint64_t h = (uint64_t)(uintptr_t)obj * 0x9e3779b97f4a7c15u;
        return h ^ (h >> 29);
    }
    IndexTable<PyObject *, void> index_;
    std::vector<PyObject *> held_;
    int64_t next_ = 0, last_ = -1;
    bool last_stood_in_ = false, was_unready_ = false;
    size_t stand_in_at_ = SIZE_MAX;
    int64_t stand_in_index_ = -1;
    std::vector<unsigned char> unready_;
    int key_depth_ = 0;
};

// The table of the namespace the Encoder wraps its output in.
class StringWriter {
public:
    StringWriter() = default;
    ~StringWriter();
    StringWriter(const StringWriter &) = delete;
    StringWriter &operator=(const StringWriter &) = delete;

    // The index of an equal string (of the same major type) written before,
    // or -1 after keeping this one when it is long enough. owner keeps data
    // alive (held from now on); without one, data is copied.
    int64_t find_or_add(int major_type, PyObject *owner, const char *data, size_t size);

private:
    struct Key {
        int major_type;
        std::string_view text;
        bool operator==(const Key &other) const { return major_type == other.major_type && text == other.text; }
    };
    IndexTable<Key, void> index_;
    std::vector<PyObject *> held_;
    std::vector<std::unique_ptr<std::string>> copies_;
};

}  // namespace vantra
