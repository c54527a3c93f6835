// The undo step of a setup that may stop half-way: it runs when the scope ends,
// on every early return, unless the setup reached its end and dismissed it.
#pragma once

#include <utility>

namespace camsnap {

template <class Undo>
class UndoUnlessDismissed {
public:
    explicit UndoUnlessDismissed(Undo undo) : undo_(std::move(undo)) {}
    ~UndoUnlessDismissed() {
        if (armed_) undo_();
    }
    UndoUnlessDismissed(const UndoUnlessDismissed &) = delete;
    UndoUnlessDismissed &operator=(const UndoUnlessDismissed &) = delete;

    void dismiss() { armed_ = false; }

private:
    Undo undo_;
    bool armed_ = true;
};

}  // namespace camsnap
