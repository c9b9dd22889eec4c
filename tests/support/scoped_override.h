// Replaces one entry of an OS table for one scope. A captureless lambda
// converts to the entry's function pointer; state goes in statics.
#pragma once

template <typename F>
class ScopedOverride {
public:
    template <typename R>
    ScopedOverride(F& slot, R replacement) : slot_(slot), saved_(slot) {
        slot_ = replacement;
    }
    ~ScopedOverride() { slot_ = saved_; }
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

private:
    F& slot_;
    F saved_;
};
