// What a module keeps of what its load-time imports gave, for its fast paths to compare against:
// the objects found when the module was loaded, held for the life of the process.
#pragma once

#include <memory>
#include <utility>

namespace pelorix {

// A snapshot of type T (a struct of nb::object and the like), taken whole by `keep` once every
// lookup behind it has succeeded.  An import tried again after a failure initialises the module
// again: the new snapshot replaces the one the failed attempt kept, whose references are let go.
// The snapshot itself is never destroyed, so no reference is dropped after the interpreter has
// finalised.
template <class T>
class Snapshot {
public:
    Snapshot() {}
    ~Snapshot() {}  // leaves value_ alone on purpose: see above
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    void keep(T taken) {
        if (taken_) {
            value_ = std::move(taken);
        } else {
            std::construct_at(&value_, std::move(taken));
            taken_ = true;
        }
    }
    // Whether a snapshot has been kept; before that the fields are not to be read.
    bool taken() const { return taken_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

private:
    union {
        T value_;
    };
    bool taken_ = false;
};

}  // namespace pelorix
